#include "sessions/PTYShellLauncher.hpp"

#include "platform/EventLoop.hpp"
#include "platform/Expected.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/ProcessInfo.hpp"
#include "platform/UTF8.hpp"
#include "sessions/LeftoverScan.hpp"
#include "sessions/PTYSession.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

// glibc 2.36 declares these without C linkage guards.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace veltro {

namespace {

std::string startError(const std::string& path, int error) {
    return "Couldn\u2019t start " + path + ": " + std::strerror(error);
}

std::string terminalError(int error) {
    return std::string("Couldn\u2019t open a terminal: ") + std::strerror(error);
}

// The two ends of a new pseudo-terminal, owned until they are handed on.
struct Terminal {
    FileDescriptor master;
    FileDescriptor slave;
    std::string path;
    dev_t device = 0;
};

Expected<Terminal> openTerminal(std::int64_t columns, std::int64_t rows) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(PTYSession::clampDimension(rows));
    size.ws_col = static_cast<unsigned short>(PTYSession::clampDimension(columns));
    int masterFD = -1;
    int slaveFD = -1;
    int result = 0;
    int error = 0;
    {
        std::lock_guard lock(PTYShellLauncher::openLock());
        result = ::openpty(&masterFD, &slaveFD, nullptr, nullptr, &size);
        if (result != 0)
            error = errno;
    }
    if (result != 0)
        return unexpected(terminalError(error));

    Terminal terminal{FileDescriptor(masterFD), FileDescriptor(slaveFD), {}, 0};
    // Another shell spawned meanwhile must not inherit this terminal.
    if (::fcntl(terminal.master.get(), F_SETFD, FD_CLOEXEC) == -1 ||
        ::fcntl(terminal.slave.get(), F_SETFD, FD_CLOEXEC) == -1)
        return unexpected(terminalError(errno));
    std::array<char, 1024> name{};
    if (::ttyname_r(terminal.slave.get(), name.data(), name.size()) != 0)
        return unexpected(std::string("Couldn\u2019t name the terminal"));
    std::size_t length = std::find(name.begin(), name.end(), '\0') - name.begin();
    terminal.path = replacingInvalidUTF8(std::string_view(name.data(), length));

    struct stat status {};
    if (::fstat(terminal.slave.get(), &status) == 0)
        terminal.device = status.st_rdev;

    // Shells and editors decide from this flag whether a backspace erases a whole character.
    termios attributes{};
    // Without it the shell still works; only erasing a multibyte character is off, so a failure
    // is no reason to refuse the shell.
    if (::tcgetattr(terminal.slave.get(), &attributes) == 0) {
        attributes.c_iflag |= IUTF8;
        (void)::tcsetattr(terminal.slave.get(), TCSANOW, &attributes);
    }

    // The output pump reads until the terminal would block; a blocking read would stall the loop.
    int flags = ::fcntl(terminal.master.get(), F_GETFL);
    if (flags == -1 || ::fcntl(terminal.master.get(), F_SETFL, flags | O_NONBLOCK) == -1)
        return unexpected(terminalError(errno));
    return terminal;
}

std::string canonicalFolder(const std::string& folder) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr),
                                                         &std::free);
    if (!resolved)
        return folder;
    return replacingInvalidUTF8(resolved.get());
}

// Both wrappers keep the result of their init (which can fail only for want of memory), to be
// reported with the other steps of a spawn; only what was initialised is destroyed.
class SpawnFileActions {
public:
    SpawnFileActions() : initError(::posix_spawn_file_actions_init(&actions)) {}
    ~SpawnFileActions() {
        // Destroying cannot fail for actions that were initialised.
        if (initError == 0)
            (void)::posix_spawn_file_actions_destroy(&actions);
    }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    posix_spawn_file_actions_t actions;
    const int initError;
};

class SpawnAttributes {
public:
    SpawnAttributes() : initError(::posix_spawnattr_init(&attributes)) {}
    ~SpawnAttributes() {
        // Destroying cannot fail for attributes that were initialised.
        if (initError == 0)
            (void)::posix_spawnattr_destroy(&attributes);
    }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    posix_spawnattr_t attributes;
    const int initError;
};

