#pragma once

#include "client/SSHProcess.hpp"
#include "client/TerminalHelperClient.hpp"
#include "client/command/DetachKey.hpp"
#include "platform/FileDescriptor.hpp"
#include "protocol/UUID.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace veltro::command {

// What the event loop tells the main thread. The main thread sleeps in poll() and wakes
// on the event descriptor.
struct Events {
    // Set before this connection opens or attaches its shell, and not changed after.
    UUID id = UUID::random();
    std::atomic<bool> exited{false};
    std::atomic<std::int32_t> status{0};
    std::atomic<bool> disconnected{false};
    std::atomic<bool> takenOver{false};
    // Written before `disconnected` or `takenOver` is set, read only after it has been seen.
    std::string reason;
    FileDescriptor wakeup{::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};

    void wake() {
        std::uint64_t one = 1;
        // Fails only when the counter is full, and then a wake-up is pending anyway.
        [[maybe_unused]] ssize_t written = ::write(wakeup.get(), &one, sizeof one);
    }
};

// Writes the shell's output to this terminal and tells `events` the rest.
TerminalHelperClient::Handler handlerFor(const std::shared_ptr<Events>& events);

// Where the agent is: this machine's, at its socket, or a host's, through ssh.
struct Place {
    std::string socketPath;
    std::optional<SSHDestination> ssh;

    std::string name() const { return ssh ? ssh->host : socketPath; }
    // What takes a kept shell back into a terminal.
    std::string attachCommand(const UUID& id) const;
};

using Connect = std::function<std::shared_ptr<TerminalHelperClient>()>;

// How a session ended: the exit status, and what to say once the terminal is ours again.
struct Ending {
    int status = 1;
    std::string message;
};

// One shell in this terminal: what is typed goes to it and what it prints comes here.
class TerminalSession {
public:
    // `kept`: the shell outlives this program's connection, so leaving must not close it, and
    // a connection that breaks is made again.
    TerminalSession(std::shared_ptr<TerminalHelperClient>& client, Connect connect,
                    const Place& place, std::shared_ptr<Events> events, bool kept,
                    std::optional<std::uint8_t> detachKey)
        : client(client), connect(std::move(connect)), place(place), events(std::move(events)),
          kept(kept), detachKey(detachKey) {}

    // Relays keystrokes, window sizes and signals until the shell ends, the agent goes away,
    // the shell is detached or a signal ends this program.
    Ending run();

private:
    enum class Input { open, ended, hungUp, detachKey };

    std::optional<Ending> finished();

    // The connection ended but not the shell, which the agent keeps: connect again and attach
    // it from the byte this terminal reached, so that nothing is lost or shown twice. Answers
    // nothing once it is attached again.
    std::optional<Ending> reconnect();

    // Between two attempts to reconnect: only the detach key and the ending signals count, as
    // there is no shell to type into.
    std::optional<Ending> wait(std::chrono::milliseconds pause);

    // Takes the signal and the input that poll() found ready; answers how the session ends,
    // when they end it.
    std::optional<Ending> takeReady(const pollfd& signal, const pollfd& input, bool forward);

    // Reads what was typed, forwarded when `forward` (and else dropped); answers how the
    // session ends, when the input ends it.
    std::optional<Ending> takeInput(bool forward);

    // A hang-up means this terminal is gone: a kept shell waits for the next one, as the end of
    // our connection leaves it. Any other ending signal closes the shell, when it can.
    Ending leave(int signal);

    Ending detach();

    // Window changes go to the shell; the ending signals end the session.
    std::optional<int> takeSignal();

    // At the end of input that is not a terminal the shell gets an end-of-file character, so
    // that piped commands end the shell as they would at a prompt. A terminal in raw mode ends
    // its input only when it hangs up.
    Input readInput(bool forward);

    std::shared_ptr<TerminalHelperClient>& client;
    Connect connect;
    const Place& place;
    std::shared_ptr<Events> events;
    bool kept;
    DetachKeyFilter detachKey;
    FileDescriptor signals;
    bool inputOpen = true;
};

} // namespace veltro::command
