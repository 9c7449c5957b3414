#pragma once

#include "ipc/AgentConnection.hpp"
#include "ipc/PeerIdentity.hpp"
#include "ipc/Transport.hpp"
#include "platform/Logger.hpp"

#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>

namespace veltro::ipc {

struct IncomingMessage;

// How an accepted connection checks its peer; its listener sets it, tests shorten the wait.
struct PeerCheckSettings {
    std::chrono::steady_clock::duration identifyTimeout = std::chrono::seconds(10);
    std::string procFolder = "/proc";
};

// One place in the listener's count of connections that have not identified themselves yet,
// held until the connection has identified itself or ended.
class HandshakeTicket {
public:
    explicit HandshakeTicket(std::shared_ptr<std::size_t> count) : count_(std::move(count)) {
        ++*count_;
    }
    ~HandshakeTicket() { release(); }
    HandshakeTicket(const HandshakeTicket&) = delete;
    HandshakeTicket& operator=(const HandshakeTicket&) = delete;

    void release() {
        if (count_)
            --*std::exchange(count_, nullptr);
    }

private:
    std::shared_ptr<std::size_t> count_;
};

// The agent's end of a connection over a Unix socket.
class AgentSocketConnection final : public AgentConnection,
                                    public Transport::Receiver,
                                    public std::enable_shared_from_this<AgentSocketConnection> {
public:
    // On the loop that runs `context`. Throws std::system_error when the loop cannot watch the
    // socket.
    AgentSocketConnection(asio::io_context& context, FileDescriptor socket, PeerCredentials peer,
                          PeerCheckSettings settings,
                          std::shared_ptr<std::size_t> awaitingIdentify);
    ~AgentSocketConnection() override;

    void setPeerRequirement(std::string requirement) override;
    void setHandler(std::shared_ptr<TerminalHelperProtocol> object) override;
    void setDisconnectHandler(std::function<void()> handler) override;
    void resume() override;
    void disconnect() override;
    void suspendReading() override;
    void resumeReading() override;
    pid_t peerPid() const override { return peer_.pid; }
    const std::string& peerIdentifier() const override { return identifier_; }

    void output(const UUID& id, ByteView data, std::function<void()> onWritten) override;
    void exited(const UUID& id, std::int32_t status) override;
    void folderChanged(const UUID& id, std::string_view folder) override;
    void detached(const UUID& id, std::string_view reason) override;
    void commandStarted(const UUID& id, std::int64_t offset,
                        const std::optional<std::string>& commandLine) override;
    void commandFinished(const UUID& id, std::int64_t offset, std::optional<std::int64_t> exitCode,
                         std::int64_t milliseconds) override;
    void error(std::string_view method, std::string_view message) override;
    void afterResponses(std::function<void()> block) override;
    void addWriteBarrier(std::function<void()> block) override;

    void received(const msgpack::object& message) override;
    void broken(const std::string& problem) override;
    void peerGone(const std::string& why) override;

    // The response to the request in `slot`; responses leave in the order of their requests.
    void respond(std::uint64_t slot, std::string response);

    // Requests waiting for their response to be sent, past which no more are read, and below
    // which reading goes on.
    static constexpr std::size_t pauseReadingAtReplies = 4096;
    static constexpr std::size_t resumeReadingBelowReplies = 1024;

private:
    // Identifying: reading, with only `identify` welcome, and that before the timeout.
    enum class State { configuring, identifying, running, ended };

    void identify(const msgpack::object& params);
    void request(const IncomingMessage& message);
    void notification(const IncomingMessage& message);
    void refuse(const std::string& reason);
    void ended();
    std::string peerDescription() const;

    std::shared_ptr<Transport> transport_;
    PeerCredentials peer_;
    PeerCheckSettings settings_;
    HandshakeTicket handshake_;
    Logger logger_;
    asio::steady_timer identifyTimer_;

    State state_ = State::configuring;
    std::optional<std::string> requirement_;
    std::string identifier_;
    std::shared_ptr<TerminalHelperProtocol> handler_;
    std::function<void()> disconnectHandler_;

    // Responses of the requests not yet answered in order; firstSlot_ numbers the front. One
    // slow answer holds back every later one, so requests are read only while few wait:
    // otherwise a client could pile up answers behind it without bound.
    std::deque<std::optional<std::string>> responses_;
    std::uint64_t firstSlot_ = 0;
    // Reading has been suspended for the answers waiting; it comes and goes while running.
    bool holdingRequests_ = false;
    // What waits for the responses up to a slot to be sent, in the order of the slots.
    std::deque<std::pair<std::uint64_t, std::function<void()>>> afterResponses_;
};

} // namespace veltro::ipc