// A null-terminated vector of C strings whose storage it owns.
class StringVector {
public:
    void push_back(std::string value) { strings.push_back(std::move(value)); }

    char* const* data() {
        pointers.clear();
        for (std::string& value : strings)
            pointers.push_back(value.data());
        pointers.push_back(nullptr);
        return pointers.data();
    }

private:
    std::vector<std::string> strings;
    std::vector<char*> pointers;
};

// Signals 1 to 31 and the real-time range; glibc keeps its two internal signals below
// SIGRTMIN to itself, and SIGKILL and SIGSTOP cannot be caught or ignored anyway. sigemptyset
// and sigaddset fail only for a signal number out of range, which these are not.
sigset_t catchableSignals() {
    sigset_t signals;
    (void)sigemptyset(&signals);
    auto add = [&](int signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            (void)sigaddset(&signals, signal);
    };
    for (int signal = 1; signal <= 31; ++signal)
        add(signal);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        add(signal);
    return signals;
}

// The first non-zero result of the calls that build up a spawn.
int firstError(std::initializer_list<int> results) {
    for (int result : results)
        if (result != 0)
            return result;
    return 0;
}

Expected<pid_t> spawn(const ShellCommand& command, const std::string& ttyPath) {
    SpawnFileActions files;
    SpawnAttributes spawn;
    if (int error = firstError({files.initError, spawn.initError}))
        return unexpected(startError(command.path, error));
    sigset_t emptyMask;
    (void)sigemptyset(&emptyMask); // Cannot fail.
    sigset_t defaults = catchableSignals();
    int error = firstError({
        // Nothing of the agent's reaches the shell but the terminal on 0, 1 and 2. Closed first,
        // so that opening the terminal needs no free descriptor below the agent's limit.
        ::posix_spawn_file_actions_addclosefrom_np(&files.actions, 3),
        // Opening the terminal by name, in a child that has just become a session leader and
        // without O_NOCTTY, makes it the child's controlling terminal.
        ::posix_spawn_file_actions_addopen(&files.actions, 0, ttyPath.c_str(), O_RDWR, 0),
        ::posix_spawn_file_actions_adddup2(&files.actions, 0, 1),
        ::posix_spawn_file_actions_adddup2(&files.actions, 0, 2),
        ::posix_spawn_file_actions_addchdir_np(&files.actions, command.folder.c_str()),
        ::posix_spawnattr_setflags(&spawn.attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK |
                                                          POSIX_SPAWN_SETSIGDEF),
        ::posix_spawnattr_setsigmask(&spawn.attributes, &emptyMask),
        ::posix_spawnattr_setsigdefault(&spawn.attributes, &defaults),
    });

    StringVector arguments;
    for (const std::string& argument : command.arguments)
        arguments.push_back(argument);
    StringVector environment;
    for (const auto& [key, value] : command.environment)
        environment.push_back(key + "=" + value);

    pid_t child = 0;
    if (error == 0)
        error = ::posix_spawn(&child, command.path.c_str(), &files.actions, &spawn.attributes,
                              arguments.data(), environment.data());
    if (error != 0)
        return unexpected(startError(command.path, error));
    return child;
}

