#pragma once

#include "protocol/Bytes.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace veltro {

// The callbacks a session reports through, all on the event loop, never two at once.
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
    // Set only for a shell whose command marks are wanted: a session whose events leave them
    // unset does not look for marks at all. Each comes after the chunk that ended its mark, with
    // the offset of the byte after the mark; milliseconds are 0 when no start was marked.
    std::function<void(std::int64_t offset, const std::optional<std::string>& commandLine)>
        commandStarted;
    std::function<void(std::int64_t offset, std::optional<std::int64_t> exitCode,
                       std::int64_t milliseconds)>
        commandFinished;

    bool wantsMarks() const { return commandStarted || commandFinished; }
};

} // namespace veltro
