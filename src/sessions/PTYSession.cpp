#include "sessions/PTYSession.hpp"

#include "platform/EventLoop.hpp"
#include "platform/StopProgram.hpp"
#include "sessions/LeftoverScan.hpp"

#include <asio/buffer.hpp>

#include <signal.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace veltro {

namespace {

// Collects an ended shell, waiting until the kernel lets it; 0 when someone else already did.
std::int32_t collect(pid_t pid) {
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(pid, &status, 0);
    } while (result == -1 && errno == EINTR);
    return result == pid ? status : 0;
}

} // namespace

std::shared_ptr<PTYSession> PTYSession::start(EventLoop& loop, SpawnedShell shell,
                                              ShellEvents events,
                                              std::shared_ptr<LeftoverScan> leftoverScan) {
    auto session = std::make_shared<PTYSession>(Passkey(), loop, std::move(shell),
                                                std::move(events), std::move(leftoverScan));
    // Read while the shell cannot have been reaped, so that it names the shell for good.
    if (std::optional<ProcessInfo::Stat> stat = ProcessInfo::stat(session->shellPid))
        session->shellStartTime = stat->startTime;
    // The wait holds the session for as long as the shell runs.
    session->process.async_wait(
        asio::posix::stream_descriptor::wait_read,
        [session](const asio::error_code& error) { session->shellEnded(error); });
    session->readOutput();
    return session;
}

PTYSession::PTYSession(Passkey, EventLoop& loop, SpawnedShell shell, ShellEvents events,
                       std::shared_ptr<LeftoverScan> leftoverScan)
    : loop(loop), shellPid(shell.pid), label_(labelPrefix + std::to_string(shell.pid)),
      events(std::move(events)), master(std::move(shell.master)), process(std::move(shell.process)),
      ttyDevice(shell.ttyDevice), leftoverScan(std::move(leftoverScan)),
      folder(std::move(shell.folder)), quietTimer(loop.context()), killTimer(loop.context()) {
    if (this->events.wantsMarks())
        markParser = std::make_unique<CommandMarkParser>();
}

PTYSession::~PTYSession() = default;

std::int64_t PTYSession::clampDimension(std::int64_t value) {
    return std::clamp(value, smallestWindowDimension, largestWindowDimension);
}

bool PTYSession::allowed(Stage from, Stage to) {
    switch (from) {
    case Stage::running:
        return to == Stage::closing || to == Stage::draining;
    case Stage::closing:
        return to == Stage::hungUp || to == Stage::drainingClosed;
    case Stage::hungUp:
        return to == Stage::drainingClosed;
    case Stage::draining:
        return to == Stage::drainingClosed || to == Stage::finished;
    case Stage::drainingClosed:
        return to == Stage::finished;
    case Stage::finished:
        return false;
    }
    return false;
}

void PTYSession::moveTo(Stage next) {
    if (!allowed(stage, next))
        stopProgram(label_ + ": no move from stage " + std::to_string(static_cast<int>(stage)) +
                    " to stage " + std::to_string(static_cast<int>(next)));
    stage = next;
}

// ---- Output

void PTYSession::readOutput() {
    if (isDraining()) {
        drainOutput();
        return;
    }
    if (!shellRuns() || reading || readEnded || !master.is_open() ||
        chunksInFlight >= chunksInFlightLimit)
        return;
    reading = true;
    master.async_read_some(
        asio::buffer(nextBuffer(), readBufferSize),
        [self = shared_from_this()](const asio::error_code& error, std::size_t count) {
            self->outputRead(error, count);
        });
}

void PTYSession::outputRead(const asio::error_code& error, std::size_t count) {
    reading = false;
    if (count > 0)
        deliver(fillChunk(count));
    else if (error != asio::error::operation_aborted)
        // End of file, or EIO once nothing holds the terminal open: nothing more will come.
        readEnded = true;
    readOutput();
}

// Reads on into the rest of the next chunk's buffer until it is full or nothing is waiting, so
// that fast output travels in large chunks and slow output without delay.
std::size_t PTYSession::fillChunk(std::size_t filled) {
    std::uint8_t* buffer = nextBuffer();
    while (master.is_open() && filled < readBufferSize) {
        ssize_t count = ::read(master.native_handle(), buffer + filled, readBufferSize - filled);
        if (count > 0) {
            filled += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count == 0 || errno != EAGAIN)
            readEnded = true;
        break;
    }
    return filled;
}

