#pragma once

#include "platform/ProcessInfo.hpp"
#include "protocol/Bytes.hpp"
#include "sessions/CommandLog.hpp"
#include "sessions/CommandMarkParser.hpp"
#include "sessions/OSC7Parser.hpp"
#include "sessions/ShellEvents.hpp"
#include "sessions/ShellSession.hpp"

#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

class EventLoop;
class LeftoverScan;

// A shell just started on a terminal of its own, with both descriptors the session watches
// already registered with the loop.
struct SpawnedShell {
    pid_t pid = 0;
    asio::posix::stream_descriptor master;
    // The shell's pidfd: readable once the shell has ended.
    asio::posix::stream_descriptor process;
    // The terminal's device number, 0 if unknown.
    dev_t ttyDevice = 0;
    // The folder the shell starts in, links resolved.
    std::string folder;
};

// One shell on its own pseudo-terminal, living on the event loop: every member runs there, and
// so do its events. While the shell runs, the wait for its end holds the session; while chunks
// of its output are unacknowledged, it holds itself; after close() its forced kill holds it. So
// its owner may let go of it at any time.
//
// Its life is one Stage, changed only by moveTo(). close() may come at any point before
// finished: it lists what is left on the terminal, gives the terminal up, hangs up, and
// killDelay later kills whatever survives, and whatever has joined the shell's session since.
// That kill is timed from the hang-up, not from the stages, so it may come after finished.
class PTYSession final : public ShellSession, public std::enable_shared_from_this<PTYSession> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    static constexpr std::chrono::milliseconds quietDelay{300};
    static constexpr std::chrono::seconds killDelay{2};
    static constexpr std::size_t readBufferSize = 65536;
    static constexpr std::int64_t chunksInFlightLimit = 4;
    static constexpr std::int64_t smallestWindowDimension = 1;
    static constexpr std::int64_t largestWindowDimension = 65535;
    static constexpr const char* labelPrefix = "tech.morvane.veltro.terminal-helper.session.";

    // On `loop`, where the shell's descriptors are registered: the session for a spawned shell,
    // watching it already. Its events come in later turns of the loop, never during this call.
    static std::shared_ptr<PTYSession> start(EventLoop& loop, SpawnedShell shell,
                                             ShellEvents events,
                                             std::shared_ptr<LeftoverScan> leftoverScan);

    PTYSession(Passkey, EventLoop& loop, SpawnedShell shell, ShellEvents events,
               std::shared_ptr<LeftoverScan> leftoverScan);
    ~PTYSession() override;
    PTYSession(const PTYSession&) = delete;
    PTYSession& operator=(const PTYSession&) = delete;

    pid_t pid() const override { return shellPid; }
    bool write(Bytes data) override;
    void whenInputDrained(std::function<void()> drained) override;
    void resize(std::int64_t columns, std::int64_t rows) override;
    void signalWindowChange() override;
    std::optional<std::string> currentFolder() override;
    ForegroundProcess foregroundProcess() override;
    std::vector<CommandInfo> commands() const override { return commandLog.commands(); }
    void close() override;

    // Names the session in logs and assertions.
    const std::string& label() const { return label_; }

    static std::int64_t clampDimension(std::int64_t value);

