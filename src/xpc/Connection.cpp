#include "xpc/Connection.hpp"

#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"
#include "xpc/IncomingMessage.hpp"
#include "xpc/Listener.hpp"
#include "xpc/SocketConnection.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace veltro::xpc {

namespace {

constexpr std::size_t readChunk = 64 * 1024;
// Reads per readiness event, so one busy peer cannot hold a connection thread for long.
constexpr int readsPerEvent = 16;
constexpr int iovecsPerWrite = 64;
// A peer that sends requests but does not read the answers is not read from either while this
// much waits to be written, which bounds what it can make the agent hold.
constexpr std::size_t pauseReadingAbove = 32 * 1024 * 1024;
constexpr std::size_t resumeReadingBelow = 8 * 1024 * 1024;

std::string queueLabel(SocketConnection::Role role) {
    static std::atomic<std::uint64_t> counter{0};
    return TerminalService::helperBundleID() +
           (role == SocketConnection::Role::agent ? ".connection." : ".client-connection.") +
           std::to_string(++counter);
}

// Stands for the reply of one request. The reply is called at most once; a reply dropped
// without being called still answers, with an error, so later responses are not held back
// for ever and the client is not left waiting.
class ReplyToken {
public:
    ReplyToken(std::weak_ptr<SocketConnection> connection, std::uint64_t slot, std::uint32_t msgid,
               std::string method)
        : connection_(std::move(connection)), slot_(slot), msgid_(msgid),
          method_(std::move(method)) {}

    ~ReplyToken() {
        if (called_.load())
            return;
        if (auto connection = connection_.lock()) {
            connection->respond(slot_, TerminalInterfaces::encodeErrorResponse(
                                           msgid_, "The agent dropped the reply to " + method_ +
                                                       " without answering."));
        }
    }

    void answer(std::string result) {
        if (called_.exchange(true)) {
            std::fprintf(stderr, "veltro: the reply to %s was called twice.\n", method_.c_str());
            std::abort();
        }
        if (auto connection = connection_.lock())
            connection->respond(slot_, TerminalInterfaces::encodeResponse(msgid_, result));
    }

private:
    std::weak_ptr<SocketConnection> connection_;
    std::uint64_t slot_;
    std::uint32_t msgid_;
    std::string method_;
    std::atomic<bool> called_{false};
};

// The agent's side of the client's callbacks: each call becomes one notification.
class ClientProxy final : public TerminalClientProtocol {
public:
    explicit ClientProxy(std::weak_ptr<SocketConnection> connection)
        : connection_(std::move(connection)) {}

    void output(UUID id, Bytes data) override {
        if (auto connection = connection_.lock())
            connection->send(TerminalInterfaces::encodeOutput(id, std::move(data)));
    }
    void exited(UUID id, std::int32_t status) override {
        if (auto connection = connection_.lock())
            connection->send(TerminalInterfaces::encodeExited(id, status));
    }
    void folderChanged(UUID id, std::string folder) override {
        if (auto connection = connection_.lock())
            connection->send(TerminalInterfaces::encodeFolderChanged(id, folder));
    }

private:
    std::weak_ptr<SocketConnection> connection_;
};

std::string errorText(const msgpack::object& error) {
    if (error.type == msgpack::type::STR && isValidUTF8({error.via.str.ptr, error.via.str.size}))
        return std::string(error.via.str.ptr, error.via.str.size);
    return "The agent refused the request.";
}

// The client's side of the agent's requests: each call becomes one message, and its reply is
// called when the response comes. An error response answers the call the way a request that
// changed nothing would.
class HelperProxy final : public TerminalHelperProtocol {
public:
    explicit HelperProxy(std::weak_ptr<SocketConnection> connection)
        : connection_(std::move(connection)) {}

    void hello(std::int64_t clientVersion, HelloReply reply) override {
        request(
            [=](std::uint32_t msgid) {
                return TerminalInterfaces::encodeHello(msgid, clientVersion);
            },
            [reply = std::move(reply)](const msgpack::object* error,
                                       const msgpack::object& result) {
                auto version = TerminalInterfaces::decodeHelloResult(result);
                if (error != nullptr || !version)
                    return false;
                reply(*version);
                return true;
            });
    }

