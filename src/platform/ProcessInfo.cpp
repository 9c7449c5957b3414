#include "platform/ProcessInfo.hpp"

#include "platform/UTF8.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

// glibc 2.36 declares these without C linkage guards.
extern "C" {
#include <sys/pidfd.h>
}

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <memory>
#include <utility>

namespace veltro {

namespace {

std::string procPath(pid_t pid, std::string_view entry) {
    std::string path = "/proc/" + std::to_string(pid);
    path += '/';
    path += entry;
    return path;
}

// Reads a whole file; /proc files report no size, so this reads until end of file.
std::optional<std::string> readWhole(const std::string& path) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file)
        return std::nullopt;
    std::string contents;
    char buffer[4096];
    for (;;) {
        ssize_t count = ::read(file.get(), buffer, sizeof buffer);
        if (count > 0) {
            contents.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count == 0)
            return contents;
        if (errno != EINTR)
            return std::nullopt;
    }
}

std::optional<std::string> readLink(const std::string& path) {
    std::string target(256, '\0');
    for (;;) {
        ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0)
            return std::nullopt;
        if (static_cast<std::size_t>(length) < target.size()) {
            target.resize(static_cast<std::size_t>(length));
            return target;
        }
        // The link may have been cut short; try again with more room.
        target.resize(target.size() * 2);
    }
}

// Reads the next number separated by spaces, moving `rest` past it.
template <class Number> bool nextField(std::string_view& rest, Number& value) {
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    auto [end, error] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
    if (error != std::errc())
        return false;
    rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    return true;
}

bool skipField(std::string_view& rest) {
    while (!rest.empty() && rest.front() == ' ')
        rest.remove_prefix(1);
    if (rest.empty())
        return false;
    rest.remove_prefix(std::min(rest.find(' '), rest.size()));
    return true;
}

// The command name sits in parentheses and may hold anything, parentheses and newlines
// included, so the fixed fields are counted from the last closing parenthesis.
std::optional<ProcessInfo::Stat> parseStat(std::string_view contents) {
    std::size_t close = contents.rfind(')');
    if (close == std::string_view::npos)
        return std::nullopt;
    std::string_view rest = contents.substr(close + 1);
    ProcessInfo::Stat stat;
    pid_t parent = 0;
    std::int64_t terminal = 0;
    if (!skipField(rest) || !nextField(rest, parent) || !nextField(rest, stat.processGroup) ||
        !nextField(rest, stat.session) || !nextField(rest, terminal) ||
        !nextField(rest, stat.terminalProcessGroup))
        return std::nullopt;
    // From flags (the 9th field) to itrealvalue (the 21st), then the start time.
    for (int field = 9; field <= 21; ++field)
        if (!skipField(rest))
            return std::nullopt;
    if (!nextField(rest, stat.startTime))
        return std::nullopt;
    // The kernel prints the device number as a signed int.
    stat.terminal = static_cast<std::uint32_t>(terminal);
    return stat;
}

struct DirectoryCloser {
    // A listing only read from: closing it has nothing to report.
    void operator()(DIR* directory) const { (void)::closedir(directory); }
};

// Every process's stat record, in the kernel's order, handed to `visit`.
template <class Visit> void forEachProcess(Visit&& visit) {
    std::unique_ptr<DIR, DirectoryCloser> proc(::opendir("/proc"));
    if (!proc)
        return;
    while (const dirent* entry = ::readdir(proc.get())) {
        pid_t pid = 0;
        std::string_view name(entry->d_name);
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (error != std::errc() || end != name.data() + name.size() || pid <= 0)
            continue;
        if (auto stat = ProcessInfo::stat(pid))
            visit(pid, *stat);
    }
}

} // namespace

std::optional<ProcessInfo::Stat> ProcessInfo::stat(pid_t pid) {
    auto contents = readWhole(procPath(pid, "stat"));
    if (!contents)
        return std::nullopt;
    return parseStat(*contents);
}

std::optional<std::string> ProcessInfo::currentFolder(pid_t pid) {
    std::string link = procPath(pid, "cwd");
    auto target = readLink(link);
    if (!target || target->empty())
        return std::nullopt;
    // The kernel marks a removed folder with this suffix, but a live folder may carry the same
    // name; only a folder without links is gone.
    constexpr std::string_view removedMark = " (deleted)";
    if (target->ends_with(removedMark)) {
        struct stat status {};
        if (::stat(link.c_str(), &status) != 0 || status.st_nlink == 0)
            return std::nullopt;
    }
    return replacingInvalidUTF8(*target);
}

std::optional<std::string> ProcessInfo::name(pid_t pid) {
    auto contents = readWhole(procPath(pid, "comm"));
    if (!contents)
        return std::nullopt;
    if (contents->ends_with('\n'))
        contents->pop_back();
    if (contents->empty())
        return std::nullopt;
    return replacingInvalidUTF8(*contents);
}

std::vector<pid_t> ProcessInfo::processGroupMembers(pid_t processGroup) {
    std::vector<pid_t> members;
    forEachProcess([&](pid_t pid, const Stat& stat) {
        if (stat.processGroup == processGroup)
            members.push_back(pid);
    });
    return members;
}

std::vector<std::vector<ProcessInfo::Listed>>
ProcessInfo::attachedProcesses(std::span<const Attachment> attachments) {
    std::vector<std::vector<Listed>> processes(attachments.size());
    forEachProcess([&](pid_t pid, const Stat& stat) {
        for (std::size_t index = 0; index < attachments.size(); ++index)
            if (attachments[index].holds(stat))
                processes[index].push_back({pid, stat});
    });
    return processes;
}

std::optional<ProcessHandle> ProcessHandle::open(pid_t pid) {
    if (pid <= 0)
        return std::nullopt;
    FileDescriptor descriptor(::pidfd_open(pid, 0));
    if (!descriptor)
        return std::nullopt;
    return ProcessHandle(pid, std::move(descriptor), 0);
}

std::optional<ProcessHandle> ProcessHandle::open(const ProcessInfo::Listed& seen) {
    if (seen.pid <= 0)
        return std::nullopt;
    FileDescriptor descriptor(::pidfd_open(seen.pid, 0));
    if (!descriptor) {
        if (errno != EMFILE && errno != ENFILE)
            return std::nullopt;
        return ProcessHandle(seen.pid, {}, seen.stat.startTime);
    }
    // The id could have been passed on between the listing and the pidfd.
    std::optional<ProcessInfo::Stat> now = ProcessInfo::stat(seen.pid);
    if (!now)
        // Ended, or the pidfd took the last descriptor that the read needed: the start time
        // tells which, at each signal.
        return ProcessHandle(seen.pid, {}, seen.stat.startTime);
    if (now->startTime != seen.stat.startTime)
        return std::nullopt;
    return ProcessHandle(seen.pid, std::move(descriptor), seen.stat.startTime);
}

bool ProcessHandle::signal(int signal) const {
    if (descriptor_)
        return ::pidfd_send_signal(descriptor_.get(), signal, nullptr, 0) == 0;
    // Between this check and the kill, the process would have to end, be collected and have its
    // id passed on through the whole range of ids: a window too short for that.
    std::optional<ProcessInfo::Stat> now = ProcessInfo::stat(pid_);
    return now && now->startTime == startTime_ && ::kill(pid_, signal) == 0;
}

} // namespace veltro
