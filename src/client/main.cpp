// veltro-terminal: a shell through the terminal helper, in this terminal.
#include "client/TerminalHelperClient.hpp"
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

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

#include "platform/FileDescriptor.hpp"

#ifndef VELTRO_VERSION
#error "VELTRO_VERSION must name the version this program is built as"
#endif

namespace veltro {
namespace {

constexpr const char* usage =
    "Usage: veltro-terminal [--shell PATH] [--env NAME=VALUE]... [--check]\n"
    "\n"
    "Opens a shell through the Veltro terminal helper in this terminal, in the current folder.\n"
    "\n"
    "  --shell PATH        run PATH instead of your login shell\n"
    "  --env NAME=VALUE    set a variable in the shell's environment (repeatable)\n"
    "  --check             only check that a terminal helper is listening\n"
    "  --help              show this help\n"
    "  --version           show the version\n"
    "\n"
    "The exit status is the shell's, or 128 plus the signal that ended it.\n";

struct Options {
    std::optional<std::string> shell;
    Environment environment;
    bool check = false;
};

// Parses the command line; answers the exit status when the program is done already.
std::optional<int> parse(int argc, char** argv, Options& options) {
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        auto value = [&](const std::string& name) -> std::optional<std::string> {
            if (argument.starts_with(name + "="))
                return argument.substr(name.size() + 1);
            if (argument == name && index + 1 < argc)
                return std::string(argv[++index]);
            return std::nullopt;
        };
        if (argument == "--help" || argument == "-h") {
            std::cout << usage;
            return 0;
        }
        if (argument == "--version") {
            std::cout << "veltro-terminal " << VELTRO_VERSION << '\n';
            return 0;
        }
        if (argument == "--check") {
            options.check = true;
            continue;
        }
        if (argument == "--shell" || argument.starts_with("--shell=")) {
            auto shell = value("--shell");
            if (!shell) {
                std::cerr << "veltro-terminal: --shell needs a path\n";
                return 2;
            }
            options.shell = *shell;
            continue;
        }
        if (argument == "--env" || argument.starts_with("--env=")) {
            auto entry = value("--env");
            std::size_t equals = entry ? entry->find('=') : std::string::npos;
            if (!entry || equals == 0 || equals == std::string::npos) {
                std::cerr << "veltro-terminal: --env needs NAME=VALUE\n";
                return 2;
            }
            options.environment[entry->substr(0, equals)] = entry->substr(equals + 1);
            continue;
        }
        std::cerr << "veltro-terminal: unknown argument \u201c" << argument << "\u201d\n"
                  << "Try veltro-terminal --help.\n";
        return 2;
    }
    return std::nullopt;
}

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
    UUID id = UUID::random();
    std::atomic<bool> exited{false};
    std::atomic<std::int32_t> status{0};
    std::atomic<bool> disconnected{false};
    // Written before `disconnected` is set, read only after it has been seen.
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

class Session {
public:
    Session(std::shared_ptr<TerminalHelperClient> client, std::shared_ptr<Events> events)
        : client(std::move(client)), events(std::move(events)) {}

