#include "app/ProxyMode.hpp"

#include "ipc/ClientSocketConnection.hpp"
#include "protocol/TerminalService.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

extern char** environ;

namespace veltro {

namespace {

using namespace std::chrono_literals;

// How long an agent started here may take to listen, and how often the proxy looks.
constexpr auto agentStartTimeout = 5s;
constexpr auto agentStartPoll = 50ms;

std::string systemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

// A client reads one line; a multi-line error text would leave the rest unexplained.
int refuse(std::string text) {
    std::ranges::replace(text, '\n', ' ');
    std::cerr << "veltro-terminal-helper --proxy: " << text << '\n';
    return 1;
}

std::string thisProgram() {
    std::array<char, 4096> path{};
    ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
    if (length <= 0)
        throw std::runtime_error(systemError("Cannot tell where this program is"));
    return std::string(path.data(), static_cast<std::size_t>(length));
}

// This process's environment less the variables that describe the one ssh connection that
// runs it: the agent outlives that connection and serves later ones, and its shells inherit it.
// A forwarded authentication socket goes too, since it disappears with that connection.
std::vector<char*> agentEnvironment() {
    constexpr std::array<std::string_view, 5> connectionVariables{
        "SSH_CLIENT=", "SSH_CONNECTION=", "SSH_TTY=", "SSH_ORIGINAL_COMMAND=", "SSH_AUTH_SOCK="};
    std::vector<char*> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        if (std::ranges::none_of(connectionVariables,
                                 [&](std::string_view name) { return text.starts_with(name); }))
            environment.push_back(*entry);
    }
    environment.push_back(nullptr);
    return environment;
}

// `program --agent` in a session of its own, so it outlives this proxy and the ssh session as
// it would under the service manager. Its output goes nowhere: an agent holding ssh's pipes
// would keep the session open after the proxy ended.
pid_t startAgent(const std::string& program) {
    posix_spawn_file_actions_t files;
    if (::posix_spawn_file_actions_init(&files) != 0)
        throw std::runtime_error("Cannot prepare to start " + program);
    posix_spawnattr_t attributes;
    if (::posix_spawnattr_init(&attributes) != 0) {
        (void)::posix_spawn_file_actions_destroy(&files);
        throw std::runtime_error("Cannot prepare to start " + program);
    }
    sigset_t noSignals;
    sigemptyset(&noSignals);
    std::array<std::string, 2> words{program, "--agent"};
    std::array<char*, 3> argv{words[0].data(), words[1].data(), nullptr};
    int error = 0;
    for (int step : {
             ::posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0),
             ::posix_spawn_file_actions_addopen(&files, 1, "/dev/null", O_WRONLY, 0),
             ::posix_spawn_file_actions_adddup2(&files, 1, 2),
             ::posix_spawn_file_actions_addclosefrom_np(&files, 3),
             ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK),
             ::posix_spawnattr_setsigmask(&attributes, &noSignals),
         })
        error = error != 0 ? error : step;
    pid_t pid = -1;
    if (error == 0)
        error = ::posix_spawn(&pid, program.c_str(), &files, &attributes, argv.data(),
                              agentEnvironment().data());
    // Both only free what init allocated.
    (void)::posix_spawn_file_actions_destroy(&files);
    (void)::posix_spawnattr_destroy(&attributes);
    if (error != 0)
        throw std::runtime_error("Cannot start " + program + " --agent: " + std::strerror(error));
    return pid;
}

// Why the agent started at `pid` will not listen, or nothing while it may still. An agent
// that ends with 0 found another one listening, which the next connect reaches.
std::string agentFailure(pid_t pid, bool& reaped) {
    int status = 0;
    if (reaped || ::waitpid(pid, &status, WNOHANG) != pid)
        return {};
    reaped = true;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        return {};
    if (WIFSIGNALED(status))
        return "was killed by signal " + std::to_string(WTERMSIG(status));
    return "exited with status " + std::to_string(WEXITSTATUS(status));
}

FileDescriptor connectOrStartAgent(const std::string& path) {
    try {
        return ipc::connectToAgent(path);
    } catch (const ipc::ConnectionError& error) {
        if (!error.nothingListens())
            throw;
    }
    std::string program = thisProgram();
    pid_t agent = startAgent(program);
    bool reaped = false;
    auto deadline = std::chrono::steady_clock::now() + agentStartTimeout;
    for (;;) {
        std::this_thread::sleep_for(agentStartPoll);
        try {
            return ipc::connectToAgent(path);
        } catch (const ipc::ConnectionError& error) {
            if (!error.nothingListens())
                throw;
        }
        if (std::string failure = agentFailure(agent, reaped); !failure.empty())
            throw std::runtime_error("No agent listens at " + path + ", and " + program +
                                     " --agent " + failure + " before it listened.");
        if (std::chrono::steady_clock::now() > deadline)
            throw std::runtime_error("No agent listens at " + path + ", and " + program +
                                     " --agent did not listen within " +
                                     std::to_string(agentStartTimeout.count()) + " seconds.");
    }
}

