#include "app/AgentMode.hpp"

#include "app/HelperUpdates.hpp"
#include "ipc/Listener.hpp"
#include "platform/EventLoop.hpp"
#include "platform/Expected.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/Logger.hpp"
#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"
#include "service/HelperLifetime.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <asio/posix/stream_descriptor.hpp>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>

namespace veltro {

namespace {

constexpr double idleDelay = 10.0;

// Signals that end the agent from outside. The loop takes them through a signalfd, so they are
// blocked in every thread; shells still start with all signals at their defaults
// because the spawn resets the mask and the dispositions.
sigset_t endingSignals() {
    // These fail only for a signal number out of range.
    sigset_t set;
    (void)sigemptyset(&set);
    (void)sigaddset(&set, SIGINT);
    (void)sigaddset(&set, SIGTERM);
    (void)sigaddset(&set, SIGHUP);
    return set;
}

// Signals that the agent has no use for but whose default would end it on the spot, leaving its
// socket file and its shells' jobs behind: a broken pipe is seen as a failed write instead, and
// the others are what a stray kill or a timer in a library would send. They are ignored, not
// blocked, so nothing queues up; shells still start with them at their defaults, because the
// spawn resets every disposition. std::signal fails only for a signal number that is invalid.
void ignoreStraySignals() {
    for (int signal : {SIGPIPE, SIGUSR1, SIGUSR2, SIGALRM})
        (void)std::signal(signal, SIG_IGN);
}

// Every connection and shell costs the agent descriptors, so it takes all the system allows it;
// its shells start with the limit it was given, which is what their programs expect. Answers
// that original soft limit.
std::optional<rlim_t> raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return std::nullopt;
    rlim_t original = limit.rlim_cur;
    limit.rlim_cur = limit.rlim_max;
    // Raising the soft limit up to the hard one is always allowed; were it refused, the agent
    // would only run out of descriptors sooner, which it survives.
    (void)::setrlimit(RLIMIT_NOFILE, &limit);
    return original;
}

Logger agentLogger() {
    return Logger(TerminalService::helperBundleID(), "agent");
}

// The listening socket, and the file the agent bound itself (none for systemd's socket, which
// outlives the agent and is never removed).
struct ListeningSocket {
    FileDescriptor socket;
    ipc::OwnedSocketFile file;
};

FileDescriptor takeServiceManagerSocket(const Logger& logger) {
    int count = ::sd_listen_fds(1);
    if (count <= 0)
        return {};
    for (int extra = SD_LISTEN_FDS_START + 1; extra < SD_LISTEN_FDS_START + count; ++extra)
        (void)::close(extra); // Not used; the manager keeps its own copies.
    FileDescriptor socket(SD_LISTEN_FDS_START);
    if (::sd_is_socket_unix(socket.get(), SOCK_STREAM, 1, nullptr, 0) <= 0) {
        logger.error("The service manager handed over a descriptor that is not a listening "
                     "Unix stream socket");
        return {};
    }
    return socket;
}

enum class SocketOutcome { ready, anotherAgent, failed };

SocketOutcome bindOwnSocket(ListeningSocket& result, const Logger& logger) {
    std::string path;
    std::optional<ipc::ExclusiveSocket> bound;
    try {
        path = TerminalService::socketPath();
        bound = ipc::bindExclusively(path);
    } catch (const std::exception& error) {
        logger.error(std::string("Can\u2019t listen: ") + error.what());
        std::cerr << "Veltro Terminal Helper: can\u2019t listen: " << error.what() << '\n';
        return SocketOutcome::failed;
    }
    if (!bound) {
        std::cerr << "Veltro Terminal Helper: another agent is already listening at " << path
                  << '\n';
        return SocketOutcome::anotherAgent;
    }
    result.socket = std::move(bound->socket);
    result.file = std::move(bound->file);
    return SocketOutcome::ready;
}

// Fails only when descriptors run out, which the agent's shells can bring about.
Expected<FileDescriptor> duplicate(const FileDescriptor& socket) {
    FileDescriptor copy(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy)
        return unexpected(std::string("Can\u2019t duplicate the listening socket: ") +
                          std::strerror(errno));
    return copy;
}

// The agent on the event loop: its listener, its lifetime tracker and its ending.
class Agent : public std::enable_shared_from_this<Agent> {
public:
    Agent(EventLoop& loop, ListeningSocket socket, FileDescriptor signals,
          std::optional<rlim_t> shellDescriptorLimit)
        : loop(loop), socket(std::move(socket)), signals(loop.context(), signals.release()),
          shellDescriptorLimit(shellDescriptorLimit) {}

