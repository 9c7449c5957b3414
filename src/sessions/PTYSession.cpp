#include "sessions/PTYSession.hpp"

#include "platform/Executor.hpp"
#include "platform/ProcessInfo.hpp"
#include "sessions/ShellLaunchError.hpp"

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace veltro {

namespace {

winsize windowSize(std::int64_t columns, std::int64_t rows) {
    winsize size{};
    size.ws_row = static_cast<unsigned short>(PTYSession::clampDimension(rows));
    size.ws_col = static_cast<unsigned short>(PTYSession::clampDimension(columns));
    return size;
}

// The two ends of a new pseudo-terminal, owned until they are handed on.
struct Terminal {
    FileDescriptor master;
    FileDescriptor slave;
    std::string path;
    dev_t device = 0;
};

Terminal openTerminal(std::int64_t columns, std::int64_t rows) {
    winsize size = windowSize(columns, rows);
    int masterFD = -1;
    int slaveFD = -1;
    int result = 0;
    int error = 0;
    {
        std::lock_guard lock(PTYSession::openLock());
        result = ::openpty(&masterFD, &slaveFD, nullptr, nullptr, &size);
        if (result != 0)
            error = errno;
    }
    if (result != 0)
        throw ShellLaunchError(std::string("Couldn\u2019t open a terminal: ") +
                               std::strerror(error));

    Terminal terminal{FileDescriptor(masterFD), FileDescriptor(slaveFD), {}, 0};
    std::array<char, 1024> name{};
    if (::ttyname_r(terminal.slave.get(), name.data(), name.size()) != 0)
        throw ShellLaunchError("Couldn\u2019t name the terminal");
    std::size_t length = std::find(name.begin(), name.end(), '\0') - name.begin();
    terminal.path = ProcessInfo::replacingInvalidUTF8(std::string_view(name.data(), length));

    struct stat status {};
    if (::fstat(terminal.slave.get(), &status) == 0)
        terminal.device = status.st_rdev;

    // Shells and editors decide from this flag whether a backspace erases a whole character.
    termios attributes{};
    if (::tcgetattr(terminal.slave.get(), &attributes) == 0) {
        attributes.c_iflag |= IUTF8;
        ::tcsetattr(terminal.slave.get(), TCSANOW, &attributes);
    }

    ::fcntl(terminal.master.get(), F_SETFD, FD_CLOEXEC);
    int flags = ::fcntl(terminal.master.get(), F_GETFL);
    if (flags != -1)
        ::fcntl(terminal.master.get(), F_SETFL, flags | O_NONBLOCK);
    return terminal;
}

std::string canonicalFolder(const std::string& folder) {
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(folder.c_str(), nullptr),
                                                         &std::free);
    if (!resolved)
        return folder;
    return ProcessInfo::replacingInvalidUTF8(resolved.get());
}

class SpawnFileActions {
public:
    SpawnFileActions() { ::posix_spawn_file_actions_init(&actions); }
    ~SpawnFileActions() { ::posix_spawn_file_actions_destroy(&actions); }
    SpawnFileActions(const SpawnFileActions&) = delete;
    SpawnFileActions& operator=(const SpawnFileActions&) = delete;

    posix_spawn_file_actions_t actions;
};

class SpawnAttributes {
public:
    SpawnAttributes() { ::posix_spawnattr_init(&attributes); }
    ~SpawnAttributes() { ::posix_spawnattr_destroy(&attributes); }
    SpawnAttributes(const SpawnAttributes&) = delete;
    SpawnAttributes& operator=(const SpawnAttributes&) = delete;

    posix_spawnattr_t attributes;
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
// SIGRTMIN to itself, and SIGKILL and SIGSTOP cannot be caught or ignored anyway.
sigset_t catchableSignals() {
    sigset_t signals;
    sigemptyset(&signals);
    auto add = [&](int signal) {
        if (signal != SIGKILL && signal != SIGSTOP)
            sigaddset(&signals, signal);
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

} // namespace

std::mutex& PTYSession::openLock() {
    static std::mutex lock;
    return lock;
}

std::int64_t PTYSession::clampDimension(std::int64_t value) {
    return std::clamp(value, smallestWindowDimension, largestWindowDimension);
}

std::shared_ptr<PTYSession> PTYSession::make(const ShellCommand& command, std::int64_t columns,
                                             std::int64_t rows, ShellEvents events) {
    Terminal terminal = openTerminal(columns, rows);
    pid_t pid = spawn(command, terminal.path);
    auto session =
        std::make_shared<PTYSession>(Passkey(), pid, std::move(terminal.master), terminal.device,
                                     canonicalFolder(command.folder), std::move(events));
    session->queue.sync([&] { session->startSources(); });
    // Held until now so that the terminal has never been without an open slave before the
    // shell's own descriptors and the read source were in place.
    terminal.slave.reset();
    return session;
}

PTYSession::PTYSession(Passkey, pid_t pid, FileDescriptor master, dev_t ttyDevice,
                       std::string folder, ShellEvents events)
    : shellPid(pid), queue(queueLabelPrefix + std::to_string(pid), Executor::sessions()),
      events(std::move(events)), master(std::move(master)), ttyDevice(ttyDevice),
      folder(std::move(folder)) {}

PTYSession::~PTYSession() = default;

pid_t PTYSession::spawn(const ShellCommand& command, const std::string& ttyPath) {
    SpawnFileActions files;
    SpawnAttributes spawn;
    // Opening the terminal by name, in a child that has just become a session leader and without
    // O_NOCTTY, makes it the child's controlling terminal.
    sigset_t emptyMask;
    sigemptyset(&emptyMask);
    sigset_t defaults = catchableSignals();
    int error = firstError({
        ::posix_spawn_file_actions_addopen(&files.actions, 0, ttyPath.c_str(), O_RDWR, 0),
        ::posix_spawn_file_actions_adddup2(&files.actions, 0, 1),
        ::posix_spawn_file_actions_adddup2(&files.actions, 0, 2),
        ::posix_spawn_file_actions_addchdir_np(&files.actions, command.folder.c_str()),
        // Nothing of the agent's reaches the shell but the terminal on 0, 1 and 2.
        ::posix_spawn_file_actions_addclosefrom_np(&files.actions, 3),
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
        throw ShellLaunchError("Couldn\u2019t start " + command.path + ": " + std::strerror(error));
    return child;
}

void PTYSession::startSources() {
    queue.assertCurrent("startSources");
    auto self = shared_from_this();

    readSource = std::make_unique<ReadSource>(queue, master.get());
    readSource->setEventHandler([self] { self->readAvailable(); });
    readSource->setCancelHandler([self] {
        self->readCancelled = true;
        if (!self->masterOpen)
            self->master.reset();
    });
    readSource->activate();

    processSource = std::make_unique<ProcessSource>(queue, shellPid);
    processSource->setEventHandler([self] { self->reapEndedShell(); });
    processSource->activate();

    // A shell that ended before its process source was watching is reaped here.
    queue.async([self] { self->reap(); });

    quietTimer = std::make_unique<TimerSource>(queue);
    quietTimer->setEventHandler([self] { self->checkFolder(); });
    quietTimer->activate();
}

// ---- Output

void PTYSession::readAvailable() {
    queue.assertCurrent("readAvailable");
    if (!masterOpen || readEnded) {
        finishIfDone();
        return;
    }
    enum class Filling { full, wouldBlock, ended };
    while (chunksInFlight < chunksInFlightLimit) {
        // Read straight into the chunk that goes out, so the bytes are never copied here.
        Bytes chunk(readBufferSize);
        std::size_t filled = 0;
        Filling filling = Filling::full;
        while (filled < chunk.size()) {
            ssize_t count = ::read(master.get(), chunk.data() + filled, chunk.size() - filled);
            if (count > 0) {
                filled += static_cast<std::size_t>(count);
                continue;
            }
            filling = count < 0 && (errno == EAGAIN || errno == EINTR) ? Filling::wouldBlock
                                                                       : Filling::ended;
            break;
        }
        if (filled > 0) {
            chunk.resize(filled);
            deliver(std::move(chunk));
        }
        if (filling == Filling::full)
            continue;
        if (filling == Filling::ended) {
            readEnded = true;
            if (readSource)
                readSource->cancel();
        }
        break;
    }
    if (chunksInFlight >= chunksInFlightLimit && !readingPaused && !readEnded) {
        readingPaused = true;
        if (readSource)
            readSource->suspend();
    }
    finishIfDone();
}

void PTYSession::deliver(Bytes chunk) {
    queue.assertCurrent("deliver");
    ++chunksInFlight;
    // The parser only looks at the bytes, so it reads them before they move on; what it found
    // takes effect after the chunk has been handed on.
    std::vector<std::string> reportedFolders = parser.feed(chunk);
    auto self = shared_from_this();
    events.output(std::move(chunk), [self] { self->queue.async([self] { self->acknowledge(); }); });
    folderStep(reportedFolders);
}

void PTYSession::acknowledge() {
    queue.assertCurrent("acknowledge");
    --chunksInFlight;
    if (readingPaused && chunksInFlight < chunksInFlightLimit) {
        readingPaused = false;
        if (readSource)
            readSource->resume();
        readAvailable();
    }
}

// ---- Folder

void PTYSession::folderStep(const std::vector<std::string>& reportedFolders) {
    queue.assertCurrent("folderStep");
    if (!reportedFolders.empty()) {
        reportsFolder = true;
        if (reportedFolders.back() != folder) {
            folder = reportedFolders.back();
            events.folderChanged(folder);
        }
    }
    if (!reportsFolder && quietTimer)
        quietTimer->schedule(std::chrono::steady_clock::now() + quietDelay);
}

void PTYSession::checkFolder() {
    queue.assertCurrent("checkFolder");
    if (finished || reportsFolder)
        return;
    std::optional<std::string> probed = ProcessInfo::currentFolder(shellPid);
    if (!probed || probed->empty() || *probed == folder)
        return;
    folder = std::move(*probed);
    events.folderChanged(folder);
}

std::optional<std::string> PTYSession::currentFolder() {
    return queue.sync([this]() -> std::optional<std::string> {
        if (finished || exitStatus)
            return std::nullopt;
        if (reportsFolder)
            return folder;
        std::optional<std::string> probed = ProcessInfo::currentFolder(shellPid);
        if (probed && !probed->empty())
            return probed;
        return folder;
    });
}

ForegroundProcess PTYSession::foregroundProcess() {
    return queue.sync([this]() -> ForegroundProcess {
        if (!masterOpen || exitStatus)
            return {};
        pid_t group = ::tcgetpgrp(master.get());
        // The shell in the foreground is never busy, whether or not it leads its group.
        if (group < 1 || group == shellPid || group == ::getpgid(shellPid))
            return {};
        std::optional<std::string> groupName = name(group);
        if (!groupName) {
            for (pid_t member : ProcessInfo::processGroupMembers(group)) {
                if (member == group)
                    continue;
                if ((groupName = name(member)))
                    break;
            }
        }
        return {true, std::move(groupName)};
    });
}

std::optional<std::string> PTYSession::name(pid_t pid) {
    return ProcessInfo::name(pid);
}

// ---- Input and size

void PTYSession::write(Bytes data) {
    if (data.empty())
        return;
    auto self = shared_from_this();
    queue.async([self, data = std::move(data)]() mutable {
        if (!self->masterOpen)
            return;
        if (self->pendingInput.empty())
            self->pendingInput = std::move(data);
        else
            self->pendingInput.insert(self->pendingInput.end(), data.begin(), data.end());
        self->flushInput();
    });
}

void PTYSession::flushInput() {
    queue.assertCurrent("flushInput");
    if (!masterOpen)
        return;
    while (pendingOffset < pendingInput.size()) {
        ssize_t count = ::write(master.get(), pendingInput.data() + pendingOffset,
                                pendingInput.size() - pendingOffset);
        if (count > 0) {
            pendingOffset += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN) {
            if (!inputRetryScheduled) {
                inputRetryScheduled = true;
                auto self = shared_from_this();
                queue.asyncAfter(inputRetryDelay, [self] {
                    self->inputRetryScheduled = false;
                    self->flushInput();
                });
            }
            // Keep what is left, but do not let the written part grow without end.
            if (pendingOffset > pendingInput.size() / 2) {
                pendingInput.erase(pendingInput.begin(),
                                   pendingInput.begin() +
                                       static_cast<std::ptrdiff_t>(pendingOffset));
                pendingOffset = 0;
            }
            return;
        }
        break;
    }
    pendingInput.clear();
    pendingOffset = 0;
}

void PTYSession::resize(std::int64_t columns, std::int64_t rows) {
    auto self = shared_from_this();
    queue.async([self, columns, rows] {
        if (!self->masterOpen)
            return;
        winsize size = windowSize(columns, rows);
        ::ioctl(self->master.get(), TIOCSWINSZ, &size);
    });
}

// ---- End

void PTYSession::reap() {
    queue.assertCurrent("reap");
    if (exitStatus)
        return;
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(shellPid, &status, WNOHANG);
    } while (result == -1 && errno == EINTR);
    if (result == shellPid || (result == -1 && errno == ECHILD)) {
        exitStatus = result == shellPid ? status : 0;
        if (processSource)
            processSource->cancel();
        readAvailable();
    }
}

// The process source has fired, so the shell has ended; but a pidfd turns readable as the
// process exits, which can be a moment before waitpid() can collect it. The source fires only
// once, so the reap is tried again shortly until the status is there. This runs only while a
// shell is ending, never while it lives.
void PTYSession::reapEndedShell() {
    queue.assertCurrent("reapEndedShell");
    reap();
    if (exitStatus)
        return;
    auto self = shared_from_this();
    queue.asyncAfter(reapRetryDelay, [self] { self->reapEndedShell(); });
}

void PTYSession::finishIfDone() {
    queue.assertCurrent("finishIfDone");
    if (finished || !exitStatus || (readingPaused && masterOpen))
        return;
    finished = true;
    if (quietTimer)
        quietTimer->cancel();
    closeMaster();
    events.exited(*exitStatus);
}

void PTYSession::closeMaster() {
    queue.assertCurrent("closeMaster");
    if (!masterOpen)
        return;
    masterOpen = false;
    if (readingPaused) {
        readingPaused = false;
        if (readSource)
            readSource->resume();
    }
    pendingInput.clear();
    pendingOffset = 0;
    // The descriptor may only go once the read source no longer waits on it: either its cancel
    // handler has run already, or it closes the descriptor when it runs.
    if (!readCancelled && readSource)
        readSource->cancel();
    else
        master.reset();
}

void PTYSession::close() {
    auto self = shared_from_this();
    queue.async([self] { self->hangUp(); });
}

void PTYSession::hangUp() {
    queue.assertCurrent("close");
    if (closing || finished)
        return;
    closing = true;
    pid_t foreground = masterOpen ? ::tcgetpgrp(master.get()) : -1;
    // Listed while the terminal is still there: processes that survive its hang-up lose it as
    // their controlling terminal and could no longer be found.
    auto leftovers = std::make_shared<std::vector<ProcessHandle>>(leftoverProcesses());
    closeMaster();

    std::vector<pid_t> groups{shellPid};
    if (foreground > 0 && foreground != shellPid)
        groups.push_back(foreground);
    for (pid_t group : groups) {
        ::killpg(group, SIGHUP);
        ::killpg(group, SIGCONT);
    }
    // A reaped shell's process id may belong to someone else by now.
    if (!exitStatus)
        ::kill(shellPid, SIGHUP);

    auto self = shared_from_this();
    queue.asyncAfter(killDelay, [self, leftovers] { self->forceKill(*leftovers); });

    // A shell reaped while its output was held back has no event left to finish it.
    finishIfDone();
}

std::vector<ProcessHandle> PTYSession::leftoverProcesses() const {
    std::vector<ProcessHandle> leftovers;
    if (ttyDevice == 0)
        return leftovers;
    pid_t agent = ::getpid();
    for (pid_t process : ProcessInfo::processesOnTerminal(ttyDevice)) {
        if (process == agent || process == shellPid)
            continue;
        std::optional<ProcessHandle> handle = ProcessHandle::open(process);
        if (!handle)
            continue;
        // The process id could have been passed on between the listing and the pidfd; only a
        // process still on this terminal once it is held is one of ours.
        std::optional<ProcessInfo::Stat> stat = ProcessInfo::stat(process);
        if (stat && stat->terminal == ttyDevice)
            leftovers.push_back(std::move(*handle));
    }
    return leftovers;
}

void PTYSession::forceKill(const std::vector<ProcessHandle>& leftovers) {
    queue.assertCurrent("forceKill");
    if (!exitStatus) {
        ::killpg(shellPid, SIGKILL);
        ::kill(shellPid, SIGKILL);
    }
    for (const ProcessHandle& process : leftovers)
        if (process.exists())
            process.signal(SIGKILL);
}

} // namespace veltro