    // Relays keystrokes, window sizes and signals until the shell ends, the agent goes away or a
    // signal ends this program; answers the exit status.
    int run(RawMode& raw) {
        sigset_t set;
        (void)sigemptyset(&set); // These fail only for a signal number out of range.
        for (int signal : {SIGINT, SIGTERM, SIGHUP, SIGWINCH, SIGQUIT})
            (void)sigaddset(&set, signal);
        FileDescriptor signals(::signalfd(-1, &set, SFD_CLOEXEC));
        // Blocked, these signals would otherwise never reach this program at all.
        if (!signals) {
            std::cerr << "veltro-terminal: can\u2019t watch for signals: " << std::strerror(errno)
                      << '\n';
            client->close(events->id);
            return 1;
        }
        bool inputOpen = true;
        int result = 1;
        while (!finished(raw, result)) {
            pollfd entries[3] = {{events->wakeup.get(), POLLIN, 0},
                                 {signals.get(), POLLIN, 0},
                                 {inputOpen ? STDIN_FILENO : -1, POLLIN, 0}};
            if (::poll(entries, 3, -1) < 0)
                continue;
            if (entries[1].revents & POLLIN) {
                if (auto ending = takeSignal(signals.get())) {
                    client->close(events->id);
                    raw.restore();
                    result = 128 + *ending;
                    break;
                }
            }
            if (entries[2].revents & (POLLIN | POLLHUP | POLLERR))
                inputOpen = forwardInput();
            if (entries[0].revents & POLLIN) {
                // Only empties the descriptor; what woke us is in `events`, which finished() reads.
                std::uint64_t count = 0;
                [[maybe_unused]] ssize_t read = ::read(events->wakeup.get(), &count, sizeof count);
            }
        }
        return result;
    }

private:
    bool finished(RawMode& raw, int& result) {
        if (events->exited.load()) {
            raw.restore();
            result = exitCodeOf(events->status.load());
            return true;
        }
        if (events->disconnected.load()) {
            raw.restore();
            std::cerr << "\r\nveltro-terminal: the terminal helper went away"
                      << (events->reason.empty() ? "" : ": " + events->reason) << ".\n";
            result = 1;
            return true;
        }
        return false;
    }

    // Window changes go to the shell; the ending signals end the session.
    std::optional<int> takeSignal(int signals) {
        signalfd_siginfo info{};
        if (::read(signals, &info, sizeof info) != sizeof info)
            return std::nullopt;
        int signal = static_cast<int>(info.ssi_signo);
        if (signal == SIGWINCH) {
            WindowSize size = windowSize();
            client->resize(events->id, size.columns, size.rows);
            return std::nullopt;
        }
        return signal;
    }

    // At the end of input that is not a terminal the shell gets an end-of-file character, so
    // that piped commands end the shell as they would at a prompt.
    bool forwardInput() {
        Bytes buffer(65536);
        ssize_t count = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return true;
        if (count <= 0) {
            if (::isatty(STDIN_FILENO) != 1)
                client->write(events->id, Bytes{0x04});
            return false;
        }
        buffer.resize(static_cast<std::size_t>(count));
        client->write(events->id, std::move(buffer));
        return true;
    }

    std::shared_ptr<TerminalHelperClient> client;
    std::shared_ptr<Events> events;
};

Environment shellEnvironment(const Options& options) {
    Environment environment;
    // The shell's output goes to this terminal, so programs should speak its language.
    if (const char* term = std::getenv("TERM"); term && *term)
        environment["TERM"] = term;
    for (const auto& [name, value] : options.environment)
        environment[name] = value;
    return environment;
}

int run(const Options& options) {
    std::string path;
    try {
        path = TerminalService::socketPath();
    } catch (const std::exception& error) {
        std::cerr << "veltro-terminal: " << error.what() << '\n';
        return 1;
    }
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
    std::shared_ptr<TerminalHelperClient> client;
    try {
        client = TerminalHelperClient::connect(loop, handlerFor(events), path);
    } catch (const std::exception& error) {
        if (!someoneListens(path))
            reportNoAgent(path);
        else
            std::cerr << "veltro-terminal: " << error.what() << '\n';
        return 1;
    }
    if (options.check) {
        std::cout << "A terminal helper is listening at " << path << ".\n";
        return 0;
    }

    WindowSize size = windowSize();
    TerminalHelperClient::OpenResult opened;
    try {
        opened = client->openShell(events->id, size.columns, size.rows, currentFolder(),
                                   options.shell, shellEnvironment(options));
    } catch (const std::exception& error) {
        std::cerr << "veltro-terminal: " << error.what() << '\n';
        return 1;
    }
    if (opened.error) {
        std::cerr << "veltro-terminal: " << *opened.error << '\n';
        return 1;
    }

    RawMode raw;
    Session session(client, events);
    return session.run(raw);
}

} // namespace
} // namespace veltro

int main(int argc, char** argv) {
    veltro::Options options;
    if (auto done = veltro::parse(argc, argv, options))
        return *done;
    return veltro::run(options);
}
