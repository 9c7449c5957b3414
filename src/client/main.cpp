// veltro-terminal: a shell through the terminal helper, in this terminal.
#include "client/TerminalHelperClient.hpp"
#include "client/command/CommandLine.hpp"
#include "client/command/DetachKey.hpp"
#include "ipc/ClientConnection.hpp"
#include "platform/EventLoop.hpp"
#include "protocol/TerminalService.hpp"
#include "protocol/UUID.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileDescriptor.hpp"

#ifndef VELTRO_VERSION
#error "VELTRO_VERSION must name the version this program is built as"
#endif

namespace veltro {
namespace {

constexpr const char* usage =
    "Usage: veltro-terminal [REMOTE] [--shell PATH] [--env NAME=VALUE]... [--keep SECONDS]\n"
    "                       [--detach-key KEY]\n"
    "       veltro-terminal [REMOTE] --attach ID [--detach-key KEY]\n"
    "       veltro-terminal [REMOTE] --list | --check\n"
    "where REMOTE is --ssh [USER@]HOST [--ssh-option OPTION]... [--remote-command COMMAND]\n"
    "\n"
    "Opens a shell through the Veltro terminal helper in this terminal, in the current folder,\n"
    "or with --ssh through the helper on another host, in the home folder there.\n"
    "\n"
    "  --shell PATH        run PATH instead of your login shell\n"
    "  --env NAME=VALUE    set a variable in the shell's environment (repeatable)\n"
    "  --keep SECONDS      keep the shell: when this terminal goes away (its window is\n"
    "                      closed, say) the shell runs on for SECONDS (up to 604800, a\n"
    "                      week) and keeps its last MiB of output, waiting for --attach\n"
    "  --list              list the kept shells: id, pid, whether a terminal has it, the\n"
    "                      time left before a detached one is closed, program and folder\n"
    "  --attach ID         take a kept shell into this terminal, at this terminal's size,\n"
    "                      and show its kept output again; the start of its id is enough\n"
    "                      when no other kept shell's id starts the same way\n"
    "  --detach-key KEY    leave a kept shell running and end, when KEY is typed; KEY is a\n"
    "                      control key in caret notation, such as ^] or ^\\ (none by default)\n"
    "  --check             only check that a terminal helper is listening\n"
    "  --ssh [USER@]HOST   use the terminal helper on HOST, through ssh (which asks for a\n"
    "                      password, if it needs one, before the shell starts); with --keep\n"
    "                      or --attach a connection that breaks is made again, and the shell\n"
    "                      goes on where it was\n"
    "  --ssh-option OPTION give ssh OPTION as it is, e.g. --ssh-option=-p2222 (repeatable)\n"
    "  --remote-command COMMAND\n"
    "                      run COMMAND on HOST instead of veltro-terminal-helper --proxy\n"
    "                      (from ~/.local/bin there, or else from the PATH)\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "\n"
    "The exit status is the shell's, or 128 plus the signal that ended it; 0 when it was left\n"
    "running (the detach key, or another terminal attached it).\n";

// Whether anything accepts connections at `path`: no file, or a refused connect, means no.
bool someoneListens(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        return false;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return true;
    bool listens = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    int error = errno;
    (void)::close(fd); // Only a probe: nothing was written to it.
    return listens || (error != ENOENT && error != ECONNREFUSED && error != ENOTSOCK);
}

void reportNoAgent(const std::string& path) {
    std::cerr << "veltro-terminal: no terminal helper is listening at " << path
              << ". Start one with: veltro-terminal-helper --agent\n";
}

struct WindowSize {
    std::int64_t columns = 80;
    std::int64_t rows = 24;
};

WindowSize windowSize() {
    winsize size{};
    for (int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO})
        if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0)
            return {size.ws_col, size.ws_row};
    return {};
}

// Puts the terminal in raw mode and gives it back as it was, whichever way the program ends:
// its destructor runs on every return path, and signals are taken as events, not handlers.
class RawMode {
public:
    RawMode() {
        if (::isatty(STDIN_FILENO) != 1 || ::tcgetattr(STDIN_FILENO, &saved) != 0)
            return;
        termios raw = saved;
        ::cfmakeraw(&raw);
        // TCSADRAIN, not TCSAFLUSH: what the user typed before the shell was ready (during a
        // build, say) is kept and reaches the shell instead of being thrown away.
        if (::tcsetattr(STDIN_FILENO, TCSADRAIN, &raw) == 0)
            active = true;
    }
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode() { restore(); }

