#include "ipc/ListeningSocket.hpp"

#include "ipc/ClientConnection.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

namespace veltro::ipc {

namespace {

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw ConnectionError("Cannot listen on \"" + path +
                              "\": the path is empty or too long for a socket.");
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

bool someoneListens(const sockaddr_un& address) {
    FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe)
        return false;
    int result;
    do {
        result =
            ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

std::string failure(const std::string& what, const std::string& path) {
    return "Cannot " + what + " " + path + ": " + std::strerror(errno);
}

struct BoundSocket {
    FileDescriptor socket;
    FileIdentity file;
};

// Binds and listens at `path`; no descriptor when someone listens there already.
BoundSocket bindAt(const std::string& path) {
    sockaddr_un address = addressOf(path);
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        throw ConnectionError(failure("create a socket for", path));
    auto bindOnce = [&] {
        return ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    };
    if (bindOnce() != 0) {
        if (errno != EADDRINUSE)
            throw ConnectionError(failure("bind", path));
        if (someoneListens(address))
            return {};
        struct stat status {};
        if (::lstat(path.c_str(), &status) == 0 && !S_ISSOCK(status.st_mode))
            throw ConnectionError("Cannot bind " + path +
                                  ": a file that is not a socket is there.");
        // Nothing answers there: a leftover of an agent that did not clean up.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            throw ConnectionError(failure("remove the leftover socket", path));
        if (bindOnce() != 0)
            throw ConnectionError(failure("bind", path));
    }
    FileIdentity bound = FileIdentity::of(path);
    auto giveUp = [&](const std::string& what) {
        ConnectionError error(failure(what, path));
        // Best effort on a path already failing; the error reported is the first one.
        if (FileIdentity::of(path).sameFileAs(bound))
            (void)::unlink(path.c_str());
        return error;
    };
    // The socket is bound but not listening yet, so nobody can connect before it is private.
    if (::chmod(path.c_str(), 0600) != 0)
        throw giveUp("make private");
    // The change of mode is the last change this process makes to the file, so from here on its
    // change time tells it apart from a later file with the same inode number.
    if (FileIdentity changed = FileIdentity::of(path); changed.sameFileAs(bound))
        bound = changed;
    if (::listen(socket.get(), SOMAXCONN) != 0)
        throw giveUp("listen on");
    return {std::move(socket), bound};
}

// The lock that decides which agent may bind `path`. Answers no descriptor when another process
// holds it. The lock lasts as long as the descriptor, so it ends with the process however the
// process ends; the descriptor is close-on-exec, so no shell keeps it.
FileDescriptor lockBeside(const std::string& path) {
    std::string lockPath = path + ".lock";
    FileDescriptor lock(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lock)
        throw ConnectionError(failure("open the lock file", lockPath));
    int result;
    do {
        result = ::flock(lock.get(), LOCK_EX | LOCK_NB);
    } while (result != 0 && errno == EINTR);
    if (result == 0)
        return lock;
    if (errno == EWOULDBLOCK)
        return {};
    throw ConnectionError(failure("lock", lockPath));
}

} // namespace

FileIdentity FileIdentity::of(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::lstat(path.c_str(), &status) != 0)
        return {};
    return {status.st_dev, status.st_ino, status.st_ctim, true};
}

bool FileIdentity::sameFileAs(const FileIdentity& other) const {
    return known && other.known && device == other.device && inode == other.inode;
}

bool FileIdentity::sameAs(const FileIdentity& other) const {
    return sameFileAs(other) && changed.tv_sec == other.changed.tv_sec &&
           changed.tv_nsec == other.changed.tv_nsec;
}

FileDescriptor bindListeningSocket(const std::string& path) {
    return bindAt(path).socket;
}

OwnedSocketFile::OwnedSocketFile(std::string path, FileIdentity bound, FileDescriptor lock)
    : path_(std::move(path)), current_(path_), bound_(bound), lock_(std::move(lock)) {}

OwnedSocketFile::OwnedSocketFile(OwnedSocketFile&& other) noexcept
    : path_(std::exchange(other.path_, {})), current_(std::exchange(other.current_, {})),
      bound_(other.bound_), lock_(std::move(other.lock_)) {}

OwnedSocketFile& OwnedSocketFile::operator=(OwnedSocketFile&& other) noexcept {
    if (this == &other)
        return *this;
    remove();
    path_ = std::exchange(other.path_, {});
    current_ = std::exchange(other.current_, {});
    bound_ = other.bound_;
    lock_ = std::move(other.lock_);
    return *this;
}

bool OwnedSocketFile::isStillAt(const std::string& place) const {
    return FileIdentity::of(place).sameAs(bound_);
}

bool OwnedSocketFile::move(const std::string& to, unsigned flags) {
    if (!isStillAt(current_) ||
        ::renameat2(AT_FDCWD, current_.c_str(), AT_FDCWD, to.c_str(), flags) != 0)
        return false;
    current_ = to;
    // A rename is a change of the inode too.
    if (FileIdentity moved = FileIdentity::of(to); moved.sameFileAs(bound_))
        bound_ = moved;
    return true;
}

bool OwnedSocketFile::moveAside(const std::string& aside) {
    return owned() && current_ == path_ && move(aside, 0);
}

bool OwnedSocketFile::moveBack() {
    if (!owned())
        return false;
    return current_ == path_ || move(path_, RENAME_NOREPLACE);
}

void OwnedSocketFile::remove() {
    if (!owned())
        return;
    // Not there or not ours any more: then there is nothing of this agent's left to remove.
    if (isStillAt(current_))
        (void)::unlink(current_.c_str());
    path_.clear();
    current_.clear();
    // Given up with the path, so that a new agent may bind at once while this one finishes its
    // shells. The lock file stays: were it removed, an agent that had just opened it would lock
    // a file that the next one no longer finds, and both would bind.
    lock_.reset();
}

std::optional<ExclusiveSocket> bindExclusively(const std::string& path) {
    // A path no socket can have is refused before a lock file is made beside it.
    addressOf(path);
    FileDescriptor lock = lockBeside(path);
    if (!lock)
        return std::nullopt;
    BoundSocket bound = bindAt(path);
    if (!bound.socket)
        return std::nullopt;
    return ExclusiveSocket{std::move(bound.socket),
                           OwnedSocketFile(path, bound.file, std::move(lock))};
}

} // namespace veltro::ipc
