#pragma once

#include "platform/FileDescriptor.hpp"
#include "platform/ProcessSource.hpp"
#include "platform/ReadSource.hpp"
#include "platform/SerialQueue.hpp"
#include "platform/TimerSource.hpp"
#include "protocol/Bytes.hpp"
#include "sessions/OSC7Parser.hpp"
#include "sessions/ShellCommand.hpp"
#include "sessions/ShellEvents.hpp"
#include "sessions/ShellSession.hpp"

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

class ProcessHandle;

// One shell on its own pseudo-terminal. All state past construction lives on the session's
// serial queue; the handlers of its three sources and every piece of work it queues hold the
// session, so it lives until its sources are cancelled and that work has run, even after its
// owner has let go of it.
class PTYSession final : public ShellSession, public std::enable_shared_from_this<PTYSession> {
    struct Passkey {
        explicit Passkey() = default;
    };

public:
    static constexpr std::chrono::milliseconds quietDelay{300};
    static constexpr std::chrono::seconds killDelay{2};
    static constexpr std::chrono::milliseconds inputRetryDelay{10};
    // How soon an ended shell that waitpid() cannot collect yet is tried again.
    static constexpr std::chrono::milliseconds reapRetryDelay{1};
    static constexpr std::size_t readBufferSize = 65536;
    static constexpr std::int64_t chunksInFlightLimit = 4;
    static constexpr std::int64_t smallestWindowDimension = 1;
    static constexpr std::int64_t largestWindowDimension = 65535;
    static constexpr const char* queueLabelPrefix = "tech.morvane.veltro.terminal-helper.session.";

    // Every openpty of the process happens under this lock, and nothing else does.
    static std::mutex& openLock();

    // Opens a terminal of the given size (clamped), starts the command on it and starts the
    // session's sources; events may arrive before this returns. Throws ShellLaunchError, having
    // released everything it had opened and delivered no event.
    static std::shared_ptr<PTYSession> make(const ShellCommand& command, std::int64_t columns,
                                            std::int64_t rows, ShellEvents events);

    PTYSession(Passkey, pid_t pid, FileDescriptor master, dev_t ttyDevice, std::string folder,
               ShellEvents events);
    ~PTYSession() override;
    PTYSession(const PTYSession&) = delete;
    PTYSession& operator=(const PTYSession&) = delete;

    pid_t pid() const override { return shellPid; }
    void write(Bytes data) override;
    void resize(std::int64_t columns, std::int64_t rows) override;
    std::optional<std::string> currentFolder() override;
    ForegroundProcess foregroundProcess() override;
    void close() override;

    const std::string& queueLabel() const { return queue.label(); }

    static std::int64_t clampDimension(std::int64_t value);

private:
    static pid_t spawn(const ShellCommand& command, const std::string& ttyPath);

    void startSources();
    void readAvailable();
    void deliver(Bytes chunk);
    void acknowledge();
    void folderStep(const std::vector<std::string>& reportedFolders);
    void checkFolder();
    void flushInput();
    void reap();
    void reapEndedShell();
    void finishIfDone();
    void closeMaster();
    void hangUp();
    void forceKill(const std::vector<ProcessHandle>& leftovers);
    std::vector<ProcessHandle> leftoverProcesses() const;

    static std::optional<std::string> name(pid_t pid);

    const pid_t shellPid;
    SerialQueue queue;
    ShellEvents events;
    // Closed exactly once, and only after the read source's cancellation has completed.
    FileDescriptor master;
    const dev_t ttyDevice;
    bool masterOpen = true;
    std::unique_ptr<ReadSource> readSource;
    bool readingPaused = false;
    bool readEnded = false;
    std::int64_t chunksInFlight = 0;
    bool readCancelled = false;
    // Unwritten input starts at pendingOffset, so that a terminal taking a large paste in small
    // parts does not move the rest forward after every part.
    Bytes pendingInput;
    std::size_t pendingOffset = 0;
    bool inputRetryScheduled = false;
    std::unique_ptr<ProcessSource> processSource;
    std::unique_ptr<TimerSource> quietTimer;
    std::optional<std::int32_t> exitStatus;
    bool finished = false;
    bool closing = false;
    OSC7Parser parser;
    bool reportsFolder = false;
    std::string folder;
};

} // namespace veltro
