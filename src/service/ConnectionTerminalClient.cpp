#include "service/ConnectionTerminalClient.hpp"

#include "ipc/AgentConnection.hpp"

namespace veltro {

void ConnectionTerminalClient::output(const UUID& id, ByteView data, Sent sent) {
    auto alive = connection.lock();
    if (!alive) {
        sent();
        return;
    }
    // The message's completion is what paces the shell.
    alive->output(id, data, std::move(sent));
}

void ConnectionTerminalClient::exited(const UUID& id, std::int32_t status) {
    if (auto alive = connection.lock())
        alive->exited(id, status);
}

void ConnectionTerminalClient::folderChanged(const UUID& id, std::string folder) {
    if (auto alive = connection.lock())
        alive->folderChanged(id, folder);
}

void ConnectionTerminalClient::commandStarted(const UUID& id, std::int64_t offset,
                                              const std::optional<std::string>& commandLine) {
    if (auto alive = connection.lock())
        alive->commandStarted(id, offset, commandLine);
}

void ConnectionTerminalClient::commandFinished(const UUID& id, std::int64_t offset,
                                               std::optional<std::int64_t> exitCode,
                                               std::int64_t milliseconds) {
    if (auto alive = connection.lock())
        alive->commandFinished(id, offset, exitCode, milliseconds);
}

void ConnectionTerminalClient::detached(const UUID& id, std::string reason) {
    if (auto alive = connection.lock())
        alive->detached(id, reason);
}

void ConnectionTerminalClient::error(std::string method, std::string message) {
    if (auto alive = connection.lock())
        alive->error(method, message);
}

std::string ConnectionTerminalClient::identifier() const {
    auto alive = connection.lock();
    return alive ? alive->peerIdentifier() : std::string();
}

void ConnectionTerminalClient::afterResponses(std::function<void()> block) {
    if (auto alive = connection.lock())
        alive->afterResponses(std::move(block));
}

void ConnectionTerminalClient::suspendInput() {
    if (auto alive = connection.lock())
        alive->suspendReading();
}

void ConnectionTerminalClient::resumeInput() {
    if (auto alive = connection.lock())
        alive->resumeReading();
}

} // namespace veltro