// A spawned shell not yet handed on: killed and collected if the launch fails after all.
class Child {
public:
    explicit Child(pid_t pid) : pid(pid) {}
    ~Child() {
        if (pid <= 0)
            return;
        // The shell may have ended already; the wait below collects it either way.
        (void)::kill(pid, SIGKILL);
        // Our own unreaped child: the wait can fail only when interrupted.
        while (::waitpid(pid, nullptr, 0) == -1 && errno == EINTR) {
        }
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    pid_t release() { return std::exchange(pid, 0); }

    pid_t pid;
};

// posix_spawn cannot set a limit in the child, so it is set from outside at once. posix_spawn
// returns only once the program has been executed, so a program that read its limit in the
// first moments of its start could still see the agent's.
void limitDescriptors(pid_t child, rlim_t limit) {
    rlimit current{};
    if (::getrlimit(RLIMIT_NOFILE, &current) != 0)
        return;
    rlimit wanted{std::min(limit, current.rlim_max), current.rlim_max};
    // Lowering a soft limit of our own child is always allowed, and a child that has ended
    // already has no limit left to matter; a failure leaves only a larger limit.
    (void)::prlimit(child, RLIMIT_NOFILE, &wanted, nullptr);
}

Expected<asio::posix::stream_descriptor>
watched(asio::io_context& context, FileDescriptor descriptor, const ShellCommand& command) {
    asio::posix::stream_descriptor watched(context);
    asio::error_code error;
    watched.assign(descriptor.get(), error);
    if (error)
        return unexpected(startError(command.path, error.value()));
    descriptor.release();
    return watched;
}

// The blocking part of a launch, on the worker. Whatever fails, nothing it took is left: no
// descriptor stays open and a shell already spawned is killed and collected.
Expected<SpawnedShell> spawnShell(asio::io_context& context, const ShellCommand& command,
                                  std::int64_t columns, std::int64_t rows,
                                  std::optional<rlim_t> descriptorLimit) {
    Expected<Terminal> terminal = openTerminal(columns, rows);
    if (!terminal)
        return unexpected(std::move(terminal.error()));
    Expected<pid_t> pid = spawn(command, terminal->path);
    if (!pid)
        return unexpected(std::move(pid.error()));
    Child child(*pid);
    if (descriptorLimit)
        limitDescriptors(child.pid, *descriptorLimit);
    FileDescriptor pidfd(::pidfd_open(child.pid, 0));
    if (!pidfd)
        return unexpected(startError(command.path, errno));
    Expected<asio::posix::stream_descriptor> master =
        watched(context, std::move(terminal->master), command);
    if (!master)
        return unexpected(std::move(master.error()));
    Expected<asio::posix::stream_descriptor> process = watched(context, std::move(pidfd), command);
    if (!process)
        return unexpected(std::move(process.error()));
    SpawnedShell shell{child.pid, std::move(*master), std::move(*process), terminal->device,
                       canonicalFolder(command.folder)};
    child.release();
    return shell;
}

} // namespace

PTYShellLauncher::PTYShellLauncher(EventLoop& loop, UserAccount account,
                                   Environment baseEnvironment)
    : account(std::move(account)), baseEnvironment(std::move(baseEnvironment)), loop(loop),
      leftoverScan(std::make_shared<LeftoverScan>(loop)) {}

std::mutex& PTYShellLauncher::openLock() {
    static std::mutex lock;
    return lock;
}

void PTYShellLauncher::launch(const ShellRequest& request, ShellEvents events, Launched launched) {
    auto command = [request, account = account, base = baseEnvironment,
                    scripts = integrationScripts] {
        // The user's locale is the agent's own, as its environment names it.
        ShellCommand command(request.shell, request.folder, account, base, request.environment,
                             ShellCommand::preferredLocale(base), ShellCommand::isFolder,
                             ShellCommand::localeExists);
        // Any other shell, or scripts gone since the agent started, leave the shell as it was.
        if (request.integration && scripts)
            command.addIntegration(*scripts, ShellCommand::isFile);
        return command;
    };
    spawnAndStart(command, request.columns, request.rows, std::move(events),
                  [launched = std::move(launched)](Expected<std::shared_ptr<PTYSession>> session) {
                      if (!session)
                          launched(unexpected(std::move(session.error())));
                      else
                          launched(std::shared_ptr<ShellSession>(std::move(*session)));
                  });
}

void PTYShellLauncher::start(ShellCommand command, std::int64_t columns, std::int64_t rows,
                             ShellEvents events, Started started) {
    spawnAndStart([command = std::move(command)] { return command; }, columns, rows,
                  std::move(events), std::move(started));
}

void PTYShellLauncher::spawnAndStart(std::function<ShellCommand()> command, std::int64_t columns,
                                     std::int64_t rows, ShellEvents events, Started started) {
    loop.offload(
        [&context = loop.context(), command = std::move(command), columns, rows,
         limit = descriptorLimit] { return spawnShell(context, command(), columns, rows, limit); },
        [&loop = loop, events = std::move(events), started = std::move(started),
         scan = leftoverScan](Expected<SpawnedShell> shell) mutable {
            if (!shell) {
                started(unexpected(std::move(shell.error())));
                return;
            }
            started(PTYSession::start(loop, std::move(*shell), std::move(events), std::move(scan)));
        });
}

} // namespace veltro
