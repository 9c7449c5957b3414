#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace veltro {

// What a client asks of the agent. Every reply must be called exactly once, from any thread.
class TerminalHelperProtocol {
public:
    using HelloReply = std::function<void(std::int64_t protocolVersion)>;
    using OpenShellReply = std::function<void(std::int32_t pid, std::optional<std::string> error)>;
    using CurrentFolderReply = std::function<void(std::optional<std::string> folder)>;
    using IsBusyReply = std::function<void(bool busy, std::optional<std::string> name)>;

    virtual ~TerminalHelperProtocol() = default;

    virtual void hello(std::int64_t clientVersion, HelloReply reply) = 0;
    virtual void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                           std::optional<std::string> shell, Environment environment,
                           OpenShellReply reply) = 0;
    virtual void write(UUID id, Bytes data) = 0;
    virtual void resize(UUID id, std::int64_t columns, std::int64_t rows) = 0;
    virtual void currentFolder(UUID id, CurrentFolderReply reply) = 0;
    virtual void isBusy(UUID id, IsBusyReply reply) = 0;
    virtual void close(UUID id) = 0;
};

} // namespace veltro
