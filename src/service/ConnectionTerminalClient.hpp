#pragma once

#include "service/TerminalClient.hpp"

#include <memory>

namespace veltro {

namespace ipc {
class AgentConnection;
}

// Reports to the client as one-way messages on the connection it connected on, and ties a
// shell's output pacing to that connection: a chunk is acknowledged once its message has been
// written out. The link never keeps the connection alive; once the connection is gone, reports
// are dropped and output is acknowledged at once.
class ConnectionTerminalClient final : public TerminalClient {
public:
    explicit ConnectionTerminalClient(const std::shared_ptr<ipc::AgentConnection>& connection)
        : connection(connection) {}

    void output(const UUID& id, ByteView data, Sent sent) override;
    void exited(const UUID& id, std::int32_t status) override;
    void folderChanged(const UUID& id, std::string folder) override;
    void commandStarted(const UUID& id, std::int64_t offset,
                        const std::optional<std::string>& commandLine) override;
    void commandFinished(const UUID& id, std::int64_t offset, std::optional<std::int64_t> exitCode,
                         std::int64_t milliseconds) override;
    void detached(const UUID& id, std::string reason) override;
    void error(std::string method, std::string message) override;
    std::string identifier() const override;
    void afterResponses(std::function<void()> block) override;
    void suspendInput() override;
    void resumeInput() override;

    const std::weak_ptr<ipc::AgentConnection> connection;
};

} // namespace veltro
