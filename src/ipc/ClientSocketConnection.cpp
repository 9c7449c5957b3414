#include "ipc/ClientSocketConnection.hpp"

#include "ipc/IncomingMessage.hpp"
#include "ipc/PeerIdentity.hpp"
#include "protocol/TerminalService.hpp"

#include <asio/dispatch.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>

namespace veltro::ipc {

namespace {

std::string errorText(const msgpack::object& error) {
    if (error.type == msgpack::type::STR && isValidUTF8({error.via.str.ptr, error.via.str.size}))
        return std::string(error.via.str.ptr, error.via.str.size);
    return "The agent refused the request.";
}

} // namespace

bool ConnectionError::nothingListens() const {
    return connectError_ == ENOENT || connectError_ == ECONNREFUSED;
}

FileDescriptor connectToAgent(const std::string& socketPath) {
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
    if (result != 0) {
        int error = errno;
        throw ConnectionError("Cannot connect to " + socketPath + ": " + std::strerror(error),
                              error);
    }
    // Only an agent of our own user may hear what we type.
    std::optional<PeerCredentials> peer = PeerCredentials::of(socket.get());
    if (!peer)
        throw ConnectionError("Cannot tell who listens on " + socketPath + ": " +
                              std::strerror(errno));
    if (peer->uid != ::geteuid())
        throw ConnectionError("Refusing the agent on " + socketPath + ": it runs as user " +
                              std::to_string(peer->uid) + ", not as this user (" +
                              std::to_string(::geteuid()) + ").");
    return socket;
}

std::shared_ptr<ClientConnection> ClientConnection::connect(asio::io_context& context,
                                                            const std::string& socketPath,
                                                            std::string identifier) {
    return ClientSocketConnection::make(context, connectToAgent(socketPath), std::move(identifier));
}

std::shared_ptr<ClientSocketConnection> ClientSocketConnection::make(asio::io_context& context,
                                                                     FileDescriptor socket,
                                                                     std::string identifier) {
    std::shared_ptr<ClientSocketConnection> connection;
    try {
        connection = std::make_shared<ClientSocketConnection>(context, std::move(socket));
    } catch (const std::system_error& error) {
        throw ConnectionError(std::string("Cannot watch the connection to the agent: ") +
                              error.what());
    }
    // Nobody else can reach the connection yet, so this is its first message.
    connection->transport_->send(encodeNotification("identify", std::string_view(identifier)));
    return connection;
}

ClientSocketConnection::ClientSocketConnection(asio::io_context& context, FileDescriptor socket)
    : context_(context), transport_(std::make_shared<Transport>(context, std::move(socket))),
      logger_(TerminalService::helperBundleID(), "connection") {}

ClientSocketConnection::~ClientSocketConnection() = default;

template <class Work> void ClientSocketConnection::onLoop(Work&& work) {
    asio::dispatch(context_, [self = shared_from_this(),
                              work = std::forward<Work>(work)]() mutable { work(*self); });
}

void ClientSocketConnection::setHandler(std::shared_ptr<TerminalClientProtocol> object) {
    onLoop([object = std::move(object)](ClientSocketConnection& self) mutable {
        if (self.state_ != State::ended)
            self.handler_ = std::move(object);
    });
}

void ClientSocketConnection::setErrorHandler(
    std::function<void(std::string method, std::string message)> handler) {
    onLoop([handler = std::move(handler)](ClientSocketConnection& self) mutable {
        if (self.state_ != State::ended)
            self.errorHandler_ = std::move(handler);
    });
}

void ClientSocketConnection::setDisconnectHandler(std::function<void(std::string)> handler) {
    onLoop([handler = std::move(handler)](ClientSocketConnection& self) mutable {
        if (self.state_ != State::ended)
            self.disconnectHandler_ = std::move(handler);
    });
}

void ClientSocketConnection::resume() {
    onLoop([](ClientSocketConnection& self) {
        if (self.state_ != State::configuring)
            return;
        self.state_ = State::running;
        self.transport_->start(self.shared_from_this());
    });
}

void ClientSocketConnection::disconnect() {
    onLoop([](ClientSocketConnection& self) {
        if (self.state_ == State::ended)
            return;
        self.transport_->finish();
        self.ended();
    });
}

void ClientSocketConnection::addWriteBarrier(std::function<void()> block) {
    onLoop([block = std::move(block)](ClientSocketConnection& self) mutable {
        self.transport_->writeBarrier(std::move(block));
    });
}

template <class... Values>
void ClientSocketConnection::request(std::string_view method, ResponseHandler handler,
                                     const Values&... values) {
    std::uint32_t msgid = nextMsgid_++;
    onLoop([msgid, method, message = encodeRequest(msgid, method, values...),
            handler = std::move(handler)](ClientSocketConnection& self) mutable {
        if (self.state_ == State::ended)
            return;
        self.pending_[msgid] = {findMethod(Direction::toAgent, method), std::move(handler)};
        self.transport_->send(std::move(message));
    });
}

void ClientSocketConnection::send(std::string message) {
    onLoop([message = std::move(message)](ClientSocketConnection& self) mutable {
        self.transport_->send(std::move(message));
    });
}

void ClientSocketConnection::hello(std::int64_t clientVersion, HelloReply reply) {
    request(
        "hello",
        [reply = std::move(reply)](const WireValues* result, std::string) {
            if (!result)
                return false;
            reply(result->int64(0));
            return true;
        },
        clientVersion);
}

void ClientSocketConnection::openShell(UUID id, std::int64_t columns, std::int64_t rows,
                                       std::string folder, std::optional<std::string> shell,
                                       Environment environment, ShellOptions options,
                                       OpenShellReply reply) {
    ResponseHandler handler = [reply = std::move(reply)](const WireValues* result,
                                                         std::string error) {
        if (result)
            reply(result->int32(0), result->optionalString(1));
        else
            reply(0, std::move(error));
        return true;
    };
    // Without options the open is version 1's, which an agent of any version takes.
    if (options.isDefault())
        request("openShell", std::move(handler), id, columns, rows, std::string_view(folder), shell,
                environment);
    else
        request("openShell", std::move(handler), id, columns, rows, std::string_view(folder), shell,
                environment, options);
}

void ClientSocketConnection::write(UUID id, Bytes data) {
    MessageHead head = encodeDataHead("write", id, data.size());
    onLoop([head, data = std::move(data)](ClientSocketConnection& self) mutable {
        self.transport_->send(head, std::move(data));
    });
}

void ClientSocketConnection::resize(UUID id, std::int64_t columns, std::int64_t rows) {
    send(encodeNotification("resize", id, columns, rows));
}

void ClientSocketConnection::currentFolder(UUID id, CurrentFolderReply reply) {
    request(
        "currentFolder",
        [reply = std::move(reply)](const WireValues* result, std::string) {
            reply(result ? result->optionalString(0) : std::nullopt);
            return true;
        },
        id);
}

void ClientSocketConnection::isBusy(UUID id, IsBusyReply reply) {
    request(
        "isBusy",
        [reply = std::move(reply)](const WireValues* result, std::string) {
            if (result)
                reply(result->boolean(0), result->optionalString(1));
            else
                reply(false, std::nullopt);
            return true;
        },
        id);
}

void ClientSocketConnection::close(UUID id) {
    send(encodeNotification("close", id));
}

void ClientSocketConnection::attach(UUID id, std::optional<std::int64_t> from, std::int64_t columns,
                                    std::int64_t rows, AttachReply reply) {
    request(
        "attach",
        [reply = std::move(reply)](const WireValues* result, std::string error) {
            if (result)
                reply(result->int32(0), result->int64(1), result->optionalString(2));
            else
                reply(0, 0, std::move(error));
            return true;
        },
        id, from, columns, rows);
}

void ClientSocketConnection::detach(UUID id) {
    send(encodeNotification("detach", id));
}

void ClientSocketConnection::list(ListReply reply) {
    // An agent without kept shells answers with an error: it has none to list.
    request("list", [reply = std::move(reply)](const WireValues* result, std::string) {
        reply(result ? result->keptShells(0) : std::vector<KeptShellInfo>());
        return true;
    });
}

void ClientSocketConnection::commands(UUID id, CommandsReply reply) {
    // An agent without marks answers with an error: it has no commands to tell.
    request(
        "commands",
        [reply = std::move(reply)](const WireValues* result, std::string) {
            reply(result ? result->commands(0) : std::vector<CommandInfo>());
            return true;
        },
        id);
}

void ClientSocketConnection::received(const msgpack::object& object) {
    std::string problem;
    std::optional<IncomingMessage> message = IncomingMessage::classify(object, problem);
    if (!message) {
        end(problem);
        return;
    }
    switch (message->kind) {
    case IncomingMessage::Kind::request:
        end("The agent sent a request.");
        return;
    case IncomingMessage::Kind::response:
        response(*message);
        return;
    case IncomingMessage::Kind::notification:
        notification(*message);
        return;
    }
}

void ClientSocketConnection::response(const IncomingMessage& message) {
    auto found = pending_.find(message.msgid);
    if (found == pending_.end()) {
        end("The agent answered a request that was not made.");
        return;
    }
    Pending pending = std::move(found->second);
    pending_.erase(found);
    bool answered = false;
    if (message.error->type != msgpack::type::NIL) {
        answered = pending.handler(nullptr, errorText(*message.error));
    } else if (auto result = checkedResult(*pending.method, *message.result)) {
        answered = pending.handler(&*result, {});
    }
    if (!answered)
        end("The agent answered " + std::string(pending.method->name) +
            " with a result of the wrong type.");
}

void ClientSocketConnection::notification(const IncomingMessage& message) {
    // Notifications of later versions are not ours to judge.
    if (!findMethod(Direction::toClient, message.method))
        return;
    std::string problem;
    const WireMethod* method = checkedMethod(Direction::toClient, MessageKind::notification,
                                             message.method, *message.params, problem);
    if (!method) {
        logger_.error("Dropped a notification from the agent: " + problem);
        return;
    }
    WireValues values(message.params->via.array.ptr, message.params->via.array.size);
    if (method->name == "closing") {
        closingReason_ = values.string(0);
    } else if (method->name == "error") {
        if (auto handler = errorHandler_)
            handler(values.string(0), values.string(1));
    } else if (auto object = handler_; object && method->toClient) {
        method->toClient(*object, values);
    }
}

void ClientSocketConnection::broken(const std::string& problem) {
    end(problem);
}

void ClientSocketConnection::peerGone(const std::string&) {
    ended();
}

void ClientSocketConnection::end(const std::string& problem) {
    if (state_ == State::ended)
        return;
    logger_.error("Ended the connection to the agent: " + problem);
    transport_->close();
    ended();
}

void ClientSocketConnection::ended() {
    if (state_ == State::ended)
        return;
    state_ = State::ended;
    pending_.clear();
    handler_.reset();
    errorHandler_ = nullptr;
    std::function<void(std::string)> handler = std::move(disconnectHandler_);
    if (handler)
        handler(closingReason_);
}

} // namespace veltro::ipc
