#pragma once

#include <unistd.h>

#include <utility>

namespace veltro {

// Owns one descriptor and closes it exactly once: on reset() or destruction, whichever
// comes first. Moving transfers ownership; a moved-from object owns nothing.
class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int fd) : fd_(fd) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }
    explicit operator bool() const { return isOpen(); }

    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }

    void reset(int fd = -1) {
        int old = std::exchange(fd_, fd);
        // On Linux the descriptor is gone even when close reports an error, so there is
        // nothing to retry and nothing the owner could do differently.
        if (old >= 0)
            (void)::close(old);
    }

private:
    int fd_ = -1;
};

} // namespace veltro