// The shell has been reaped: what it left on the terminal is read up to the first moment
// nothing is waiting, without waiting for an end of file that a background job holding the
// terminal would put off.
void PTYSession::drainOutput() {
    // A read still under way completes first, so that nothing read here overtakes its bytes.
    if (reading)
        return;
    while (master.is_open() && !readEnded) {
        if (chunksInFlight >= chunksInFlightLimit)
            return;
        std::size_t filled = fillChunk(0);
        if (filled == 0)
            break;
        deliver(filled);
    }
    finish();
}

std::uint8_t* PTYSession::nextBuffer() {
    auto& buffer =
        buffers[(oldestChunk + static_cast<std::size_t>(chunksInFlight)) % buffers.size()];
    if (!buffer)
        buffer = std::make_unique_for_overwrite<std::uint8_t[]>(readBufferSize);
    return buffer.get();
}

void PTYSession::deliver(std::size_t count) {
    ByteView chunk(nextBuffer(), count);
    // Scanned before it is handed on, since its buffer may be read into again once it has been
    // sent; what the scan found takes effect after the chunk.
    std::vector<std::string> reportedFolders = parser.feed(chunk);
    if (markParser)
        markParser->feed(chunk, foundMarks);
    std::int64_t chunkStart = std::exchange(produced, produced + static_cast<std::int64_t>(count));
    if (chunksInFlight++ == 0)
        heldForChunks = shared_from_this();
    delivering = true;
    events.output(chunk, [this] { acknowledge(); });
    delivering = false;
    folderStep(reportedFolders);
    if (!foundMarks.empty())
        markStep(chunkStart);
}

void PTYSession::acknowledge() {
    oldestChunk = (oldestChunk + 1) % buffers.size();
    // The last chunk in flight lets go of the session, once this call is over.
    std::shared_ptr<PTYSession> keep = --chunksInFlight == 0 ? std::move(heldForChunks) : nullptr;
    // Acknowledged while it is handed on, the chunk's reader goes on by itself.
    if (!delivering)
        readOutput();
}

// ---- Command marks

void PTYSession::markStep(std::int64_t chunkStart) {
    auto now = std::chrono::steady_clock::now();
    for (CommandMarkParser::Mark& mark : foundMarks) {
        std::int64_t offset = chunkStart + static_cast<std::int64_t>(mark.end);
        const CommandInfo* command = commandLog.take(mark, offset, now);
        if (!command)
            continue;
        if (mark.kind == CommandMarkParser::Kind::commandStart) {
            if (events.commandStarted)
                events.commandStarted(offset, command->commandLine);
        } else if (events.commandFinished) {
            events.commandFinished(offset, command->exitCode, command->milliseconds.value_or(0));
        }
    }
    foundMarks.clear();
}

// ---- Folder

void PTYSession::folderStep(const std::vector<std::string>& reportedFolders) {
    if (!reportedFolders.empty()) {
        reportsFolder = true;
        if (reportedFolders.back() != folder) {
            folder = reportedFolders.back();
            events.folderChanged(folder);
        }
    }
    if (reportsFolder)
        return;
    // The timer is not moved for every chunk: when it fires, it waits out what came meanwhile.
    lastOutput = std::chrono::steady_clock::now();
    if (!quietTimerArmed)
        armQuietTimer();
}

void PTYSession::armQuietTimer() {
    quietTimerArmed = true;
    quietTimer.expires_at(lastOutput + quietDelay);
    quietTimer.async_wait(
        [self = shared_from_this()](const asio::error_code& error) { self->outputQuiet(error); });
}

void PTYSession::outputQuiet(const asio::error_code& error) {
    quietTimerArmed = false;
    if (error || !shellRuns() || reportsFolder)
        return;
    if (std::chrono::steady_clock::now() < lastOutput + quietDelay) {
        armQuietTimer();
        return;
    }
    std::optional<std::string> probed = ProcessInfo::currentFolder(shellPid);
    if (!probed || probed->empty() || *probed == folder)
        return;
    folder = std::move(*probed);
    events.folderChanged(folder);
}