    void start();
    const std::shared_ptr<HelperLifetime>& lifetimeTracker() const { return lifetime; }
    // The signal that ended the agent, or 0 when it ended for idleness.
    int endingSignal() const { return signal; }
    // Removes the socket file the agent bound itself, if it is still the one it bound.
    void removeOwnedFile();

private:
    void startListening();
    void stopListening();
    void idleFired();
    bool connectionIsWaiting() const;
    void hidePath();
    void restorePath();
    void waitForSignal();
    void closeEverything(int signal);

    EventLoop& loop;
    ListeningSocket socket;
    asio::posix::stream_descriptor signals;
    std::shared_ptr<HelperLifetime> lifetime;
    std::shared_ptr<TerminalHelperListenerDelegate> delegate;
    std::shared_ptr<ipc::Listener> listener;
    const std::optional<rlim_t> shellDescriptorLimit;
    int signal = 0;
};

void Agent::start() {
    // The idle action runs on the loop, where every accept happens too, so the counts it reads
    // are exact.
    lifetime = std::make_shared<HelperLifetime>(loop, idleDelay, [weak = weak_from_this()] {
        if (auto agent = weak.lock())
            agent->idleFired();
    });
    delegate = TerminalHelperListenerDelegate::forAgent(loop, lifetime,
                                                        PeerRequirement::signerOfThisProcess(),
                                                        LogSink::system(), shellDescriptorLimit);
    startListening();
    waitForSignal();
}

// The listener gets a copy of the descriptor, so that it can be stopped and a new one started
// on the same socket while connections waiting in the backlog stay there. Without a copy the
// agent goes on serving what it has; its idle deadline tries again, or ends it when nothing is
// left, and the backlog waits in the kernel meanwhile.
void Agent::startListening() {
    Expected<FileDescriptor> copy = duplicate(socket.socket);
    if (!copy) {
        agentLogger().error(copy.error());
        return;
    }
    listener = ipc::Listener::listening(loop, std::move(*copy));
    listener->setDelegate(delegate.get());
    listener->resume();
}

void Agent::stopListening() {
    if (!listener)
        return;
    listener->stop();
    listener->setDelegate(nullptr);
    listener.reset();
}

// A listening socket is readable while a connection waits in its backlog.
bool Agent::connectionIsWaiting() const {
    pollfd entry{socket.socket.get(), POLLIN, 0};
    return ::poll(&entry, 1, 0) > 0 && (entry.revents & POLLIN);
}

// While the agent decides whether to end, its own socket file is moved aside, so that a new
// client finds no socket (and is told that nothing listens) rather than connecting to an agent
// that is about to close the socket under it. systemd's socket needs no such care: it stays
// open in the service manager, and whoever connects waits there for the next agent.
void Agent::hidePath() {
    if (socket.file.owned())
        socket.file.moveAside(socket.file.path() + ".ending");
}

// No agent that takes the lock can have bound the path meanwhile, but something that takes none
// may have; then the path is that one's, and this agent only serves the clients already in its
// backlog.
void Agent::restorePath() {
    if (!socket.file.moveBack())
        socket.file.remove();
}

// Ending for idleness must never drop a client. The listener accepts only in its own handlers
// on this loop, so once it has stopped every connection it took has been counted, and every
// other one still waits in the backlog, where the kernel shows it. With the file moved aside no
// new one can join, so the agent ends only when it is still idle and the backlog is empty.
// Otherwise it goes on: the file is put back, a new listener serves the backlog, and a pair of
// counts sets a fresh idle deadline, so a waiting connection that turns out to be refused
// cannot leave the agent without one.
void Agent::idleFired() {
    stopListening();
    hidePath();
    bool idle = lifetime->connections() <= 0 && lifetime->shells() <= 0 &&
                lifetime->updates() <= 0 && !connectionIsWaiting();
    if (idle) {
        removeOwnedFile();
        loop.stop();
        return;
    }
    restorePath();
    startListening();
    lifetime->connectionStarted();
    lifetime->connectionEnded();
}

void Agent::removeOwnedFile() {
    socket.file.remove();
}

void Agent::waitForSignal() {
    signals.async_wait(asio::posix::descriptor_base::wait_read, [self = shared_from_this()](
                                                                    const asio::error_code& error) {
        if (error)
            return;
        signalfd_siginfo info{};
        if (::read(self->signals.native_handle(), &info, sizeof info) != sizeof info) {
            self->waitForSignal();
            return;
        }
        self->closeEverything(static_cast<int>(info.ssi_signo));
    });
}

// Ended from outside (the service manager's stop, a hang-up, ^C): every shell is closed as the
// end of its connection would close it, hang-up first and leftovers killed after the delay, and
// the loop ends by itself once the last of that work is done.
void Agent::closeEverything(int signalNumber) {
    signal = signalNumber;
    stopListening();
    removeOwnedFile();
    lifetime->end();
    delegate->disconnectAll();
    signals.close();
    loop.runOut();
}

} // namespace

