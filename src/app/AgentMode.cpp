#include "app/AgentMode.hpp"

#include "app/HelperUpdates.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/Logger.hpp"
#include "protocol/TerminalService.hpp"
#include "service/HelperLifetime.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"
#include "xpc/Connection.hpp"
#include "xpc/Listener.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

namespace veltro {

namespace {

constexpr double idleDelay = 10.0;

// Signals that end the agent from outside. The main thread takes them through a signalfd, so
// they are blocked in every thread; shells still start with all signals at their defaults
// because the spawn resets the mask and the dispositions.
sigset_t endingSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    return set;
}

Logger agentLogger() {
    return Logger(TerminalService::helperBundleID(), "agent");
}

// Every accepted connection passes through here on its way to the service's delegate, so the
// main thread can tell whether one arrived after the idle timer fired.
struct AcceptLedger {
    std::atomic<std::uint64_t> accepted{0};
    std::atomic<std::uint64_t> acceptedAtIdle{0};
    FileDescriptor wakeup{::eventfd(0, EFD_CLOEXEC)};

    void idleFired() {
        acceptedAtIdle.store(accepted.load());
        std::uint64_t one = 1;
        [[maybe_unused]] ssize_t written = ::write(wakeup.get(), &one, sizeof one);
    }

    void drain() {
        std::uint64_t count = 0;
        [[maybe_unused]] ssize_t read = ::read(wakeup.get(), &count, sizeof count);
    }
};

class CountingDelegate : public xpc::ListenerDelegate {
public:
    CountingDelegate(std::shared_ptr<xpc::ListenerDelegate> inner,
                     std::shared_ptr<AcceptLedger> ledger)
        : inner(std::move(inner)), ledger(std::move(ledger)) {}

    bool shouldAcceptNewConnection(xpc::Listener& listener,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        ledger->accepted.fetch_add(1);
        return inner->shouldAcceptNewConnection(listener, connection);
    }

private:
    std::shared_ptr<xpc::ListenerDelegate> inner;
    std::shared_ptr<AcceptLedger> ledger;
};

// The listening socket, and the file the agent bound itself (none for systemd's socket, which
// outlives the agent and is never removed).
struct ListeningSocket {
    FileDescriptor socket;
    std::string ownedPath;
    dev_t device = 0;
    ino_t inode = 0;
};

FileDescriptor takeServiceManagerSocket(const Logger& logger) {
    int count = ::sd_listen_fds(1);
    if (count <= 0)
        return {};
    for (int extra = SD_LISTEN_FDS_START + 1; extra < SD_LISTEN_FDS_START + count; ++extra)
        ::close(extra);
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
    try {
        path = TerminalService::socketPath();
        result.socket = xpc::bindListeningSocket(path);
    } catch (const std::exception& error) {
        logger.error(std::string("Can\u2019t listen: ") + error.what());
        std::cerr << "Veltro Terminal Helper: can\u2019t listen: " << error.what() << '\n';
        return SocketOutcome::failed;
    }
    if (!result.socket) {
        std::cerr << "Veltro Terminal Helper: another agent is already listening at " << path
                  << '\n';
        return SocketOutcome::anotherAgent;
    }
    struct stat info {};
    if (::stat(path.c_str(), &info) == 0) {
        result.device = info.st_dev;
        result.inode = info.st_ino;
    }
    result.ownedPath = path;
    return SocketOutcome::ready;
}

FileDescriptor duplicate(const FileDescriptor& socket) {
    FileDescriptor copy(::fcntl(socket.get(), F_DUPFD_CLOEXEC, 0));
    if (!copy) {
        std::perror("Veltro Terminal Helper: can\u2019t duplicate the listening socket");
        std::abort();
    }
    return copy;
}

class Agent {
public:
    Agent(ListeningSocket socket, std::shared_ptr<AcceptLedger> ledger)
        : socket(std::move(socket)), ledger(std::move(ledger)) {}

    // Returns the signal that ended the agent, or 0 when it ended for idleness.
    int run();

private:
    void startListening();
    void stopListening();
    bool endIfStillIdle();
    bool lifetimeIsIdle() const;
    bool connectionIsWaiting() const;
    void hidePath();
    void restorePath();
    void removeOwnedFile();
    int waitForEvent(const FileDescriptor& signals);