std::optional<std::string> PTYSession::currentFolder() {
    if (!shellRuns())
        return std::nullopt;
    if (reportsFolder)
        return folder;
    std::optional<std::string> probed = ProcessInfo::currentFolder(shellPid);
    if (probed && !probed->empty())
        return probed;
    return folder;
}

ForegroundProcess PTYSession::foregroundProcess() {
    if (!shellRuns() || !master.is_open())
        return {};
    pid_t group = ::tcgetpgrp(master.native_handle());
    // The shell in the foreground is never busy, whether or not it leads its group.
    if (group < 1 || group == shellPid || group == ::getpgid(shellPid))
        return {};
    std::optional<std::string> name = ProcessInfo::name(group);
    if (!name) {
        // A group whose leader has gone is named by its first remaining member.
        for (pid_t member : ProcessInfo::processGroupMembers(group)) {
            if (member != group && (name = ProcessInfo::name(member)))
                break;
        }
    }
    return {true, std::move(name)};
}

// ---- Input and size

bool PTYSession::write(Bytes data) {
    if (data.empty() || !takesInput() || !master.is_open())
        return true;
    if (pendingInput.empty())
        pendingInput = std::move(data);
    else
        pendingInput.insert(pendingInput.end(), data.begin(), data.end());
    if (!waitingWritable)
        flushInput();
    return !inputBacklogged();
}

void PTYSession::flushInput() {
    while (master.is_open() && pendingOffset < pendingInput.size()) {
        ssize_t count = ::write(master.native_handle(), pendingInput.data() + pendingOffset,
                                pendingInput.size() - pendingOffset);
        if (count > 0) {
            pendingOffset += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno == EAGAIN) {
            waitUntilWritable();
            // Keep what is left, but do not let the written part grow without end.
            if (pendingOffset > pendingInput.size() / 2) {
                pendingInput.erase(pendingInput.begin(),
                                   pendingInput.begin() +
                                       static_cast<std::ptrdiff_t>(pendingOffset));
                pendingOffset = 0;
            }
            break;
        }
        // The terminal takes no input any more: what is queued can never be written.
        pendingOffset = pendingInput.size();
    }
    if (pendingOffset == pendingInput.size() || !master.is_open()) {
        pendingInput.clear();
        pendingOffset = 0;
    }
    if (!inputBacklogged())
        runDrainedWaiters();
}

void PTYSession::waitUntilWritable() {
    if (waitingWritable)
        return;
    waitingWritable = true;
    master.async_wait(asio::posix::stream_descriptor::wait_write,
                      [self = shared_from_this()](const asio::error_code&) {
                          self->waitingWritable = false;
                          self->flushInput();
                      });
}

void PTYSession::whenInputDrained(std::function<void()> drained) {
    if (inputBacklogged())
        drainedWaiters.push_back(std::move(drained));
    else
        drained();
}

void PTYSession::runDrainedWaiters() {
    for (auto& drained : std::exchange(drainedWaiters, {}))
        drained();
}

void PTYSession::resize(std::int64_t columns, std::int64_t rows) {
    if (!takesInput() || !master.is_open())
        return;
    winsize size{};
    size.ws_row = static_cast<unsigned short>(clampDimension(rows));
    size.ws_col = static_cast<unsigned short>(clampDimension(columns));
    // Fails only once the terminal is gone, which the output pump reports as the shell's end.
    (void)::ioctl(master.native_handle(), TIOCSWINSZ, &size);
}

void PTYSession::signalWindowChange() {
    if (!takesInput() || !master.is_open())
        return;
    pid_t group = ::tcgetpgrp(master.native_handle());
    // No group in front (the shell is ending) leaves nobody to redraw. The group may also end
    // between the two calls; a signal that finds nobody is as good as delivered.
    if (group > 0)
        ::kill(-group, SIGWINCH);
}

// ---- End

