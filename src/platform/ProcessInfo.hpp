#pragma once

#include "platform/FileDescriptor.hpp"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltro {

// What the kernel tells about other processes, read from /proc. Every question may be asked
// from any thread; a process that is gone or unreadable simply gives no answer.
namespace ProcessInfo {

// The fields of /proc/PID/stat that the system uses.
struct Stat {
    pid_t processGroup = 0;
    pid_t session = 0;
    // The controlling terminal's device number, equal to st_rdev of the terminal; 0 for none.
    std::uint64_t terminal = 0;
    // The foreground process group of the controlling terminal, -1 without one.
    pid_t terminalProcessGroup = -1;
    // When the process started, in clock ticks since boot: with the process id, it names one
    // process for good, since an id is passed on only to a process started later.
    std::uint64_t startTime = 0;
};

std::optional<Stat> stat(pid_t pid);

// The process's current directory. Absent when it cannot be read, is empty, or names a folder
// that has been removed.
std::optional<std::string> currentFolder(pid_t pid);

// The process's short command name (not a path); absent when unreadable or empty.
std::optional<std::string> name(pid_t pid);

// The members of a process group, in the kernel's order.
std::vector<pid_t> processGroupMembers(pid_t processGroup);

// What ties processes to one shell: the shell's session, which they keep after the terminal has
// been hung up, and its controlling terminal (0: none).
struct Attachment {
    pid_t session = 0;
    std::uint64_t terminal = 0;

    bool holds(const Stat& stat) const {
        return stat.session == session || (terminal != 0 && stat.terminal == terminal);
    }
};

struct Listed {
    pid_t pid = 0;
    Stat stat;
};

// The processes each attachment holds, as the listing saw them, in the kernel's order, found in
// one pass over /proc however many shells are asked about.
std::vector<std::vector<Listed>> attachedProcesses(std::span<const Attachment> attachments);

} // namespace ProcessInfo

// Holds one process, so that a signal reaches that very process and never a later one that
// happens to get its process id: through a pidfd, or, for a process found by a listing while no
// descriptor is left for a pidfd, through the start time the listing saw, checked before each
// signal.
class ProcessHandle {
public:
    // Absent when the process no longer exists.
    static std::optional<ProcessHandle> open(pid_t pid);
    // The process a listing saw; absent when it has ended or its id has been passed on since.
    static std::optional<ProcessHandle> open(const ProcessInfo::Listed& seen);

    pid_t pid() const { return pid_; }
    // Whether a pidfd holds the process; otherwise each signal costs a read of /proc, which
    // needs a free descriptor.
    bool holdsDescriptor() const { return bool(descriptor_); }

    // Whether the signal was delivered; signal 0 tests whether the process still exists.
    bool signal(int signal) const;
    bool exists() const { return signal(0); }

private:
    ProcessHandle(pid_t pid, FileDescriptor descriptor, std::uint64_t startTime)
        : pid_(pid), descriptor_(std::move(descriptor)), startTime_(startTime) {}

    pid_t pid_;
    FileDescriptor descriptor_;
    std::uint64_t startTime_;
};

} // namespace veltro
