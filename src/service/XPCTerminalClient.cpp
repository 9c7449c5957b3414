#include "service/XPCTerminalClient.hpp"

#include "xpc/Connection.hpp"

namespace veltro {

XPCTerminalClient::XPCTerminalClient(const std::shared_ptr<xpc::Connection>& connection)
    : box(std::make_shared<Box>(Box{connection})) {}

std::shared_ptr<TerminalClientProtocol> XPCTerminalClient::proxy(xpc::Connection& connection) {
    return connection.clientProxy();
}

void XPCTerminalClient::output(const UUID& id, Bytes data, Sent sent) {
    std::shared_ptr<xpc::Connection> connection = box->connection.lock();
    if (!connection) {
        sent();
        return;
    }
    std::shared_ptr<TerminalClientProtocol> remote = proxy(*connection);
    if (!remote) {
        sent();
        return;
    }
    remote->output(id, std::move(data));
    // The barrier runs once the message above has been written, which is what paces the shell.
    connection->scheduleSendBarrierBlock(std::move(sent));
}

void XPCTerminalClient::exited(const UUID& id, std::int32_t status) {
    std::shared_ptr<xpc::Connection> connection = box->connection.lock();
    if (!connection)
        return;
    if (std::shared_ptr<TerminalClientProtocol> remote = proxy(*connection))
        remote->exited(id, status);
}

void XPCTerminalClient::folderChanged(const UUID& id, std::string folder) {
    std::shared_ptr<xpc::Connection> connection = box->connection.lock();
    if (!connection)
        return;
    if (std::shared_ptr<TerminalClientProtocol> remote = proxy(*connection))
        remote->folderChanged(id, std::move(folder));
}

} // namespace veltro
