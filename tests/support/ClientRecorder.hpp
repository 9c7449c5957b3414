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
            locked([&] { outputs[id].append(data.begin(), data.end()); });
        };
        handler.exited = [this](const UUID& id, std::int32_t status) {
            locked([&] { exits.emplace(id, status); });
        };
        handler.disconnected = [this](const std::string& reason) {
            locked([&] {
                ++disconnects;
                endReason = reason;
            });
        };
        return handler;
    }

    std::string output(const UUID& id) {
        return locked([&] { return outputs.contains(id) ? outputs[id] : std::string(); });
    }
    bool saw(const UUID& id, const std::string& text) {
        return output(id).find(text) != std::string::npos;
    }
    std::optional<std::int32_t> exit(const UUID& id) {
        return locked([&] { return exits.contains(id) ? std::optional(exits[id]) : std::nullopt; });
    }
    std::size_t exitCount() {
        return locked([&] { return exits.size(); });
    }
    int disconnectCount() {
        return locked([&] { return disconnects; });
    }
    std::string reason() {
        return locked([&] { return endReason; });
    }

private:
    template <class Work> auto locked(Work work) -> decltype(work()) {
        std::lock_guard guard(mutex);
        return work();
    }

    std::mutex mutex;
    std::map<UUID, std::string> outputs;
    std::map<UUID, std::int32_t> exits;
    int disconnects = 0;
    std::string endReason;
};

} // namespace veltro::testing
