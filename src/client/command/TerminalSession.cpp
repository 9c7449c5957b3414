#include "client/command/TerminalSession.hpp"

#include "client/command/Terminal.hpp"

#include <poll.h>
#include <sys/signalfd.h>
#include <sys/wait.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <iostream>

namespace veltro::command {

namespace {

// A kept shell whose connection broke is attached again, with pauses from the first to the
// longest between attempts, until the attempts have failed for the limit.
constexpr std::chrono::milliseconds firstPause{500};
constexpr std::chrono::milliseconds longestPause{8000};
constexpr std::chrono::minutes reconnectLimit{2};
int exitCodeOf(std::int32_t status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// The few digits of an id that --attach needs in practice.
std::string shortID(const UUID& id) {
    return id.string().substr(0, 8);
}

} // namespace

TerminalHelperClient::Handler handlerFor(const std::shared_ptr<Events>& events) {
    TerminalHelperClient::Handler handler;
    handler.output = [events](const UUID& id, Bytes data) {
        if (id == events->id)
            writeAll(STDOUT_FILENO, data.data(), data.size());
    };
    handler.exited = [events](const UUID& id, std::int32_t status) {
        if (id != events->id)
            return;
        events->status.store(status);
        events->exited.store(true);
        events->wake();
    };
    handler.folderChanged = [](const UUID&, const std::string&) {};
    handler.detached = [events](const UUID& id, const std::string& reason) {
        if (id != events->id)
            return;
        events->reason = reason;
        events->takenOver.store(true);
        events->wake();
    };
    handler.error = [](const std::string& method, const std::string& message) {
        std::cerr << "\r\nveltro-terminal: the terminal helper refused " << method << ": "
                  << message << "\r\n";
    };
    handler.disconnected = [events](const std::string& reason) {
        events->reason = reason;
        events->disconnected.store(true);
        events->wake();
    };
    return handler;
}
std::string Place::attachCommand(const UUID& id) const {
    return "veltro-terminal " + (ssh ? "--ssh " + ssh->host + " " : std::string()) + "--attach " +
           shortID(id);
}

Ending TerminalSession::run() {
    sigset_t set;
    (void)sigemptyset(&set); // These fail only for a signal number out of range.
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGQUIT})
        (void)sigaddset(&set, signal);
    signals = FileDescriptor(::signalfd(-1, &set, SFD_CLOEXEC));
    // Blocked, these signals would otherwise never reach this program at all.
    if (!signals) {
        std::string reason = std::strerror(errno);
        if (!kept)
            client->close(events->id);
        return Ending{1, "veltro-terminal: can\u2019t watch for signals: " + reason + ".\n"};
    }
    for (;;) {
        if (auto ending = finished())
            return *ending;
        pollfd entries[3] = {{events->wakeup.get(), POLLIN, 0},
                             {signals.get(), POLLIN, 0},
                             {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        if (::poll(entries, 3, -1) < 0)
            continue;
        if (auto ending = takeReady(entries[1], entries[2], true))
            return *ending;
        if (entries[0].revents & POLLIN) {
            // Only empties the descriptor; what woke us is in `events`, which finished() reads.
            std::uint64_t count = 0;
            [[maybe_unused]] ssize_t read = ::read(events->wakeup.get(), &count, sizeof count);
        }
    }
}

std::optional<Ending> TerminalSession::finished() {
    if (events->exited.load())
        return Ending{exitCodeOf(events->status.load()), {}};
    if (events->takenOver.load())
        return Ending{0, "veltro-terminal: the shell was attached elsewhere (" + events->reason +
                             "); it runs on there.\n"};
    if (events->disconnected.load() && kept)
        return reconnect();
    if (events->disconnected.load())
        return Ending{1, "veltro-terminal: " +
                             (place.ssh ? "the connection to " + place.name() + " ended"
                                        : std::string("the terminal helper went away")) +
                             (events->reason.empty() ? "" : ": " + events->reason) + ".\n"};
    return std::nullopt;
}

std::optional<Ending> TerminalSession::reconnect() {
    std::optional<std::int64_t> from = client->offset(events->id);
    // Gone, the client no longer calls the handler, which leaves `events` to us.
    client.reset();
    events->disconnected.store(false);
    auto giveUp = std::chrono::steady_clock::now() + reconnectLimit;
    std::chrono::milliseconds pause = firstPause;
    // The shell's output may have stopped in the middle of a line.
    std::cerr << "\r\n";
    for (;;) {
        std::cerr << "veltro-terminal: connection to " << place.name()
                  << " lost; reconnecting\u2026\r\n";
        std::string problem;
        try {
            client = connect();
            WindowSize size = windowSize();
            auto attached = client->attach(events->id, from, size.columns, size.rows);
            if (!attached.error) {
                if (from && attached.offset > *from)
                    std::cerr << "veltro-terminal: " << attached.offset - *from
                              << " bytes of output were lost while disconnected.\r\n";
                return std::nullopt;
            }
            client.reset();
            return Ending{1, "veltro-terminal: the shell is gone: " + *attached.error + "\n"};
        } catch (const std::exception& error) {
            client.reset();
            problem = error.what();
        }
        // This machine's agent takes its kept shells with it when it ends, so there a
        // failed connect is final.
        if (!place.ssh)
            return Ending{1, "veltro-terminal: the terminal helper went away, and the "
                             "shells it kept with it (" +
                                 problem + ").\n"};
        if (std::chrono::steady_clock::now() + pause > giveUp)
            return Ending{1, "veltro-terminal: " + place.name() + " could not be reached again (" +
                                 problem + "). The shell may still be kept there: " +
                                 place.attachCommand(events->id) + "\n"};
        if (auto ending = wait(pause))
            return ending;
        pause = std::min(pause * 2, longestPause);
    }
}

std::optional<Ending> TerminalSession::wait(std::chrono::milliseconds pause) {
    auto until = std::chrono::steady_clock::now() + pause;
    for (auto now = std::chrono::steady_clock::now(); now < until;
         now = std::chrono::steady_clock::now()) {
        pollfd entries[2] = {{signals.get(), POLLIN, 0},
                             {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
        auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
        if (::poll(entries, 2, static_cast<int>(left.count())) <= 0)
            continue;
        if (auto ending = takeReady(entries[0], entries[1], false))
            return ending;
    }
    return std::nullopt;
}

std::optional<Ending> TerminalSession::takeReady(const pollfd& signal, const pollfd& input,
                                                 bool forward) {
    if (signal.revents & POLLIN) {
        if (auto number = takeSignal())
            return leave(*number);
    }
    if (input.revents & (POLLIN | POLLHUP | POLLERR))
        return takeInput(forward);
    return std::nullopt;
}

std::optional<Ending> TerminalSession::takeInput(bool forward) {
    Input input = readInput(forward);
    if (input == Input::hungUp)
        return leave(SIGHUP);
    if (input == Input::detachKey)
        return detach();
    inputOpen = input == Input::open;
    return std::nullopt;
}

Ending TerminalSession::leave(int signal) {
    if (!client)
        return Ending{128 + signal, "veltro-terminal: the shell may still be kept on " +
                                        place.name() + ": " + place.attachCommand(events->id) +
                                        "\n"};
    if (signal != SIGHUP || !kept)
        client->close(events->id);
    return Ending{128 + signal, {}};
}

Ending TerminalSession::detach() {
    if (client)
        client->detach(events->id);
    return Ending{0, "veltro-terminal: detached; the shell runs on. Take it back with: " +
                         place.attachCommand(events->id) + "\n"};
}

std::optional<int> TerminalSession::takeSignal() {
    signalfd_siginfo info{};
    if (::read(signals.get(), &info, sizeof info) != sizeof info)
        return std::nullopt;
    int signal = static_cast<int>(info.ssi_signo);
    if (signal == SIGWINCH) {
        // Without a connection the size goes with the next attach.
        if (client) {
            WindowSize size = windowSize();
            client->resize(events->id, size.columns, size.rows);
        }
        return std::nullopt;
    }
    return signal;
}

TerminalSession::Input TerminalSession::readInput(bool forward) {
    Bytes buffer(65536);
    ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (count < 0 && (errno == EINTR || errno == EAGAIN))
        return Input::open;
    if (count <= 0) {
        if (::isatty(STDIN_FILENO) == 1)
            return Input::hungUp;
        if (forward)
            client->write(events->id, Bytes{0x04});
        return Input::ended;
    }
    buffer.resize(static_cast<std::size_t>(count));
    std::optional<std::size_t> key = detachKey.find(buffer);
    if (key)
        buffer.resize(*key);
    if (forward && !buffer.empty())
        client->write(events->id, std::move(buffer));
    return key ? Input::detachKey : Input::open;
}

} // namespace veltro::command