    ListeningSocket socket;
    std::shared_ptr<AcceptLedger> ledger;
    std::shared_ptr<HelperLifetime> lifetime;
    std::shared_ptr<CountingDelegate> delegate;
    std::shared_ptr<xpc::Listener> listener;
    std::string hiddenPath;
};

// The listener gets a copy of the descriptor, so that it can be stopped and a new one started
// on the same socket, and so that connections waiting in the backlog survive the stop.
void Agent::startListening() {
    listener = xpc::Listener::listening(duplicate(socket.socket));
    listener->setDelegate(delegate.get());
    listener->resume();
}

// The listener stops on its own queue, where it also accepts; it is gone once that queue has
// run its stop and any accept in progress has reached the delegate. Waiting for that moment is
// what lets the caller trust the counts. It happens once per ending, never while idle.
void Agent::stopListening() {
    if (!listener)
        return;
    std::weak_ptr<xpc::Listener> stopping = listener;
    listener->invalidate();
    listener.reset();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!stopping.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

bool Agent::lifetimeIsIdle() const {
    return lifetime->connections() <= 0 && lifetime->shells() <= 0 && lifetime->updates() <= 0;
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
    if (socket.ownedPath.empty())
        return;
    std::string aside = socket.ownedPath + ".ending";
    if (::rename(socket.ownedPath.c_str(), aside.c_str()) == 0)
        hiddenPath = aside;
}

// Another agent may have bound the path meanwhile; then it is that agent's, and this one only
// serves the clients already in its backlog.
void Agent::restorePath() {
    if (hiddenPath.empty())
        return;
    if (::renameat2(AT_FDCWD, hiddenPath.c_str(), AT_FDCWD, socket.ownedPath.c_str(),
                    RENAME_NOREPLACE) != 0) {
        ::unlink(hiddenPath.c_str());
        socket.ownedPath.clear();
    }
    hiddenPath.clear();
}

// Ending for idleness must never drop a client whose connection was already accepted. The idle
// timer fires on the lifetime queue while connections may arrive on connection threads, so the
// decision is taken here, on the main thread, in an order that closes every gap:
//
//  1. The listener stops: it accepts nothing more, and once it is gone every connection it took
//     off the backlog has gone through the delegate and been counted with the lifetime
//     tracker. Connections still in the backlog stay there.
//  2. The agent's own socket file is moved aside, so no new connection can join the backlog.
//  3. The agent ends only if, under the tracker's rules, it is still idle, no connection was
//     accepted since the timer fired (a connection that came and went armed a fresh timer, and
//     the agent waits for that one), and nothing waits in the backlog.
//
// Otherwise it goes on: the file is put back, a new listener serves the backlog, and a pair of
// counts arms a fresh idle timer with the full delay, so a waiting connection that turns out to
// be refused cannot leave the agent without a timer.
bool Agent::endIfStillIdle() {
    stopListening();
    hidePath();
    bool idle = lifetimeIsIdle() && ledger->accepted.load() == ledger->acceptedAtIdle.load() &&
                !connectionIsWaiting();
    if (idle)
        return true;
    restorePath();
    startListening();
    lifetime->connectionStarted();
    lifetime->connectionEnded();
    return false;
}

void Agent::removeOwnedFile() {
    if (!hiddenPath.empty()) {
        ::unlink(hiddenPath.c_str());
        return;
    }
    if (socket.ownedPath.empty())
        return;
    struct stat info {};
    if (::stat(socket.ownedPath.c_str(), &info) == 0 && info.st_dev == socket.device &&
        info.st_ino == socket.inode)
        ::unlink(socket.ownedPath.c_str());
}

// Waits for the idle wake-up (answers 0) or an ending signal (answers its number).
int Agent::waitForEvent(const FileDescriptor& signals) {
    pollfd entries[2] = {{ledger->wakeup.get(), POLLIN, 0}, {signals.get(), POLLIN, 0}};
    while (true) {
        if (::poll(entries, 2, -1) < 0)
            continue;
        if (entries[1].revents & POLLIN) {
            signalfd_siginfo info{};
            if (::read(signals.get(), &info, sizeof info) == sizeof info)
                return static_cast<int>(info.ssi_signo);
        }
        if (entries[0].revents & POLLIN) {
            ledger->drain();
            return 0;
        }
    }
}

int Agent::run() {
    sigset_t ending = endingSignals();
    FileDescriptor signals(::signalfd(-1, &ending, SFD_CLOEXEC));

    // The idle action only wakes the main thread: ending the process from the lifetime queue
    // would tear down static objects under running pool threads.
    lifetime =
        std::make_shared<HelperLifetime>(idleDelay, [ledger = ledger] { ledger->idleFired(); });
    delegate = std::make_shared<CountingDelegate>(
        TerminalHelperListenerDelegate::forAgent(lifetime), ledger);
    startListening();
    HelperUpdates::start(lifetime);

    int signal = 0;
    while (true) {
        signal = waitForEvent(signals);
        if (signal != 0 || endIfStillIdle())
            break;
    }
    stopListening();
    removeOwnedFile();
    return signal;
}

} // namespace

void removeJobVariables() {
    for (const char* name :
         {"NOTIFY_SOCKET", "JOURNAL_STREAM", "INVOCATION_ID", "MANAGERPID", "SYSTEMD_EXEC_PID",
          "WATCHDOG_PID", "WATCHDOG_USEC", "LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES"})
        ::unsetenv(name);
}

int runAgentMode() {
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t ending = endingSignals();
    ::pthread_sigmask(SIG_BLOCK, &ending, nullptr);

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

    int signal = 0;
    {
        Agent agent(std::move(socket), std::make_shared<AcceptLedger>());
        signal = agent.run();
    }
    if (signal == 0)
        return 0;
    // Ended from outside: end the way the signal would have, now that the socket file is gone.
    std::signal(signal, SIG_DFL);
    ::pthread_sigmask(SIG_UNBLOCK, &ending, nullptr);
    ::raise(signal);
    return 128 + signal;
}

} // namespace veltro
