#pragma once

#include "support/ClientRecorder.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

#include "client/TerminalHelperClient.hpp"
#include "platform/FileDescriptor.hpp"

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltro::testing {

using namespace std::chrono_literals;

// The agent binary of this build, run as a child process.
class AgentProcess {
public:
    struct Options {
        std::vector<std::string> arguments{"--agent"};
        // Added to (or replacing entries of) this process's environment.
        std::map<std::string, std::string> environment;
        // Handed over the way systemd does: descriptor 3, LISTEN_FDS=1, LISTEN_PID=the child.
        int listeningSocket = -1;
        std::string logPath;
    };

    explicit AgentProcess(Options options);
    ~AgentProcess();
    AgentProcess(const AgentProcess&) = delete;
    AgentProcess& operator=(const AgentProcess&) = delete;

    // The raw wait status, or nothing if the agent is still running after `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

bool someoneListens(const std::string& path);

// A listening socket bound at `path`, as systemd's socket unit makes it.
FileDescriptor listeningSocketAt(const std::string& path, unsigned mode = 0600);

std::string readFile(const std::string& path);

} // namespace veltro::testing