void PTYSession::shellEnded(const asio::error_code& error) {
    if (error == asio::error::operation_aborted)
        return;
    if (error)
        stopProgram(label_ + ": waiting for the end of the shell failed: " + error.message());
    int status = 0;
    pid_t result = 0;
    do {
        result = ::waitpid(shellPid, &status, WNOHANG);
    } while (result == -1 && errno == EINTR);
    if (result == 0) {
        // The pidfd turns readable as the shell exits, which can be a moment before waitpid()
        // can collect it; waiting for that on the worker takes no longer than that moment.
        loop.offload(
            [pid = shellPid] { return collect(pid); },
            [self = shared_from_this()](std::int32_t collected) { self->reaped(collected); });
        return;
    }
    // Anything but the shell's own status means someone else collected it.
    reaped(result == shellPid ? status : 0);
}

void PTYSession::reaped(std::int32_t status) {
    exitStatus = status;
    moveTo(stage == Stage::running ? Stage::draining : Stage::drainingClosed);
    asio::error_code ignored;
    process.close(ignored);
    // A read still waiting would wait for good while a background job holds the terminal open;
    // cancelled, it completes, and the drain goes on from there.
    if (reading)
        master.cancel(ignored);
    else
        drainOutput();
}

void PTYSession::finish() {
    moveTo(Stage::finished);
    quietTimer.cancel();
    giveUpTerminal();
    events.exited(exitStatus);
}

void PTYSession::giveUpTerminal() {
    if (!master.is_open())
        return;
    asio::error_code ignored;
    // A read or a wait still under way completes as cancelled.
    master.close(ignored);
    pendingInput = Bytes();
    pendingOffset = 0;
    runDrainedWaiters();
}

void PTYSession::close() {
    if (stage != Stage::running && stage != Stage::draining)
        return;
    moveTo(stage == Stage::running ? Stage::closing : Stage::drainingClosed);
    pid_t foreground = master.is_open() ? ::tcgetpgrp(master.native_handle()) : -1;
    // Listed while the terminal is still there: processes that survive its hang-up lose it.
    leftoverScan->request(
        {shellPid, shellStartTime}, {shellPid, ttyDevice},
        [self = shared_from_this(), foreground](std::vector<ProcessHandle> found) {
            self->hangUp(foreground, std::move(found));
        });
}

void PTYSession::hangUp(pid_t foreground, std::vector<ProcessHandle> found) {
    giveUpTerminal();
    // A group that has ended already (ESRCH) needs no hang-up.
    auto hangUpGroup = [](pid_t group) {
        (void)::killpg(group, SIGHUP);
        (void)::killpg(group, SIGCONT);
    };
    hangUpGroup(shellPid);
    if (foreground > 0 && foreground != shellPid)
        hangUpGroup(foreground);
    // A reaped shell's process id may belong to someone else by now.
    if (stage == Stage::closing) {
        (void)::kill(shellPid, SIGHUP); // Not reaped yet, so still ours even if it has ended.
        moveTo(Stage::hungUp);
    }
    leftovers = std::move(found);
    killTimer.expires_after(killDelay);
    killTimer.async_wait(
        [self = shared_from_this()](const asio::error_code&) { self->forceKill(); });
    // A shell reaped while its output was held back has nothing left to wait for.
    if (stage == Stage::drainingClosed)
        finish();
}

void PTYSession::forceKill() {
    if (shellRuns()) {
        // The group may have ended and the shell may be a zombie already: nothing left to kill.
        (void)::killpg(shellPid, SIGKILL);
        (void)::kill(shellPid, SIGKILL);
    }
    killAll(std::exchange(leftovers, {}));
    // What was forked since the listing, into process groups of its own, is still in the shell's
    // session, which outlives the hang-up. Only the session ties it to the shell now: the
    // terminal's device number may already belong to another shell's terminal.
    leftoverScan->request({shellPid, shellStartTime}, {shellPid, 0},
                          [self = shared_from_this()](std::vector<ProcessHandle> found) {
                              killAll(std::move(found));
                          });
}

void PTYSession::killAll(std::vector<ProcessHandle> processes) {
    // Those held by a pidfd go first and give their descriptors back, since each of the others
    // needs one to read its start time.
    for (const ProcessHandle& held : processes)
        if (held.holdsDescriptor())
            held.signal(SIGKILL);
    std::erase_if(processes, [](const ProcessHandle& held) { return held.holdsDescriptor(); });
    for (const ProcessHandle& held : processes)
        held.signal(SIGKILL);
}

} // namespace veltro
