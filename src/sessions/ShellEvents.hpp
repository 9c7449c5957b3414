#pragma once

#include "protocol/Bytes.hpp"

#include <cstdint>
#include <functional>
#include <string>

namespace veltro {

// The three callbacks a session reports through, all on the event loop, never two at once.
// The receiver must call `sent` exactly once per chunk, on the loop, at once or later, and in
// the order the chunks came; the chunk's bytes stay valid until then. The session reads no
// further output while four chunks are unacknowledged.
struct ShellEvents {
    using Sent = std::function<void()>;

    std::function<void(ByteView chunk, Sent sent)> output;
    std::function<void(std::string folder)> folderChanged;
    // The raw wait status; called at most once, after the shell was reaped and the terminal
    // given up.
    std::function<void(std::int32_t status)> exited;
};

} // namespace veltro
