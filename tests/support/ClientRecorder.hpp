#pragma once

#include "client/TerminalHelperClient.hpp"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

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
        // Each mark with how much of its shell's output had arrived before it.
        handler.commandStarted = [this](const UUID& id, std::int64_t offset,
                                        const std::optional<std::string>& line) {
            locked([&] {
                marks[id].push_back({offset, line.value_or("nil"), outputs[id].size()});
            });
        };
        handler.commandFinished = [this](const UUID& id, std::int64_t offset,
                                         std::optional<std::int64_t> code, std::int64_t) {
            locked([&] {
                std::string exit = code ? std::to_string(*code) : std::string("nil");
                marks[id].push_back({offset, "exit " + exit, outputs[id].size()});
            });
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
    struct Mark {
        std::int64_t offset = 0;
        // The command line of a start, "exit <code or nil>" for a finish.
        std::string what;
        std::size_t outputBefore = 0;
    };
    std::vector<Mark> marksOf(const UUID& id) {
        return locked([&] { return marks.contains(id) ? marks[id] : std::vector<Mark>(); });
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
    std::map<UUID, std::vector<Mark>> marks;
    int disconnects = 0;
    std::string endReason;
};

} // namespace veltro::testing
