#pragma once

#include "platform/FileDescriptor.hpp"
#include "platform/Logger.hpp"
#include "platform/ReadSource.hpp"
#include "platform/SerialQueue.hpp"
#include "platform/TimerSource.hpp"
#include "protocol/TerminalInterfaces.hpp"
#include "xpc/Connection.hpp"
#include "xpc/MessageDecoder.hpp"
#include "xpc/PeerIdentity.hpp"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace veltro::xpc {

struct IncomingMessage;

// How an agent-side connection checks its peer; tests shorten the wait and fake the process
// folders.
struct PeerCheckSettings {
    std::chrono::steady_clock::duration identifyTimeout = std::chrono::seconds(10);
    std::string procFolder = "/proc";
};

// The connection over one connected, non-blocking Unix stream socket.
//
// All of its state lives on its serial queue: every public operation posts its work there, so
// calls from any thread keep their order and never race. Sources and their handlers refer to
// the connection plainly; the connection keeps itself alive (self_) from resume() until every
// source has been cancelled, so they never outlive it.
class SocketConnection final : public Connection {
public:
    enum class Role { agent, client };

    // An accepted connection, on the agent's side.
    static std::shared_ptr<SocketConnection> accepted(FileDescriptor socket, PeerCredentials peer,
                                                      PeerCheckSettings settings);
    // The client's side; `identify` is the first message it sends.
    static std::shared_ptr<SocketConnection> client(FileDescriptor socket, std::string identifier);

    SocketConnection(Role role, FileDescriptor socket, std::optional<PeerCredentials> peer,
                     PeerCheckSettings settings);
    ~SocketConnection() override;

    void setCodeSigningRequirement(std::string requirement) override;
    void setExportedObject(std::shared_ptr<TerminalHelperProtocol> object) override;
    void setExportedObject(std::shared_ptr<TerminalClientProtocol> object) override;
    std::shared_ptr<TerminalClientProtocol> clientProxy() override;
    std::shared_ptr<TerminalHelperProtocol> helperProxy() override;
    void setInvalidationHandler(std::function<void()> handler) override;
    void setInterruptionHandler(std::function<void()> handler) override;
    void resume() override;
    void invalidate() override;
    void scheduleSendBarrierBlock(std::function<void()> block) override;

    // Called by the proxies, from any thread.
    void send(EncodedMessage message);
    // Decodes a response's error and result; answers false when the result is not what the
    // request expects, which ends the connection.
    using ResponseHandler =
        std::function<bool(const msgpack::object* error, const msgpack::object& result)>;
    void sendRequest(std::function<EncodedMessage(std::uint32_t msgid)> encode,
                     ResponseHandler handler);

    // Called by a reply, from any thread: the response for the request in `slot`.
    void respond(std::uint64_t slot, EncodedMessage response);

private:
    enum class State { configuring, running, ended };
    enum class Ending { invalidated, peerGone, refused, broken };

    struct Outgoing {
        EncodedMessage message;
        std::size_t written = 0;
    };
    struct ResponseSlot {
        std::uint32_t msgid = 0;
        std::optional<EncodedMessage> response;
    };
    struct Barrier {
        std::uint64_t after = 0;
        std::function<void()> block;
    };

    void post(std::function<void()> work);

    void start();
    void startReading();
    void startHandshakeTimer();
    void readAvailable();
    void handleMessages();
    void handle(const msgpack::object& object);
    void handleAsAgent(const IncomingMessage& message);
    void handleAsClient(const IncomingMessage& message);
    void handleIdentify(const msgpack::object& params);
    void handleRequest(const IncomingMessage& message);
    void handleNotification(const IncomingMessage& message);
    void handleResponse(const IncomingMessage& message);

    void enqueue(EncodedMessage message);
    void fillSlot(std::uint64_t slot, EncodedMessage response);
    void sendReadyResponses();
    // Writes what the socket takes; answers false when the connection ended meanwhile.
    bool flush();
    void waitUntilWritable();
    void runBarriers();
    void updateReadPause();

    void end(Ending ending, const std::string& why = {});
    void sourceCancelled();
    std::string peerDescription() const;

    const Role role_;
    SerialQueue queue_;
    FileDescriptor socket_;
    std::optional<PeerCredentials> peer_;
    PeerCheckSettings settings_;
    Logger logger_;

    State state_ = State::configuring;
    std::shared_ptr<SocketConnection> self_;
    int pendingCancels_ = 0;

    std::optional<std::string> requirement_;
    std::shared_ptr<TerminalHelperProtocol> helperObject_;
    std::shared_ptr<TerminalClientProtocol> clientObject_;
    std::function<void()> invalidationHandler_;
    std::function<void()> interruptionHandler_;

    std::unique_ptr<ReadSource> reader_;
    std::unique_ptr<WriteSource> writer_;
    std::unique_ptr<TimerSource> identifyTimer_;
    bool waitingToWrite_ = false;
    bool readPaused_ = false;

    MessageDecoder decoder_;
    bool identified_ = false;

    std::deque<Outgoing> outgoing_;
    std::size_t outgoingBytes_ = 0;
    std::uint64_t enqueuedCount_ = 0;
    std::uint64_t writtenCount_ = 0;
    std::deque<Barrier> barriers_;

    std::deque<ResponseSlot> responses_;
    std::uint64_t firstSlot_ = 0;

    std::uint32_t nextMsgid_ = 0;
    std::unordered_map<std::uint32_t, ResponseHandler> pendingResponses_;
};

} // namespace veltro::xpc