private:
    enum class Stage {
        // The shell runs and the terminal takes input.
        running,
        // close() has been asked while the shell runs: what is on the terminal is being listed,
        // and the terminal, still open, reads on but takes no more input.
        closing,
        // The terminal has been given up and the shell hung up; the kill is due, and the shell
        // is yet to be reaped.
        hungUp,
        // The shell has been reaped; what it left on the terminal is read.
        draining,
        // The shell has been reaped after close() was asked: what it left is read until that
        // is done or the hang-up gives the terminal up, whichever comes first.
        drainingClosed,
        // `exited` has been reported and the terminal given up.
        finished,
    };

    // The only way the stage changes; a change the session's life does not allow is a fault of
    // the program and stops it.
    void moveTo(Stage next);
    static bool allowed(Stage from, Stage to);
    bool shellRuns() const {
        return stage == Stage::running || stage == Stage::closing || stage == Stage::hungUp;
    }
    bool takesInput() const { return stage == Stage::running || stage == Stage::draining; }
    bool isDraining() const { return stage == Stage::draining || stage == Stage::drainingClosed; }

    void readOutput();
    void outputRead(const asio::error_code& error, std::size_t count);
    std::size_t fillChunk(std::size_t filled);
    void drainOutput();
    std::uint8_t* nextBuffer();
    void deliver(std::size_t count);
    void acknowledge();

    void folderStep(const std::vector<std::string>& reportedFolders);
    void markStep(std::int64_t chunkStart);
    void armQuietTimer();
    void outputQuiet(const asio::error_code& error);

    void flushInput();
    void waitUntilWritable();
    bool inputBacklogged() const { return pendingInput.size() - pendingOffset > inputBacklogLimit; }
    void runDrainedWaiters();

    void shellEnded(const asio::error_code& error);
    void reaped(std::int32_t status);
    void finish();
    void giveUpTerminal();
    void hangUp(pid_t foreground, std::vector<ProcessHandle> found);
    void forceKill();
    static void killAll(std::vector<ProcessHandle> processes);

    EventLoop& loop;
    const pid_t shellPid;
    // When the shell started, 0 if unknown: with its pid, it tells the shell's session from a
    // later one led by a process that has been given the same id.
    std::uint64_t shellStartTime = 0;
    const std::string label_;
    ShellEvents events;
    // Both descriptors are owned here and closed exactly once.
    asio::posix::stream_descriptor master;
    asio::posix::stream_descriptor process;
    const dev_t ttyDevice;
    std::shared_ptr<LeftoverScan> leftoverScan;

    Stage stage = Stage::running;
    // The raw wait status, once the shell has been reaped.
    std::int32_t exitStatus = 0;

    // Output: a read is issued only while fewer than chunksInFlightLimit chunks wait for their
    // `sent`, so a read and the chunks in flight never need more than that many buffers. They
    // are made on first use and not zero-filled; `sent` comes in chunk order, so they form a
    // ring starting at the oldest chunk in flight.
    std::array<std::unique_ptr<std::uint8_t[]>, chunksInFlightLimit> buffers;
    std::size_t oldestChunk = 0;
    std::int64_t chunksInFlight = 0;
    std::shared_ptr<PTYSession> heldForChunks;
    // An asynchronous read of the terminal is under way; it completes, if only as cancelled,
    // whatever the stage.
    bool reading = false;
    // The terminal has nothing more to give (end of file or EIO). Not a stage: a shell may
    // close its terminal and run on, and a reaped shell's background job may keep it open.
    bool readEnded = false;
    // A chunk is being handed on: its acknowledgement, if it comes within, must not start a read
    // that would overtake the folder scan of that chunk.
    bool delivering = false;

    // Unwritten input starts at pendingOffset, so that a terminal taking a large paste in small
    // parts does not move the rest forward after every part.
    Bytes pendingInput;
    std::size_t pendingOffset = 0;
    // A wait for the terminal to take input is under way.
    bool waitingWritable = false;
    std::vector<std::function<void()>> drainedWaiters;

    OSC7Parser parser;
    // The shell has reported its folder itself, so it is no longer probed.
    bool reportsFolder = false;
    std::string folder;
    asio::steady_timer quietTimer;
    // The quiet timer's wait is under way.
    bool quietTimerArmed = false;
    std::chrono::steady_clock::time_point lastOutput;

    // The offset of the next output byte: how many the terminal has given so far.
    std::int64_t produced = 0;
    // Only for a shell whose events want marks.
    std::unique_ptr<CommandMarkParser> markParser;
    // Reused for every chunk, so that a chunk without marks costs no allocation.
    std::vector<CommandMarkParser::Mark> foundMarks;
    CommandLog commandLog;

    asio::steady_timer killTimer;
    std::vector<ProcessHandle> leftovers;
};

} // namespace veltro
