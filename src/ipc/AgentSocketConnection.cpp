#include "ipc/AgentSocketConnection.hpp"

#include "ipc/IncomingMessage.hpp"
#include "platform/EventLoop.hpp"
#include "platform/StopProgram.hpp"
#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalInterfaces.hpp"
#include "protocol/TerminalService.hpp"

#include <asio/dispatch.hpp>

#include <atomic>

namespace veltro::ipc {

namespace {

// Stands for the reply of one request. It answers at most once; dropped without an answer it
// still answers, with an error naming the method, so that later responses are not held back
// for ever and the client is not left waiting.
class ReplyToken {
public:
    ReplyToken(asio::any_io_executor loop, std::weak_ptr<AgentSocketConnection> connection,
               std::uint64_t slot, std::uint32_t msgid, std::string_view method)
        : loop_(std::move(loop)), connection_(std::move(connection)), slot_(slot), msgid_(msgid),
          method_(method) {}

    ~ReplyToken() {
        if (!called_.load())
            respond(encodeErrorResponse(msgid_, "The agent dropped the reply to " + method_ +
                                                    " without answering."));
    }

    void answer(std::string result) {
        if (called_.exchange(true))
            stopProgram("The reply to " + method_ + " was called twice.");
        respond(encodeResponse(msgid_, result));
    }

private:
    // The reply may come from any thread; the connection takes it on its loop.
    void respond(std::string response) {
        asio::dispatch(loop_, [connection = connection_, slot = slot_,
                               response = std::move(response)]() mutable {
            if (auto alive = connection.lock())
                alive->respond(slot, std::move(response));
        });
    }

