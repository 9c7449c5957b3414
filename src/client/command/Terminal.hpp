#pragma once

#include <termios.h>

#include <cstddef>
#include <cstdint>

namespace veltro::command {

struct WindowSize {
    std::int64_t columns = 80;
    std::int64_t rows = 24;
};

// The size of the terminal on any of the standard descriptors; 80 x 24 when none is one.
WindowSize windowSize();

// Puts the terminal in raw mode and gives it back as it was, whichever way the program ends:
// its destructor runs on every return path, and signals are taken as events, not handlers.
class RawMode {
public:
    RawMode();
    RawMode(const RawMode&) = delete;
    RawMode& operator=(const RawMode&) = delete;
    ~RawMode() { restore(); }

    void restore();

private:
    termios saved{};
    bool active = false;
};

// Writes all of `data`, waiting while `fd` is full; stops when it fails.
void writeAll(int fd, const std::uint8_t* data, std::size_t size);

} // namespace veltro::command
