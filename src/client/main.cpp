// veltro-terminal: a shell through the terminal helper, in this terminal.
#include "client/TerminalHelperClient.hpp"
#include "client/command/CommandLine.hpp"
#include "client/command/Terminal.hpp"
#include "client/command/TerminalSession.hpp"
#include "platform/EventLoop.hpp"
#include "protocol/TerminalService.hpp"
#include "protocol/UUID.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

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

using command::Connect;
using command::Ending;
using command::Events;
using command::Place;
using command::RawMode;
using command::WindowSize;
using command::windowSize;

std::string currentFolder() {
    std::string folder(4096, '\0');
    if (::getcwd(folder.data(), folder.size()) == nullptr)
        return {};
    folder.resize(std::strlen(folder.c_str()));
    return folder;
}

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
        ending = command::TerminalSession(client, std::move(connect), place, events, kept,
                                          options.detachKey)
                     .run();
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