    void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment,
                   OpenShellReply reply) override {
        request(
            [=](std::uint32_t msgid) {
                return TerminalInterfaces::encodeOpenShell(msgid, id, columns, rows, folder, shell,
                                                           environment);
            },
            [reply = std::move(reply)](const msgpack::object* error,
                                       const msgpack::object& result) {
                if (error != nullptr) {
                    reply(0, errorText(*error));
                    return true;
                }
                auto answer = TerminalInterfaces::decodeOpenShellResult(result);
                if (!answer)
                    return false;
                reply(answer->first, std::move(answer->second));
                return true;
            });
    }

    void write(UUID id, Bytes data) override {
        if (auto connection = connection_.lock())
            connection->send(TerminalInterfaces::encodeWrite(id, std::move(data)));
    }

    void resize(UUID id, std::int64_t columns, std::int64_t rows) override {
        if (auto connection = connection_.lock())
            connection->send(TerminalInterfaces::encodeResize(id, columns, rows));
    }

    void currentFolder(UUID id, CurrentFolderReply reply) override {
        request(
            [=](std::uint32_t msgid) { return TerminalInterfaces::encodeCurrentFolder(msgid, id); },
            [reply = std::move(reply)](const msgpack::object* error,
                                       const msgpack::object& result) {
                if (error != nullptr) {
                    reply(std::nullopt);
                    return true;
                }
                auto folder = TerminalInterfaces::decodeCurrentFolderResult(result);
                if (!folder)
                    return false;
                reply(std::move(*folder));
                return true;
            });
    }

    void isBusy(UUID id, IsBusyReply reply) override {
        request([=](std::uint32_t msgid) { return TerminalInterfaces::encodeIsBusy(msgid, id); },
                [reply = std::move(reply)](const msgpack::object* error,
                                           const msgpack::object& result) {
                    if (error != nullptr) {
                        reply(false, std::nullopt);
                        return true;
                    }
                    auto busy = TerminalInterfaces::decodeIsBusyResult(result);
                    if (!busy)
                        return false;
                    reply(busy->first, std::move(busy->second));
                    return true;
                });
    }

    void close(UUID id) override {
        if (auto connection = connection_.lock())
            connection->send(TerminalInterfaces::encodeClose(id));
    }

private:
    void request(std::function<EncodedMessage(std::uint32_t)> encode,
                 SocketConnection::ResponseHandler handler) {
        if (auto connection = connection_.lock())
            connection->sendRequest(std::move(encode), std::move(handler));
    }

    std::weak_ptr<SocketConnection> connection_;
};

void setNonBlocking(int fd) {
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

} // namespace

std::shared_ptr<Connection> Connection::connect(const std::string& socketPath,
                                                std::string identifier) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
        throw ConnectionError("Cannot connect to \"" + socketPath +
                              "\": the path is empty or too long for a socket.");
    std::memcpy(address.sun_path, socketPath.data(), socketPath.size());
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        throw ConnectionError("Cannot create a socket for " + socketPath + ": " +
                              std::strerror(errno));
    int result;
    do {
        result =
            ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        throw ConnectionError("Cannot connect to " + socketPath + ": " + std::strerror(errno));
    // Only an agent of our own user may hear what we type.
    std::optional<PeerCredentials> peer = PeerCredentials::of(socket.get());
    if (!peer)
        throw ConnectionError("Cannot tell who listens on " + socketPath + ": " +
                              std::strerror(errno));
    if (peer->uid != ::geteuid())
        throw ConnectionError("Refusing the agent on " + socketPath + ": it runs as user " +
                              std::to_string(peer->uid) + ", not as this user (" +
                              std::to_string(::geteuid()) + ").");
    return SocketConnection::client(std::move(socket), std::move(identifier));
}

std::shared_ptr<Connection> Connection::connect(const Endpoint& endpoint, std::string identifier) {
    std::shared_ptr<Listener> listener = endpoint.listener().lock();
    if (!listener)
        throw ConnectionError("The in-process terminal helper no longer listens.");
    return listener->connectInProcess(std::move(identifier));
}

