#pragma once

#include "ipc/ClientConnection.hpp"
#include "ipc/Transport.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/Logger.hpp"
#include "protocol/TerminalInterfaces.hpp"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

namespace veltro::ipc {

struct IncomingMessage;

// A socket connected to the agent at `socketPath`, served by this user. Throws ConnectionError
// naming the socket and the reason.
FileDescriptor connectToAgent(const std::string& socketPath);

// A client's end of a connection over a Unix socket. Its calls may come from any thread; they
// become messages on the event loop, in the order each thread makes them.
class ClientSocketConnection final : public ClientConnection,
                                     public Transport::Receiver,
                                     public std::enable_shared_from_this<ClientSocketConnection> {
public:
    // Over a connected socket, on the loop that runs `context`; `identify` with `identifier` is
    // its first message. Throws ConnectionError when the loop cannot watch the socket.
    static std::shared_ptr<ClientSocketConnection>
    make(asio::io_context& context, FileDescriptor socket, std::string identifier);

    ClientSocketConnection(asio::io_context& context, FileDescriptor socket);
    ~ClientSocketConnection() override;

    void setHandler(std::shared_ptr<TerminalClientProtocol> object) override;
    void
    setErrorHandler(std::function<void(std::string method, std::string message)> handler) override;
    void setDisconnectHandler(std::function<void(std::string reason)> handler) override;
    void resume() override;
    void disconnect() override;
    void addWriteBarrier(std::function<void()> block) override;

    void hello(std::int64_t clientVersion, HelloReply reply) override;
    void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment, ShellOptions options,
                   OpenShellReply reply) override;
    void write(UUID id, Bytes data) override;
    void resize(UUID id, std::int64_t columns, std::int64_t rows) override;
    void currentFolder(UUID id, CurrentFolderReply reply) override;
    void isBusy(UUID id, IsBusyReply reply) override;
    void close(UUID id) override;
    void attach(UUID id, std::optional<std::int64_t> from, std::int64_t columns, std::int64_t rows,
                AttachReply reply) override;
    void detach(UUID id) override;
    void list(ListReply reply) override;
    void commands(UUID id, CommandsReply reply) override;

    void received(const msgpack::object& message) override;
    void broken(const std::string& problem) override;
    void peerGone(const std::string& why) override;

private:
    enum class State { configuring, running, ended };

    // Answers a request from its response: with the checked result, or with no result and the
    // agent's error text. Answers false when it cannot, which ends the connection.
    using ResponseHandler = std::function<bool(const WireValues* result, std::string error)>;

    struct Pending {
        const WireMethod* method = nullptr;
        ResponseHandler handler;
    };

    template <class... Values>
    void request(std::string_view method, ResponseHandler handler, const Values&... values);
    void send(std::string message);
    void response(const IncomingMessage& message);
    void notification(const IncomingMessage& message);
    void end(const std::string& problem);
    void ended();
    template <class Work> void onLoop(Work&& work);

    asio::io_context& context_;
    std::shared_ptr<Transport> transport_;
    Logger logger_;
    std::atomic<std::uint32_t> nextMsgid_{0};

    State state_ = State::configuring;
    std::shared_ptr<TerminalClientProtocol> handler_;
    std::function<void(std::string, std::string)> errorHandler_;
    std::function<void(std::string)> disconnectHandler_;
    std::string closingReason_;
    std::unordered_map<std::uint32_t, Pending> pending_;
};

} // namespace veltro::ipc
