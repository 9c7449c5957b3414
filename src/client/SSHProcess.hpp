#pragma once

#include "client/TerminalHelperClient.hpp"
#include "platform/FileDescriptor.hpp"

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace veltro {

// ssh running the agent's proxy on a host, its standard input and output one end of a socket
// pair whose other end the client speaks the protocol over. Its standard error stays ours, so
// its password prompt and its errors reach the person. Destroying it reaps it: ssh first has
// its time to deliver what it was given and end by itself, then it is ended. Its members may be
// called from any thread.
class SSHProcess {
public:
    struct Started {
        std::shared_ptr<SSHProcess> process;
        // Our end of the pair, close-on-exec.
        FileDescriptor socket;
    };

    // Throws ipc::ConnectionError naming the host when ssh cannot be started.
    static Started start(const SSHDestination& destination);

    explicit SSHProcess(pid_t pid) : pid_(pid) {}
    ~SSHProcess();
    SSHProcess(const SSHProcess&) = delete;
    SSHProcess& operator=(const SSHProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Waits up to `patience` for ssh to end by itself, then ends it; answers how it ended, as
    // "exit status 255" or "signal 9". Later calls answer the same at once.
    std::string finish(std::chrono::milliseconds patience);

private:
    bool reapedWithin(std::chrono::milliseconds patience);

    pid_t pid_;
    // Held while waiting, so a second caller waits for the first and then has its answer.
    std::mutex mutex_;
    std::optional<int> status_;
};

} // namespace veltro
