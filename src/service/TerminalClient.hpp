#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace veltro {

// Where the service reports each shell's output, exit and folder changes, on the event loop.
class TerminalClient {
public:
    using Sent = std::function<void()>;

    virtual ~TerminalClient() = default;

    // One chunk of a shell's output, valid until `sent`. `sent` must be called exactly once, on
    // the loop and in the order of the chunks, when the chunk has been passed on or given up;
    // the shell reads no further output while four of its chunks wait for it.
    virtual void output(const UUID& id, ByteView data, Sent sent) = 0;
    // The shell has ended, with the raw wait status.
    virtual void exited(const UUID& id, std::int32_t status) = 0;
    // The shell's working folder changed.
    virtual void folderChanged(const UUID& id, std::string folder) = 0;
    // A shell with marks started or finished a command; `offset` is that of the byte after the
    // mark, whose chunk has been passed to output() before.
    virtual void commandStarted(const UUID& id, std::int64_t offset,
                                const std::optional<std::string>& commandLine) = 0;
    virtual void commandFinished(const UUID& id, std::int64_t offset,
                                 std::optional<std::int64_t> exitCode,
                                 std::int64_t milliseconds) = 0;
    // Another connection has taken the kept shell over.
    virtual void detached(const UUID& id, std::string reason) = 0;
    // A notification of the client's that was not carried out, and why.
    virtual void error(std::string method, std::string message) = 0;

    // The identifier the client was accepted as: whose kept shells it may see.
    virtual std::string identifier() const = 0;
    // Runs `block` once the responses to every request so far have gone out, or never when the
    // client has gone.
    virtual void afterResponses(std::function<void()> block) = 0;

    // Stops and restarts taking the client's input while a shell's input is backlogged; the
    // calls are counted, so several backlogged shells each hold input back.
    virtual void suspendInput() = 0;
    virtual void resumeInput() = 0;
};

} // namespace veltro