void removeJobVariables() {
    for (const char* name :
         {"NOTIFY_SOCKET", "JOURNAL_STREAM", "INVOCATION_ID", "MANAGERPID", "SYSTEMD_EXEC_PID",
          "WATCHDOG_PID", "WATCHDOG_USEC", "LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
        (void)::unsetenv(name); // Fails only for a name with '=' in it.
}

int runAgentMode() {
    ignoreStraySignals();
    sigset_t ending = endingSignals();
    // Fails only for an invalid first argument.
    (void)::pthread_sigmask(SIG_BLOCK, &ending, nullptr);

    Logger logger = agentLogger();
    ListeningSocket socket;
    socket.socket = takeServiceManagerSocket(logger);
    removeJobVariables();
    if (!socket.socket) {
        switch (bindOwnSocket(socket, logger)) {
        case SocketOutcome::ready:
            break;
        case SocketOutcome::anotherAgent:
            return 0;
        case SocketOutcome::failed:
            return 1;
        }
    }

    std::optional<rlim_t> shellDescriptorLimit = raiseDescriptorLimit();
    FileDescriptor signals(::signalfd(-1, &ending, SFD_CLOEXEC | SFD_NONBLOCK));
    if (!signals) {
        std::string error = std::string("Can\u2019t watch for signals: ") + std::strerror(errno);
        logger.error(error);
        std::cerr << "Veltro Terminal Helper: " << error << '\n';
        return 1;
    }
    EventLoop loop;
    auto agent = loop.sync([&] {
        auto made = std::make_shared<Agent>(loop, std::move(socket), std::move(signals),
                                            shellDescriptorLimit);
        made->start();
        return made;
    });
    HelperUpdates::start(agent->lifetimeTracker());
    loop.waitUntilStopped();
    HelperUpdates::stop();
    int signal = agent->endingSignal();
    if (signal == 0)
        return 0;
    // Ended from outside: end the way the signal would have, now that the socket file is gone.
    // These fail only for invalid arguments; should the signal not end the process after all,
    // the status says the same.
    (void)std::signal(signal, SIG_DFL);
    (void)::pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
    (void)::raise(signal);
    return 128 + signal;
}

} // namespace veltro