    asio::any_io_executor loop_;
    std::weak_ptr<AgentSocketConnection> connection_;
    std::uint64_t slot_;
    std::uint32_t msgid_;
    std::string method_;
    std::atomic<bool> called_{false};
};

WireValues valuesOf(const msgpack::object& params) {
    return WireValues(params.via.array.ptr, params.via.array.size);
}

} // namespace

AgentSocketConnection::AgentSocketConnection(asio::io_context& context, FileDescriptor socket,
                                             PeerCredentials peer, PeerCheckSettings settings,
                                             std::shared_ptr<std::size_t> awaitingIdentify)
    : transport_(std::make_shared<Transport>(context, std::move(socket))), peer_(std::move(peer)),
      settings_(std::move(settings)), handshake_(std::move(awaitingIdentify)),
      logger_(Logger(TerminalService::helperBundleID(), "connection").forConnection(peer_.pid)),
      identifyTimer_(context) {}

AgentSocketConnection::~AgentSocketConnection() = default;

void AgentSocketConnection::setPeerRequirement(std::string requirement) {
    requirement_ = std::move(requirement);
}

void AgentSocketConnection::setHandler(std::shared_ptr<TerminalHelperProtocol> object) {
    if (state_ != State::ended)
        handler_ = std::move(object);
}

void AgentSocketConnection::setDisconnectHandler(std::function<void()> handler) {
    if (state_ != State::ended)
        disconnectHandler_ = std::move(handler);
}

void AgentSocketConnection::resume() {
    if (state_ != State::configuring)
        return;
    state_ = State::identifying;
    transport_->start(shared_from_this());
    identifyTimer_.expires_after(settings_.identifyTimeout);
    identifyTimer_.async_wait([self = shared_from_this()](const asio::error_code& error) {
        if (!error && self->state_ == State::identifying)
            self->refuse("The client did not identify itself in time.");
    });
}

void AgentSocketConnection::disconnect() {
    if (state_ == State::ended)
        return;
    transport_->finish();
    ended();
}

void AgentSocketConnection::suspendReading() {
    transport_->suspendReading();
}

void AgentSocketConnection::resumeReading() {
    transport_->resumeReading();
}

void AgentSocketConnection::output(const UUID& id, ByteView data, std::function<void()> onWritten) {
    transport_->send(encodeDataHead("output", id, data.size()), data, std::move(onWritten));
}

void AgentSocketConnection::exited(const UUID& id, std::int32_t status) {
    transport_->send(encodeNotification("exited", id, status));
}

void AgentSocketConnection::folderChanged(const UUID& id, std::string_view folder) {
    transport_->send(encodeNotification("folderChanged", id, folder));
}

void AgentSocketConnection::detached(const UUID& id, std::string_view reason) {
    transport_->send(encodeNotification("detached", id, reason));
}

void AgentSocketConnection::commandStarted(const UUID& id, std::int64_t offset,
                                           const std::optional<std::string>& commandLine) {
    transport_->send(encodeNotification("commandStarted", id, offset, commandLine));
}

void AgentSocketConnection::commandFinished(const UUID& id, std::int64_t offset,
                                            std::optional<std::int64_t> exitCode,
                                            std::int64_t milliseconds) {
    transport_->send(encodeNotification("commandFinished", id, offset, exitCode, milliseconds));
}

void AgentSocketConnection::error(std::string_view method, std::string_view message) {
    transport_->send(encodeNotification("error", method, message));
}

void AgentSocketConnection::afterResponses(std::function<void()> block) {
    if (state_ == State::ended)
        return;
    if (responses_.empty()) {
        block();
        return;
    }
    afterResponses_.emplace_back(firstSlot_ + responses_.size() - 1, std::move(block));
}

void AgentSocketConnection::addWriteBarrier(std::function<void()> block) {
    transport_->writeBarrier(std::move(block));
}

void AgentSocketConnection::received(const msgpack::object& object) {
    std::string problem;
    std::optional<IncomingMessage> message = IncomingMessage::classify(object, problem);
    if (!message) {
        refuse(problem);
        return;
    }
    using Kind = IncomingMessage::Kind;
    if (message->kind == Kind::response) {
        refuse("A client must not send responses.");
        return;
    }
    bool isIdentify = message->kind == Kind::notification && message->method == "identify";
    if (state_ == State::identifying) {
        if (isIdentify)
            identify(*message->params);
        else
            refuse("The first message must be identify.");
        return;
    }
    if (isIdentify)
        refuse("identify may come only once.");
    else if (message->kind == Kind::request)
        request(*message);
    else
        notification(*message);
}

void AgentSocketConnection::identify(const msgpack::object& params) {
    state_ = State::running;
    identifyTimer_.cancel();
    handshake_.release();
    std::string problem;
    if (!checkedMethod(Direction::toAgent, MessageKind::notification, "identify", params,
                       problem)) {
        refuse(problem);
        return;
    }
    std::string declared = valuesOf(params).string(0);
    PeerIdentity identity =
        PeerIdentity::of(declared, peer_.pid, peer_.pidfd.get(), settings_.procFolder);
    if (!identity.identifier) {
        refuse("The client cannot be identified: " + identity.problem + ".");
        return;
    }
    if (requirement_ && !PeerRequirement::isSatisfied(*requirement_, {*identity.identifier})) {
        refuse("The identifier \"" + quotedText(*identity.identifier) +
               "\" does not meet the requirement: " + *requirement_);
        return;
    }
    logger_.info("Accepted " + peerDescription() + " as \"" + quotedText(*identity.identifier) +
                 "\".");
    identifier_ = std::move(*identity.identifier);
}

void AgentSocketConnection::request(const IncomingMessage& message) {
    std::uint64_t slot = firstSlot_ + responses_.size();
    responses_.emplace_back();
    if (!holdingRequests_ && responses_.size() >= pauseReadingAtReplies) {
        holdingRequests_ = true;
        transport_->suspendReading();
    }
    std::string problem;
    const WireMethod* method = checkedMethod(Direction::toAgent, MessageKind::request,
                                             message.method, *message.params, problem);
    // Held here: the call may end the connection, which lets go of its handler.
    std::shared_ptr<TerminalHelperProtocol> object = handler_;
    if (method && (!object || !method->toHelper))
        problem = "Nothing answers " + std::string(method->name) + ".";
    if (!problem.empty()) {
        respond(slot, encodeErrorResponse(message.msgid, problem));
        return;
    }
    auto token = std::make_shared<ReplyToken>(identifyTimer_.get_executor(), weak_from_this(), slot,
                                              message.msgid, method->name);
    method->toHelper(*object, valuesOf(*message.params),
                     [token](std::string result) { token->answer(std::move(result)); });
}

void AgentSocketConnection::notification(const IncomingMessage& message) {
    std::string problem;
    const WireMethod* method = checkedMethod(Direction::toAgent, MessageKind::notification,
                                             message.method, *message.params, problem);
    if (!method) {
        // Said, not only logged, so that a client never loses input without knowing.
        logger_.error("Did not carry out a notification of " + peerDescription() + ": " + problem);
        transport_->send(encodeNotification("error", quotedText(message.method), problem));
        return;
    }
    std::shared_ptr<TerminalHelperProtocol> object = handler_;
    if (object && method->toHelper)
        method->toHelper(*object, valuesOf(*message.params), nullptr);
}

void AgentSocketConnection::respond(std::uint64_t slot, std::string response) {
    if (state_ == State::ended || slot < firstSlot_ || slot - firstSlot_ >= responses_.size())
        return;
    std::optional<std::string>& entry = responses_[slot - firstSlot_];
    if (entry)
        return;
    entry = std::move(response);
    while (!responses_.empty() && responses_.front()) {
        transport_->send(std::move(*responses_.front()));
        responses_.pop_front();
        ++firstSlot_;
    }
    while (!afterResponses_.empty() && afterResponses_.front().first < firstSlot_) {
        std::function<void()> block = std::move(afterResponses_.front().second);
        afterResponses_.pop_front();
        block();
    }
    if (holdingRequests_ && responses_.size() < resumeReadingBelowReplies) {
        holdingRequests_ = false;
        transport_->resumeReading();
    }
}

void AgentSocketConnection::broken(const std::string& problem) {
    refuse(problem);
}

void AgentSocketConnection::peerGone(const std::string&) {
    ended();
}

void AgentSocketConnection::refuse(const std::string& reason) {
    if (state_ == State::ended)
        return;
    logger_.error("Ended the connection of " + peerDescription() + ": " + reason);
    transport_->finish(encodeNotification("closing", reason));
    ended();
}

void AgentSocketConnection::ended() {
    if (state_ == State::ended)
        return;
    state_ = State::ended;
    identifyTimer_.cancel();
    handshake_.release();
    responses_.clear();
    afterResponses_.clear();
    std::shared_ptr<TerminalHelperProtocol> object = std::move(handler_);
    std::function<void()> handler = std::move(disconnectHandler_);
    if (handler)
        handler();
}

std::string AgentSocketConnection::peerDescription() const {
    return "the client with pid " + std::to_string(peer_.pid);
}

} // namespace veltro::ipc
