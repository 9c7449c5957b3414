#pragma once

#include "platform/FileDescriptor.hpp"

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

namespace veltro::ipc {

// Which file a path names. An inode number alone may be handed to a new file as soon as the old
// one is gone, so the time of the inode's last change is part of it.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    bool known = false;

    // What is at `path` itself (a symbolic link is not followed); not known when nothing is.
    static FileIdentity of(const std::string& path);
    bool sameFileAs(const FileIdentity& other) const;
    bool sameAs(const FileIdentity& other) const;
};

// Binds a listening socket at `path` (mode 0600). A leftover socket file is replaced only
// after a connect to it has failed. Returns no descriptor when another agent listens there.
// Throws ConnectionError for any other failure.
FileDescriptor bindListeningSocket(const std::string& path);

// The socket file an agent bound itself, and the lock that let it alone bind there. Every move
// and removal first checks that the file is still the one it bound, so that an agent never
// takes away a socket file that another one bound at the same path.
class OwnedSocketFile {
public:
    // Owns nothing: what a socket handed over by the service manager has.
    OwnedSocketFile() = default;
    OwnedSocketFile(std::string path, FileIdentity bound, FileDescriptor lock);
    OwnedSocketFile(OwnedSocketFile&& other) noexcept;
    OwnedSocketFile& operator=(OwnedSocketFile&& other) noexcept;
    ~OwnedSocketFile() { remove(); }

    bool owned() const { return !path_.empty(); }
    // Where it was bound; empty when nothing is owned.
    const std::string& path() const { return path_; }
    // Moves the file from its path to `aside` (replacing whatever is there), so that clients no
    // longer find it. Answers whether it moved.
    bool moveAside(const std::string& aside);
    // Puts a file that was moved aside back at its path, unless the path is taken meanwhile.
    // Answers false when the file is no longer at either place.
    bool moveBack();
    // Removes the file, at its path or aside, and gives up the path.
    void remove();

private:
    bool isStillAt(const std::string& place) const;
    bool move(const std::string& to, unsigned flags);

    std::string path_;
    std::string current_;
    FileIdentity bound_;
    FileDescriptor lock_;
};

struct ExclusiveSocket {
    FileDescriptor socket;
    OwnedSocketFile file;
};

// Binds a listening socket at `path` (mode 0600) while holding an exclusive lock on
// `<path>.lock`, which the answer keeps. Agents that start together beside a leftover socket file
// would otherwise each find that nothing listens, and each replace the file the other had just
// bound; with the lock only one of them binds, and for it a leftover is only a leftover.
// Answers nothing when another agent holds the lock, or when something that takes no lock
// listens at the path. Throws ConnectionError for any other failure.
std::optional<ExclusiveSocket> bindExclusively(const std::string& path);

} // namespace veltro::ipc