    void restore() {
        // Typeahead is kept here too, for whatever runs next. A failure leaves nothing to do:
        // the terminal is gone or no longer ours.
        if (active)
            (void)::tcsetattr(STDIN_FILENO, TCSADRAIN, &saved);
        active = false;
    }

private:
    termios saved{};
    bool active = false;
};

void writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        ssize_t written = ::write(fd, data, size);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0 && errno == EAGAIN) {
            // Interrupted or failed, the write below tries again and tells.
            pollfd entry{fd, POLLOUT, 0};
            (void)::poll(&entry, 1, -1);
            continue;
        }
        if (written <= 0)
            return;
        data += written;
        size -= static_cast<std::size_t>(written);
    }
}

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

int exitCodeOf(std::int32_t status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

std::string currentFolder() {
    std::string folder(4096, '\0');
    if (::getcwd(folder.data(), folder.size()) == nullptr)
        return {};
    folder.resize(std::strlen(folder.c_str()));
    return folder;
}

// The few digits of an id that --attach needs in practice.
std::string shortID(const UUID& id) {
    return id.string().substr(0, 8);
}

// Where the agent is: this machine's, at its socket, or a host's, through ssh.
struct Place {
    std::string socketPath;
    std::optional<SSHDestination> ssh;

    std::string name() const { return ssh ? ssh->host : socketPath; }
    // What takes a kept shell back into a terminal.
    std::string attachCommand(const UUID& id) const {
        return "veltro-terminal " + (ssh ? "--ssh " + ssh->host + " " : std::string()) +
               "--attach " + shortID(id);
    }
};

using Connect = std::function<std::shared_ptr<TerminalHelperClient>()>;

// How a session ended: the exit status, and what to say once the terminal is ours again.
struct Ending {
    int status = 1;
    std::string message;
};

// A kept shell whose connection broke is attached again, with pauses from the first to the
// longest between attempts, until the attempts have failed for the limit.
constexpr std::chrono::milliseconds firstPause{500};
constexpr std::chrono::milliseconds longestPause{8000};
constexpr std::chrono::minutes reconnectLimit{2};

class Session {
public:
    // `kept`: the shell outlives this program's connection, so leaving must not close it, and
    // a connection that breaks is made again.
    Session(std::shared_ptr<TerminalHelperClient>& client, Connect connect, const Place& place,
            std::shared_ptr<Events> events, bool kept, std::optional<std::uint8_t> detachKey)
        : client(client), connect(std::move(connect)), place(place), events(std::move(events)),
          kept(kept), detachKey(detachKey) {}

    // Relays keystrokes, window sizes and signals until the shell ends, the agent goes away,
    // the shell is detached or a signal ends this program.
    Ending run() {
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
            if (entries[1].revents & POLLIN) {
                if (auto signal = takeSignal())
                    return leave(*signal);
            }
            if (entries[2].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (auto ending = takeInput(true))
                    return *ending;
            }
            if (entries[0].revents & POLLIN) {
                // Only empties the descriptor; what woke us is in `events`, which finished() reads.
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t read = ::read(events->wakeup.get(), &count, sizeof count);
            }
        }
    }

private:
    enum class Input { open, ended, hungUp, detachKey };

    std::optional<Ending> finished() {
        if (events->exited.load())
            return Ending{exitCodeOf(events->status.load()), {}};
        if (events->takenOver.load())
            return Ending{0, "veltro-terminal: the shell was attached elsewhere (" +
                                 events->reason + "); it runs on there.\n"};
        if (events->disconnected.load() && kept)
            return reconnect();
        if (events->disconnected.load())
            return Ending{1, "veltro-terminal: " +
                                 (place.ssh ? "the connection to " + place.name() + " ended"
                                            : std::string("the terminal helper went away")) +
                                 (events->reason.empty() ? "" : ": " + events->reason) + ".\n"};
        return std::nullopt;
    }

    // The connection ended but not the shell, which the agent keeps: connect again and attach
    // it from the byte this terminal reached, so that nothing is lost or shown twice. Answers
    // nothing once it is attached again.
    std::optional<Ending> reconnect() {
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
                return Ending{1, "veltro-terminal: " + place.name() +
                                     " could not be reached again (" + problem +
                                     "). The shell may still be kept there: " +
                                     place.attachCommand(events->id) + "\n"};
            if (auto ending = wait(pause))
                return ending;
            pause = std::min(pause * 2, longestPause);
        }
    }

    // Between two attempts to reconnect: only the detach key and the ending signals count, as
    // there is no shell to type into.
    std::optional<Ending> wait(std::chrono::milliseconds pause) {
        auto until = std::chrono::steady_clock::now() + pause;
        for (auto now = std::chrono::steady_clock::now(); now < until;
             now = std::chrono::steady_clock::now()) {
            pollfd entries[2] = {{signals.get(), POLLIN, 0},
                                 {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
            auto left = std::chrono::ceil<std::chrono::milliseconds>(until - now);
            if (::poll(entries, 2, static_cast<int>(left.count())) <= 0)
                continue;
            if (entries[0].revents & POLLIN) {
                if (auto signal = takeSignal())
                    return leave(*signal);
            }
            if (entries[1].revents & (POLLIN | POLLHUP | POLLERR)) {
                if (auto ending = takeInput(false))
                    return ending;
            }
        }
        return std::nullopt;
    }

    // Reads what was typed, forwarded when `forward` (and else dropped); answers how the
    // session ends, when the input ends it.
    std::optional<Ending> takeInput(bool forward) {
        Input input = readInput(forward);
        if (input == Input::hungUp)
            return leave(SIGHUP);
        if (input == Input::detachKey)
            return detach();
        inputOpen = input == Input::open;
        return std::nullopt;
    }

    // A hang-up means this terminal is gone: a kept shell waits for the next one, as the end of
    // our connection leaves it. Any other ending signal closes the shell, when it can.
    Ending leave(int signal) {
        if (!client)
            return Ending{128 + signal, "veltro-terminal: the shell may still be kept on " +
                                            place.name() + ": " + place.attachCommand(events->id) +
                                            "\n"};
        if (signal != SIGHUP || !kept)
            client->close(events->id);
        return Ending{128 + signal, {}};
    }

    Ending detach() {
        if (client)
            client->detach(events->id);
        return Ending{0, "veltro-terminal: detached; the shell runs on. Take it back with: " +
                             place.attachCommand(events->id) + "\n"};
    }

    // Window changes go to the shell; the ending signals end the session.
    std::optional<int> takeSignal() {
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

    // At the end of input that is not a terminal the shell gets an end-of-file character, so
    // that piped commands end the shell as they would at a prompt. A terminal in raw mode ends
    // its input only when it hangs up.
    Input readInput(bool forward) {
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

    std::shared_ptr<TerminalHelperClient>& client;
    Connect connect;
    const Place& place;
    std::shared_ptr<Events> events;
    bool kept;
    command::DetachKeyFilter detachKey;
    FileDescriptor signals;
    bool inputOpen = true;
};

Environment shellEnvironment(const command::Options& options) {
    Environment environment;
    // The shell's output goes to this terminal, so programs should speak its language.
    if (const char* term = std::getenv("TERM"); term && *term)
        environment["TERM"] = term;
    for (const auto& [name, value] : options.environment)
        environment[name] = value;
    return environment;
}

bool needsKeptShells(const command::Options& options) {
    using Action = command::Options::Action;
    return options.keep > 0 || options.action == Action::list || options.action == Action::attach;
}

// Opens the shell the options describe; answers what went wrong, if anything. This folder means
// nothing on another host, where the shell starts in the home folder.
std::optional<std::string> openShell(TerminalHelperClient& client, const command::Options& options,
                                     const UUID& id) {
    WindowSize size = windowSize();
    ShellOptions shellOptions;
    if (options.keep > 0)
        shellOptions = {options.keep, ShellOptions::defaultKeptHistory};
    TerminalHelperClient::OpenResult opened =
        client.openShell(id, size.columns, size.rows, options.ssh ? "" : currentFolder(),
                         options.shell, shellEnvironment(options), shellOptions);
    return opened.error;
}

// Finds the kept shell the options name and takes it into this connection, replaying all of
// its kept output; answers what went wrong, if anything.
std::optional<std::string> attachShell(TerminalHelperClient& client,
                                       const command::Options& options, Events& events) {
    std::vector<UUID> ids;
    for (const KeptShellInfo& shell : client.list())
        ids.push_back(shell.id);
    command::ShellMatch match = command::matchShell(options.attach, ids);
    if (!match.id)
        return match.problem;
    events.id = *match.id;
    WindowSize size = windowSize();
    TerminalHelperClient::AttachResult attached =
        client.attach(events.id, std::nullopt, size.columns, size.rows);
    return attached.error;
}

// Ends by letting go of the client, so that nothing more of the shell's output reaches this
// terminal once it is the person's again.
int runSession(std::shared_ptr<TerminalHelperClient>& client, Connect connect, const Place& place,
               const command::Options& options, const std::shared_ptr<Events>& events) {
    using Action = command::Options::Action;
    std::optional<std::string> problem;
    try {
        if (options.action == Action::list) {
            std::cout << command::keptShellTable(client->list());
            return 0;
        }
        problem = options.action == Action::attach ? attachShell(*client, options, *events)
                                                   : openShell(*client, options, events->id);
    } catch (const std::exception& error) {
        problem = error.what();
    }
    if (problem) {
        std::cerr << "veltro-terminal: " << *problem << '\n';
        return 1;
    }
    bool kept = options.keep > 0 || options.action == Action::attach;
    Ending ending;
    {
        RawMode raw;
        ending = Session(client, std::move(connect), place, events, kept, options.detachKey).run();
        client.reset();
    }
    if (!ending.message.empty())
        std::cerr << "\r\n" << ending.message;
    return ending.status;
}

// Where the options say the agent is; nothing, and the reason said, when this machine's
// socket cannot be found.
std::optional<Place> placeOf(const command::Options& options) {
    if (options.ssh)
        return Place{{}, SSHDestination{*options.ssh, options.sshOptions, options.remoteCommand}};
    try {
        return Place{TerminalService::socketPath(), std::nullopt};
    } catch (const std::exception& error) {
        std::cerr << "veltro-terminal: " << error.what() << '\n';
        return std::nullopt;
    }
}

std::shared_ptr<TerminalHelperClient> connectTo(EventLoop& loop, const Place& place,
                                                const std::shared_ptr<Events>& events) {
    if (place.ssh)
        return TerminalHelperClient::connect(loop, handlerFor(events), *place.ssh);
    return TerminalHelperClient::connect(loop, handlerFor(events), place.socketPath);
}

int run(const command::Options& options) {
    std::optional<Place> place = placeOf(options);
    if (!place)
        return 1;
    // Blocked before any connection thread starts, so that only the main thread takes them.
    // These fail only for invalid arguments.
    sigset_t set;
    (void)sigemptyset(&set);
    for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGQUIT})
        (void)sigaddset(&set, signal);
    (void)::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    (void)std::signal(SIGPIPE, SIG_IGN);

    // Declared first, so it goes last: the client's destructor ends the connection on the loop
    // and waits for it, and then the loop stops and joins its thread. So nothing of the
    // connection is still at work once run() returns and the program's static objects go.
    EventLoop loop;
    auto events = std::make_shared<Events>();
    if (!events->wakeup) {
        std::cerr << "veltro-terminal: can\u2019t make an event descriptor: "
                  << std::strerror(errno) << '\n';
        return 1;
    }
    Connect connect = [&loop, &place, &events] { return connectTo(loop, *place, events); };
    std::shared_ptr<TerminalHelperClient> client;
    try {
        client = connect();
    } catch (const std::exception& error) {
        if (!place->ssh && !someoneListens(place->socketPath))
            reportNoAgent(place->socketPath);
        else
            std::cerr << "veltro-terminal: " << error.what() << '\n';
        return 1;
    }
    if (options.action == command::Options::Action::check) {
        std::cout << "A terminal helper is listening " << (place->ssh ? "on " : "at ")
                  << place->name() << ".\n";
        return 0;
    }
    if (needsKeptShells(options) && client->agentVersion() < 2) {
        std::cerr << "veltro-terminal: the terminal helper " << (place->ssh ? "on " : "at ")
                  << place->name()
                  << " is too old to keep shells; it ends itself once idle, and the next one "
                     "started is this version.\n";
        return 1;
    }
    return runSession(client, std::move(connect), *place, options, events);
}

} // namespace
} // namespace veltro

int main(int argc, char** argv) {
    using Action = veltro::command::Options::Action;
    std::vector<std::string_view> arguments(argv + 1, argv + argc);
    veltro::command::ParsedCommandLine parsed = veltro::command::parseCommandLine(arguments);
    if (parsed.problem) {
        std::cerr << "veltro-terminal: " << *parsed.problem << "\nTry veltro-terminal --help.\n";
        return 2;
    }
    if (parsed.options.action == Action::help) {
        std::cout << veltro::usage;
        return 0;
    }
    if (parsed.options.action == Action::version) {
        std::cout << "veltro-terminal " << VELTRO_VERSION << '\n';
        return 0;
    }
    return veltro::run(parsed.options);
}
