#include "ipc/PeerIdentity.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace veltro::ipc {

namespace {

// Debian 12's headers predate it; the kernel has had it since 6.5.
constexpr int peerPidfdOption = 77;

// A .flatpak-info is a few hundred bytes; anything far larger is not one.
constexpr std::size_t flatpakInfoLimit = 1024 * 1024;

std::string_view trimmed(std::string_view text) {
    auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos)
        return {};
    auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool isAlive(int pidfd) {
    return ::syscall(SYS_pidfd_send_signal, pidfd, 0, nullptr, 0) == 0;
}

// Reads a regular file whole, refusing symbolic links: a link inside the sandbox would be
// resolved against our root, not the peer's.
std::optional<std::string> readRegularFile(int folder, const char* name, int& error) {
    FileDescriptor file(::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!file) {
        error = errno;
        return std::nullopt;
    }
    struct stat status {};
    if (::fstat(file.get(), &status) != 0 || !S_ISREG(status.st_mode)) {
        error = EINVAL;
        return std::nullopt;
    }
    std::string text;
    char chunk[4096];
    for (;;) {
        ssize_t count = ::read(file.get(), chunk, sizeof chunk);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0) {
            error = errno;
            return std::nullopt;
        }
        if (count == 0)
            return text;
        text.append(chunk, static_cast<std::size_t>(count));
        if (text.size() > flatpakInfoLimit) {
            error = EFBIG;
            return std::nullopt;
        }
    }
}

} // namespace

std::optional<PeerCredentials> PeerCredentials::of(int socket) {
    struct ucred credentials {};
    socklen_t size = sizeof credentials;
    if (::getsockopt(socket, SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return std::nullopt;
    PeerCredentials result;
    result.pid = credentials.pid;
    result.uid = credentials.uid;
    result.gid = credentials.gid;
    int pidfd = -1;
    size = sizeof pidfd;
    if (::getsockopt(socket, SOL_SOCKET, peerPidfdOption, &pidfd, &size) == 0 && pidfd >= 0)
        result.pidfd.reset(pidfd);
    return result;
}

std::optional<std::string> flatpakApplicationID(std::string_view keyFile) {
    bool inApplication = false;
    while (!keyFile.empty()) {
        auto end = keyFile.find('\n');
        std::string_view line = trimmed(keyFile.substr(0, end));
        keyFile = end == std::string_view::npos ? std::string_view{} : keyFile.substr(end + 1);
        if (line.empty() || line.front() == '#')
            continue;
        if (line.front() == '[') {
            inApplication = line == "[Application]";
            continue;
        }
        auto equals = line.find('=');
        if (!inApplication || equals == std::string_view::npos)
            continue;
        if (trimmed(line.substr(0, equals)) != "name")
            continue;
        std::string_view name = trimmed(line.substr(equals + 1));
        if (name.empty())
            return std::nullopt;
        return std::string(name);
    }
    return std::nullopt;
}

PeerIdentity PeerIdentity::of(const std::string& declared, pid_t pid, int pidfd,
                              const std::string& procFolder) {
    std::string rootPath = procFolder + "/" + std::to_string(pid) + "/root";
    FileDescriptor root(::open(rootPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!root)
        return {std::nullopt,
                "its root folder " + rootPath + " cannot be opened: " + std::strerror(errno)};
    int error = 0;
    std::optional<std::string> info = readRegularFile(root.get(), ".flatpak-info", error);
    // The pid could have been recycled between the connect and the open; only a pidfd that
    // still refers to a live process proves that what was read is the peer's.
    if (pidfd >= 0 && !isAlive(pidfd))
        return {std::nullopt, "it ended before its sandbox could be checked"};
    if (!info && error == ENOENT)
        return {declared, {}};
    if (!info)
        return {std::nullopt,
                "its .flatpak-info cannot be read: " + std::string(std::strerror(error))};
    std::optional<std::string> application = flatpakApplicationID(*info);
    if (!application)
        return {std::nullopt, "its .flatpak-info names no application"};
    return {application, {}};
}

} // namespace veltro::ipc