// Non-blocking for as long as the proxy runs, then as they were: standard input and output may
// be shared with the program that started the proxy.
class NonBlocking {
public:
    explicit NonBlocking(int fd) : fd_(fd), flags_(::fcntl(fd, F_GETFL)) {
        if (flags_ < 0 || ::fcntl(fd, F_SETFL, flags_ | O_NONBLOCK) != 0)
            throw std::runtime_error(
                systemError("Cannot make descriptor " + std::to_string(fd) + " non-blocking"));
    }
    ~NonBlocking() {
        // Nothing is left to do about a descriptor that went away meanwhile.
        (void)::fcntl(fd_, F_SETFL, flags_);
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;

private:
    int fd_;
    int flags_;
};

// One direction: what was read from `from` waits here until `to` takes it.
class BoundedCopy {
public:
    BoundedCopy(int from, int to)
        : from_(from), to_(to), data_(std::make_unique_for_overwrite<char[]>(proxyBufferSize)) {}

    bool wantsToRead() const { return !sourceEnded_ && !sinkGone_ && end_ < proxyBufferSize; }
    bool wantsToWrite() const { return begin_ < end_ && !sinkGone_; }
    // The source ended and everything it sent was written, or nothing can be written any more.
    bool finished() const { return (sourceEnded_ && begin_ == end_) || sinkGone_; }
    bool sinkGone() const { return sinkGone_; }

    void read() {
        ssize_t count = ::read(from_, data_.get() + end_, proxyBufferSize - end_);
        if (count > 0)
            end_ += static_cast<std::size_t>(count);
        else if (count == 0 || (errno != EAGAIN && errno != EINTR))
            sourceEnded_ = true; // A reset counts as an end: no more bytes will come.
    }

    void write() {
        ssize_t count = ::write(to_, data_.get() + begin_, end_ - begin_);
        if (count < 0) {
            sinkGone_ = errno != EAGAIN && errno != EINTR;
            return;
        }
        begin_ += static_cast<std::size_t>(count);
        if (begin_ == end_)
            begin_ = end_ = 0;
    }

private:
    int from_;
    int to_;
    std::unique_ptr<char[]> data_;
    std::size_t begin_ = 0;
    std::size_t end_ = 0;
    bool sourceEnded_ = false;
    bool sinkGone_ = false;
};

} // namespace

int copyThroughProxy(int input, int output, FileDescriptor agent) {
    // A reader that went away shows as EPIPE from write, not as the end of this process.
    if (::signal(SIGPIPE, SIG_IGN) == SIG_ERR)
        return refuse(systemError("Cannot ignore SIGPIPE"));
    std::optional<NonBlocking> inputMode, outputMode, agentMode;
    try {
        inputMode.emplace(input);
        outputMode.emplace(output);
        agentMode.emplace(agent.get());
    } catch (const std::exception& error) {
        return refuse(error.what());
    }
    BoundedCopy up(input, agent.get());
    BoundedCopy down(agent.get(), output);
    bool halfClosed = false;
    while (!down.finished()) {
        // The client has said all it will: the agent hears the end and closes when it is done.
        if (up.finished() && !halfClosed) {
            halfClosed = true;
            // A socket the agent already closed has nothing left to tell.
            (void)::shutdown(agent.get(), SHUT_WR);
        }
        // A descriptor is watched only for what it is wanted for: a hang-up is reported whatever
        // was asked, and would wake the loop again and again while a buffer is full.
        auto agentEvents = static_cast<short>((down.wantsToRead() ? POLLIN : 0) |
                                              (up.wantsToWrite() ? POLLOUT : 0));
        std::array<pollfd, 3> watched{{
            {up.wantsToRead() ? input : -1, POLLIN, 0},
            {agentEvents != 0 ? agent.get() : -1, agentEvents, 0},
            {down.wantsToWrite() ? output : -1, POLLOUT, 0},
        }};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return refuse(systemError("Cannot wait for the connection"));
        }
        // Errors and hang-ups are seen by trying: read answers the end, write the failure.
        if (watched[0].revents != 0)
            up.read();
        if ((watched[1].revents & ~POLLOUT) != 0 && down.wantsToRead())
            down.read();
        if ((watched[1].revents & ~POLLIN) != 0 && up.wantsToWrite())
            up.write();
        if (watched[2].revents != 0)
            down.write();
    }
    return 0;
}

int runProxyMode() {
    FileDescriptor agent;
    try {
        agent = connectOrStartAgent(TerminalService::socketPath());
    } catch (const std::exception& error) {
        return refuse(error.what());
    }
    return copyThroughProxy(STDIN_FILENO, STDOUT_FILENO, std::move(agent));
}

} // namespace veltro
