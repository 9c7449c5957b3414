#pragma once

#include "service/TerminalClient.hpp"

#include <memory>

namespace veltro {

namespace xpc {
class Connection;
}

class TerminalClientProtocol;

// Reports to the client as one-way messages on the connection it connected on, and ties a
// shell's output pacing to that connection: a chunk is acknowledged only once its message has
// been written out. The link never keeps the connection alive. Once the connection object is
// gone, reports are dropped and output is acknowledged at once.
class XPCTerminalClient final : public TerminalClient {
public:
    // Copies share one box, so they all see the connection go away at the same moment.
    struct Box {
        std::weak_ptr<xpc::Connection> connection;
    };

    explicit XPCTerminalClient(const std::shared_ptr<xpc::Connection>& connection);

    void output(const UUID& id, Bytes data, Sent sent) override;
    void exited(const UUID& id, std::int32_t status) override;
    void folderChanged(const UUID& id, std::string folder) override;

    std::shared_ptr<Box> box;

private:
    // A fresh proxy for every message; none is cached.
    static std::shared_ptr<TerminalClientProtocol> proxy(xpc::Connection& connection);
};

} // namespace veltro