std::shared_ptr<SocketConnection> SocketConnection::accepted(FileDescriptor socket,
                                                             PeerCredentials peer,
                                                             PeerCheckSettings settings) {
    return std::make_shared<SocketConnection>(Role::agent, std::move(socket), std::move(peer),
                                              std::move(settings));
}

std::shared_ptr<SocketConnection> SocketConnection::client(FileDescriptor socket,
                                                           std::string identifier) {
    auto connection = std::make_shared<SocketConnection>(Role::client, std::move(socket),
                                                         std::nullopt, PeerCheckSettings{});
    // Nobody else can reach the connection yet, so this is its first message.
    connection->enqueue(TerminalInterfaces::encodeIdentify(identifier));
    return connection;
}

SocketConnection::SocketConnection(Role role, FileDescriptor socket,
                                   std::optional<PeerCredentials> peer, PeerCheckSettings settings)
    : role_(role), queue_(queueLabel(role), Executor::connections()), socket_(std::move(socket)),
      peer_(std::move(peer)), settings_(std::move(settings)),
      logger_(TerminalService::helperBundleID(), "connection") {
    setNonBlocking(socket_.get());
}

SocketConnection::~SocketConnection() = default;

void SocketConnection::post(std::function<void()> work) {
    queue_.async([self = std::static_pointer_cast<SocketConnection>(shared_from_this()),
                  work = std::move(work)] { work(); });
}

void SocketConnection::setCodeSigningRequirement(std::string requirement) {
    post([this, requirement = std::move(requirement)] { requirement_ = requirement; });
}

void SocketConnection::setExportedObject(std::shared_ptr<TerminalHelperProtocol> object) {
    post([this, object = std::move(object)] {
        if (state_ != State::ended)
            helperObject_ = object;
    });
}

void SocketConnection::setExportedObject(std::shared_ptr<TerminalClientProtocol> object) {
    post([this, object = std::move(object)] {
        if (state_ != State::ended)
            clientObject_ = object;
    });
}

std::shared_ptr<TerminalClientProtocol> SocketConnection::clientProxy() {
    return std::make_shared<ClientProxy>(
        std::static_pointer_cast<SocketConnection>(shared_from_this()));
}

std::shared_ptr<TerminalHelperProtocol> SocketConnection::helperProxy() {
    return std::make_shared<HelperProxy>(
        std::static_pointer_cast<SocketConnection>(shared_from_this()));
}

void SocketConnection::setInvalidationHandler(std::function<void()> handler) {
    post([this, handler = std::move(handler)] {
        if (state_ != State::ended)
            invalidationHandler_ = handler;
    });
}

void SocketConnection::setInterruptionHandler(std::function<void()> handler) {
    post([this, handler = std::move(handler)] {
        if (state_ != State::ended)
            interruptionHandler_ = handler;
    });
}

void SocketConnection::resume() {
    post([this] { start(); });
}

void SocketConnection::invalidate() {
    post([this] { end(Ending::invalidated); });
}

void SocketConnection::scheduleSendBarrierBlock(std::function<void()> block) {
    post([this, block = std::move(block)] {
        if (state_ == State::ended) {
            block();
            return;
        }
        barriers_.push_back({enqueuedCount_, block});
        runBarriers();
    });
}

void SocketConnection::send(EncodedMessage message) {
    // Boxed so that terminal data is moved, never copied, however the queue stores the work.
    auto box = std::make_shared<EncodedMessage>(std::move(message));
    post([this, box] { enqueue(std::move(*box)); });
}

void SocketConnection::sendRequest(std::function<EncodedMessage(std::uint32_t msgid)> encode,
                                   ResponseHandler handler) {
    post([this, encode = std::move(encode), handler = std::move(handler)] {
        if (state_ == State::ended)
            return;
        std::uint32_t msgid = nextMsgid_++;
        pendingResponses_[msgid] = handler;
        enqueue(encode(msgid));
    });
}

void SocketConnection::respond(std::uint64_t slot, EncodedMessage response) {
    // A reply given while the request is being delivered goes into its slot at once, so a
    // broken message right behind the request cannot end the connection before it.
    if (queue_.isCurrent()) {
        fillSlot(slot, std::move(response));
        return;
    }
    auto box = std::make_shared<EncodedMessage>(std::move(response));
    post([this, slot, box] { fillSlot(slot, std::move(*box)); });
}

