#pragma once

#include "support/Eventually.hpp"

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

// A private runtime folder (mode 0700), removed with everything in it at the end.
class TemporaryFolder {
public:
    explicit TemporaryFolder(unsigned mode = 0700);
    ~TemporaryFolder();
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

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

// Everything one client heard about its shells.
class Recorder {
public:
    TerminalHelperClient::Handler handler();
    std::string output();
    bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout = 20000ms);
    std::optional<std::int32_t> waitForExit(std::chrono::milliseconds timeout = 20000ms);
    bool disconnected();

private:
    std::mutex mutex;
    std::condition_variable changed;
    std::string text;
    std::optional<std::int32_t> status;
    bool ended = false;
};

} // namespace veltro::testing
