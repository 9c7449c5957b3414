#pragma once

#include "support/Eventually.hpp"

#include "platform/FileDescriptor.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace veltro::testing {

inline std::string readFile(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

// Only system calls, so that a child forked from a test with threads may use it too.
inline bool connectTo(int socket, const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return ::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

inline bool someoneListens(const std::string& path) {
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return connectTo(socket.get(), path);
}

// A program run as a child: `command` (its first word an absolute path), standard input a pipe
// that type() writes into when `typed` (else /dev/null), both output streams appended to `log`,
// and `listeningSocket`, when given, on descriptor 3 as systemd hands a socket over. Killed at
// the end unless it has ended.
class ChildProcess {
public:
    ChildProcess(std::vector<std::string> command, const std::string& log, bool typed = false,
                 int listeningSocket = -1) {
        std::vector<char*> argv;
        for (auto& text : command)
            argv.push_back(text.data());
        argv.push_back(nullptr);
        FileDescriptor output(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        FileDescriptor input(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        int ends[2];
        if (typed && ::pipe2(ends, O_CLOEXEC) == 0) {
            input = FileDescriptor(ends[0]);
            typing_ = FileDescriptor(ends[1]);
        }
        pid_ = ::fork();
        if (pid_ != 0)
            return;
        // In the child only async-signal-safe calls; a failure shows as the program not running.
        ::dup2(input.get(), 0);
        ::dup2(output.get(), 1);
        ::dup2(output.get(), 2);
        if (listeningSocket >= 0 && listeningSocket != 3)
            ::dup2(listeningSocket, 3);
        else if (listeningSocket == 3)
            ::fcntl(3, F_SETFD, 0);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ~ChildProcess() {
        if (status_)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void signal(int number) { ::kill(pid_, number); }
    void type(std::string_view text) {
        ASSERT_EQ(::write(typing_.get(), text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }

    // The raw wait status, or nothing if the program still runs after `timeout`.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(60)) {
        eventually(
            [&] {
                int raw = 0;
                if (!status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_)
                    status_ = raw;
                return status_.has_value();
            },
            timeout);
        return status_;
    }
    // The exit code, or nothing when the program still runs or was killed.
    std::optional<int> exitCode() {
        auto status = waitForExit();
        if (!status || !WIFEXITED(*status))
            return std::nullopt;
        return WEXITSTATUS(*status);
    }

private:
    pid_t pid_ = -1;
    FileDescriptor typing_;
    std::optional<int> status_;
};

} // namespace veltro::testing
