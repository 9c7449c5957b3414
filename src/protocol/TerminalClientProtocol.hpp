#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace veltro {

// What the agent tells a client, as one-way messages.
class TerminalClientProtocol {
public:
    virtual ~TerminalClientProtocol() = default;

    virtual void output(UUID id, Bytes data) = 0;
    virtual void exited(UUID id, std::int32_t status) = 0;
    virtual void folderChanged(UUID id, std::string folder) = 0;
    // Another connection took the shell over; nothing more about it comes here. Only a client
    // that attaches kept shells can receive it, so the others need not answer it.
    virtual void detached(UUID, std::string) {}
    // A shell opened with marks started or finished a command; `offset` is that of the output
    // byte right after the mark. Only a client that asks for marks receives them.
    virtual void commandStarted(UUID, std::int64_t, std::optional<std::string>) {}
    virtual void commandFinished(UUID, std::int64_t, std::optional<std::int64_t>, std::int64_t) {}
};

} // namespace veltro
