#pragma once

#include "client/TerminalHelperClient.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace veltro::testing {

// What one client heard from the agent, readable from the test's thread.
class ClientRecorder {
public:
    TerminalHelperClient::Handler handler() {
        TerminalHelperClient::Handler handler;
        handler.output = [this](const UUID& id, Bytes data) {
            std::lock_guard guard(mutex);
            outputs[id].append(data.begin(), data.end());
        };
        handler.exited = [this](const UUID& id, std::int32_t status) {
            std::lock_guard guard(mutex);
            exits.emplace(id, status);
        };
        handler.error = [this](const std::string& method, const std::string& message) {
            std::lock_guard guard(mutex);
            errors.push_back(method + ": " + message);
        };
        handler.disconnected = [this](const std::string& reason) {
            std::lock_guard guard(mutex);
            ++disconnects;
            endReason = reason;
        };
        return handler;
    }

    std::string output(const UUID& id) {
        std::lock_guard guard(mutex);
        auto found = outputs.find(id);
        return found == outputs.end() ? std::string() : found->second;
    }
    bool saw(const UUID& id, const std::string& text) {
        return output(id).find(text) != std::string::npos;
    }
    std::optional<std::int32_t> exit(const UUID& id) {
        std::lock_guard guard(mutex);
        auto found = exits.find(id);
        return found == exits.end() ? std::nullopt : std::optional(found->second);
    }
    std::size_t exitCount() {
        std::lock_guard guard(mutex);
        return exits.size();
    }
    int disconnectCount() {
        std::lock_guard guard(mutex);
        return disconnects;
    }
    std::string reason() {
        std::lock_guard guard(mutex);
        return endReason;
    }
    std::vector<std::string> errorsSeen() {
        std::lock_guard guard(mutex);
        return errors;
    }

private:
    std::mutex mutex;
    std::map<UUID, std::string> outputs;
    std::map<UUID, std::int32_t> exits;
    std::vector<std::string> errors;
    int disconnects = 0;
    std::string endReason;
};

} // namespace veltro::testing