void SocketConnection::start() {
    if (state_ != State::configuring)
        return;
    state_ = State::running;
    self_ = std::static_pointer_cast<SocketConnection>(shared_from_this());
    startReading();
    if (role_ == Role::agent)
        startHandshakeTimer();
    flush();
}

void SocketConnection::startReading() {
    reader_ = std::make_unique<ReadSource>(queue_, socket_.get());
    reader_->setEventHandler([this] { readAvailable(); });
    reader_->setCancelHandler([this] { sourceCancelled(); });
    ++pendingCancels_;
    reader_->activate();
}

void SocketConnection::startHandshakeTimer() {
    identifyTimer_ = std::make_unique<TimerSource>(queue_);
    identifyTimer_->setEventHandler([this] {
        if (!identified_)
            end(Ending::refused, "it did not identify itself in time");
    });
    identifyTimer_->setCancelHandler([this] { sourceCancelled(); });
    ++pendingCancels_;
    identifyTimer_->activate();
    identifyTimer_->schedule(std::chrono::steady_clock::now() + settings_.identifyTimeout);
}

void SocketConnection::readAvailable() {
    std::array<std::uint8_t, readChunk> buffer;
    for (int i = 0; i < readsPerEvent && state_ == State::running && !readPaused_; ++i) {
        ssize_t count = ::recv(socket_.get(), buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (count <= 0) {
            end(Ending::peerGone,
                count == 0 ? "the peer closed the connection" : std::strerror(errno));
            return;
        }
        decoder_.append({buffer.data(), static_cast<std::size_t>(count)});
        handleMessages();
    }
}

void SocketConnection::handleMessages() {
    msgpack::object_handle message;
    while (state_ == State::running) {
        switch (decoder_.next(message)) {
        case MessageDecoder::Result::message:
            handle(message.get());
            break;
        case MessageDecoder::Result::needMore:
            return;
        case MessageDecoder::Result::broken:
            end(Ending::broken, decoder_.problem());
            return;
        }
    }
}

void SocketConnection::handle(const msgpack::object& object) {
    std::string problem;
    std::optional<IncomingMessage> message = IncomingMessage::classify(object, problem);
    if (!message) {
        end(Ending::broken, problem);
        return;
    }
    if (role_ == Role::agent)
        handleAsAgent(*message);
    else
        handleAsClient(*message);
}

void SocketConnection::handleAsAgent(const IncomingMessage& message) {
    using Kind = IncomingMessage::Kind;
    if (message.kind == Kind::response) {
        end(Ending::broken, "a client sent a response");
        return;
    }
    bool isIdentify = message.kind == Kind::notification && message.method == "identify";
    if (!identified_) {
        if (!isIdentify) {
            end(Ending::refused, "its first message was not identify");
            return;
        }
        handleIdentify(*message.params);
        return;
    }
    if (isIdentify) {
        end(Ending::refused, "it sent identify a second time");
        return;
    }
    if (message.kind == Kind::request)
        handleRequest(message);
    else
        handleNotification(message);
}

void SocketConnection::handleAsClient(const IncomingMessage& message) {
    using Kind = IncomingMessage::Kind;
    switch (message.kind) {
    case Kind::request:
        end(Ending::broken, "the agent sent a request");
        return;
    case Kind::response:
        handleResponse(message);
        return;
    case Kind::notification:
        handleNotification(message);
        return;
    }
}

void SocketConnection::handleIdentify(const msgpack::object& params) {
    identified_ = true;
    if (identifyTimer_)
        identifyTimer_->cancel();
    std::optional<std::string> declared = TerminalInterfaces::decodeIdentify(params);
    if (!declared) {
        end(Ending::refused, "its identify did not hold exactly one str");
        return;
    }
    PeerIdentity identity = PeerIdentity::of(*declared, peer_ ? peer_->pid : 0,
                                             peer_ ? peer_->pidfd.get() : -1, settings_.procFolder);
    if (!identity.identifier) {
        end(Ending::refused, identity.problem);
        return;
    }
    if (requirement_ && !PeerRequirement::isSatisfied(*requirement_, {*identity.identifier})) {
        end(Ending::refused,
            "its identifier \"" + *identity.identifier + "\" does not meet: " + *requirement_);
        return;
    }
    logger_.info("Accepted " + peerDescription() + " as \"" + *identity.identifier + "\".");
}

void SocketConnection::handleRequest(const IncomingMessage& message) {
    std::uint64_t slot = firstSlot_ + responses_.size();
    responses_.push_back({message.msgid, std::nullopt});
    if (!helperObject_) {
        fillSlot(slot, TerminalInterfaces::encodeErrorResponse(
                           message.msgid, "Nothing answers " + std::string(message.method) + "."));
        return;
    }
    auto token =
        std::make_shared<ReplyToken>(std::static_pointer_cast<SocketConnection>(shared_from_this()),
                                     slot, message.msgid, std::string(message.method));
    // Held here: a reply given during the call may end the connection, which lets go of it.
    std::shared_ptr<TerminalHelperProtocol> object = helperObject_;
    std::optional<std::string> problem = TerminalInterfaces::deliverRequest(
        *object, message.method, *message.params,
        [token](std::string result) { token->answer(std::move(result)); });
    if (problem)
        fillSlot(slot, TerminalInterfaces::encodeErrorResponse(message.msgid, *problem));
}

void SocketConnection::handleNotification(const IncomingMessage& message) {
    std::optional<std::string> problem;
    std::shared_ptr<TerminalHelperProtocol> helper = helperObject_;
    std::shared_ptr<TerminalClientProtocol> client = clientObject_;
    if (role_ == Role::agent && helper)
        problem = TerminalInterfaces::deliverNotification(*helper, message.method, *message.params);
    else if (role_ == Role::client && client)
        problem = TerminalInterfaces::deliverNotification(*client, message.method, *message.params);
    if (problem)
        logger_.error("Dropped a notification from " + peerDescription() + ": " + *problem);
}

void SocketConnection::handleResponse(const IncomingMessage& message) {
    auto pending = pendingResponses_.find(message.msgid);
    if (pending == pendingResponses_.end()) {
        end(Ending::broken, "the agent answered a request that was not made");
        return;
    }
    ResponseHandler handler = std::move(pending->second);
    pendingResponses_.erase(pending);
    const msgpack::object* error =
        message.error->type == msgpack::type::NIL ? nullptr : message.error;
    if (!handler(error, *message.result))
        end(Ending::broken, "the agent answered with a result of the wrong type");
}

void SocketConnection::fillSlot(std::uint64_t slot, EncodedMessage response) {
    if (state_ == State::ended || slot < firstSlot_ || slot - firstSlot_ >= responses_.size())
        return;
    std::optional<EncodedMessage>& entry = responses_[slot - firstSlot_].response;
    // A reply dropped after an error answer was already given changes nothing.
    if (entry)
        return;
    entry = std::move(response);
    sendReadyResponses();
}

void SocketConnection::sendReadyResponses() {
    // Responses leave in the order of their requests, whatever order the replies came in.
    while (!responses_.empty() && responses_.front().response) {
        EncodedMessage response = std::move(*responses_.front().response);
        responses_.pop_front();
        ++firstSlot_;
        enqueue(std::move(response));
    }
}

void SocketConnection::enqueue(EncodedMessage message) {
    if (state_ == State::ended)
        return;
    outgoingBytes_ += message.size();
    outgoing_.push_back({std::move(message), 0});
    ++enqueuedCount_;
    if (state_ == State::running && !waitingToWrite_)
        flush();
    updateReadPause();
}

bool SocketConnection::flush() {
    while (!outgoing_.empty()) {
        std::array<iovec, iovecsPerWrite> vectors{};
        std::size_t used = 0;
        for (std::size_t i = 0; i < outgoing_.size() && used + 2 <= vectors.size(); ++i) {
            Outgoing& entry = outgoing_[i];
            std::string& head = entry.message.head;
            Bytes& tail = entry.message.tail;
            std::size_t skip = i == 0 ? entry.written : 0;
            if (skip < head.size())
                vectors[used++] = {head.data() + skip, head.size() - skip};
            std::size_t tailSkip = skip > head.size() ? skip - head.size() : 0;
            if (tailSkip < tail.size())
                vectors[used++] = {tail.data() + tailSkip, tail.size() - tailSkip};
        }
        msghdr header{};
        header.msg_iov = vectors.data();
        header.msg_iovlen = used;
        ssize_t count = ::sendmsg(socket_.get(), &header, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitUntilWritable();
            return true;
        }
        if (count < 0) {
            end(Ending::peerGone, std::strerror(errno));
            return false;
        }
        auto left = static_cast<std::size_t>(count);
        while (!outgoing_.empty()) {
            Outgoing& entry = outgoing_.front();
            std::size_t rest = entry.message.size() - entry.written;
            if (left < rest) {
                entry.written += left;
                break;
            }
            left -= rest;
            outgoingBytes_ -= entry.message.size();
            outgoing_.pop_front();
            ++writtenCount_;
        }
        runBarriers();
        if (state_ == State::ended)
            return false;
    }
    updateReadPause();
    return true;
}

void SocketConnection::waitUntilWritable() {
    if (waitingToWrite_ || state_ != State::running)
        return;
    waitingToWrite_ = true;
    if (writer_) {
        writer_->resume();
        return;
    }
    writer_ = std::make_unique<WriteSource>(queue_, socket_.get());
    writer_->setEventHandler([this] {
        waitingToWrite_ = false;
        writer_->suspend();
        flush();
    });
    writer_->setCancelHandler([this] { sourceCancelled(); });
    ++pendingCancels_;
    writer_->activate();
}

void SocketConnection::runBarriers() {
    while (!barriers_.empty() && barriers_.front().after <= writtenCount_) {
        std::function<void()> block = std::move(barriers_.front().block);
        barriers_.pop_front();
        block();
    }
}

void SocketConnection::updateReadPause() {
    if (!reader_ || state_ != State::running)
        return;
    if (!readPaused_ && outgoingBytes_ > pauseReadingAbove) {
        readPaused_ = true;
        reader_->suspend();
    } else if (readPaused_ && outgoingBytes_ < resumeReadingBelow) {
        readPaused_ = false;
        reader_->resume();
    }
}

std::string SocketConnection::peerDescription() const {
    if (!peer_)
        return role_ == Role::agent ? "a client" : "the agent";
    return "the client with pid " + std::to_string(peer_->pid);
}

void SocketConnection::end(Ending ending, const std::string& why) {
    if (state_ == State::ended)
        return;
    bool wasRunning = state_ == State::running;
    if (wasRunning && ending != Ending::peerGone) {
        // What was answered before the end still goes out, as far as the socket takes it
        // without waiting.
        flush();
        if (state_ == State::ended)
            return;
    }
    state_ = State::ended;
    if (role_ == Role::agent && (ending == Ending::refused || ending == Ending::broken))
        logger_.error("Ended the connection of " + peerDescription() + ": " + why +
                      (why.ends_with('.') ? "" : "."));
    ::shutdown(socket_.get(), SHUT_RDWR);
    if (reader_)
        reader_->cancel();
    if (writer_)
        writer_->cancel();
    if (identifyTimer_)
        identifyTimer_->cancel();
    outgoing_.clear();
    outgoingBytes_ = 0;
    responses_.clear();
    pendingResponses_.clear();
    helperObject_.reset();
    clientObject_.reset();
    auto barriers = std::move(barriers_);
    barriers_.clear();
    for (auto& barrier : barriers)
        barrier.block();
    auto interruption = std::move(interruptionHandler_);
    auto invalidation = std::move(invalidationHandler_);
    interruptionHandler_ = nullptr;
    invalidationHandler_ = nullptr;
    if (ending == Ending::peerGone && interruption)
        interruption();
    if (invalidation)
        invalidation();
    if (pendingCancels_ == 0)
        sourceCancelled();
}

void SocketConnection::sourceCancelled() {
    if (pendingCancels_ > 0)
        --pendingCancels_;
    if (pendingCancels_ > 0)
        return;
    socket_.reset();
    // Let go from a fresh piece of work: a source's own handler is still running here.
    if (self_)
        queue_.async([self = std::move(self_)] {});
}

} // namespace veltro::xpc
