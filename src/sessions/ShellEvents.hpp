#pragma once

#include "protocol/Bytes.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace veltro {

// The three callbacks a session reports through. The session calls them on its own queue,
// never two at once. The receiver must call `sent` exactly once per chunk, from any thread,
// at once or later; the session reads no further output while four chunks are unacknowledged.
struct ShellEvents {
    using Sent = std::function<void()>;

    std::function<void(Bytes chunk, Sent sent)> output;
    std::function<void(std::string folder)> folderChanged;
    // The raw wait status; called at most once, after the shell was reaped and the terminal
    // given up.
    std::function<void(std::int32_t status)> exited;
};

} // namespace veltro
