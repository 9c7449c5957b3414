#pragma once

#include "ipc/AgentConnection.hpp"
#include "ipc/ClientConnection.hpp"
#include "ipc/ListeningSocket.hpp"
#include "platform/FileDescriptor.hpp"

#include <chrono>
#include <memory>
#include <string>

namespace veltro {
class EventLoop;
} // namespace veltro

namespace veltro::ipc {

class Listener;

class ListenerDelegate {
public:
    virtual ~ListenerDelegate() = default;
    // Called on the event loop for each new connection whose peer runs as our user. Configure
    // and resume the connection here; answering false ends it.
    virtual bool shouldAcceptNewConnection(Listener& listener,
                                           const std::shared_ptr<AgentConnection>& connection) = 0;
};

// How an in-process client reaches an anonymous listener. It does not keep the listener alive.
class Endpoint {
public:
    explicit Endpoint(std::weak_ptr<Listener> listener) : listener_(std::move(listener)) {}
    const std::weak_ptr<Listener>& listener() const { return listener_; }

private:
    std::weak_ptr<Listener> listener_;
};

// Accepts connections on the event loop and hands each, after the user-id check, to its
// delegate.
class Listener : public std::enable_shared_from_this<Listener> {
public:
    // On a listening socket, one handed over by the service manager or bound by bind().
    // `ownsPath`: remove this socket file when the listener ends.
    static std::shared_ptr<Listener> listening(EventLoop& loop, FileDescriptor socket,
                                               std::string ownsPath = {});
    // An in-process listener reached only through endpoint(), over socket pairs.
    static std::shared_ptr<Listener> anonymous(EventLoop& loop);

    virtual ~Listener() = default;

    // Not retained: whoever sets the delegate keeps it alive.
    virtual void setDelegate(ListenerDelegate* delegate) = 0;
    virtual Endpoint endpoint() = 0;
    virtual void resume() = 0;
    // Accepts nothing further; connections already made go on.
    virtual void stop() = 0;
    // How long a new connection may take to identify itself before it is ended (10 seconds).
    // Applies to connections accepted afterwards; tests shorten it.
    virtual void setIdentifyTimeout(std::chrono::steady_clock::duration timeout) = 0;
    // A new connection pair for an in-process client; returns the client's end, which lives on
    // the loop that runs `clientContext`.
    virtual std::shared_ptr<ClientConnection> connectInProcess(asio::io_context& clientContext,
                                                               std::string identifier) = 0;
};

// Connects to an in-process listener from the loop that runs `context`. Throws ConnectionError
// when the listener is gone.
std::shared_ptr<ClientConnection> connect(asio::io_context& context, const Endpoint& endpoint,
                                          std::string identifier);

} // namespace veltro::ipc
