#pragma once

#include "protocol/TerminalClientProtocol.hpp"
#include "protocol/TerminalHelperProtocol.hpp"

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace veltro::xpc {

class Endpoint;

// Failure to reach an agent: the text names the socket (or runtime folder) and the reason.
class ConnectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One end of a MessagePack-RPC stream over a Unix socket.
//
// Configure it, then resume(): nothing is read or delivered before. Incoming messages reach the
// exported object one at a time, in order, on the connection's own serial queue (on the
// connection executor). Outgoing messages leave in the order they were sent, from one queue.
// The connection keeps itself alive while it runs and lets go of its exported object, its
// handlers and itself once it has ended; anything that only reports on it (a client link)
// holds it weakly.
//
// On the agent's side the connection expects `identify` first and checks the peer before it
// delivers anything: the user id at accept, then the requirement, if one was set, against the
// peer's identifier. On the client's side it sends `identify` itself as its first message.
class Connection : public std::enable_shared_from_this<Connection> {
public:
    // Client side. The identifier goes out in `identify` before anything else.
    static std::shared_ptr<Connection> connect(const std::string& socketPath,
                                               std::string identifier);
    static std::shared_ptr<Connection> connect(const Endpoint& endpoint, std::string identifier);

    virtual ~Connection() = default;

    // Agent side: the requirement the peer must meet (see PeerRequirement).
    virtual void setCodeSigningRequirement(std::string requirement) = 0;

    // What the peer may call. The agent exports a TerminalHelperProtocol, a client a
    // TerminalClientProtocol; each decodes and checks incoming messages by its interface.
    virtual void setExportedObject(std::shared_ptr<TerminalHelperProtocol> object) = 0;
    virtual void setExportedObject(std::shared_ptr<TerminalClientProtocol> object) = 0;

    // A proxy whose calls become messages on this connection. A fresh one per message is
    // cheap. Calls on a proxy of an ended connection are dropped (replies are never called).
    virtual std::shared_ptr<TerminalClientProtocol> clientProxy() = 0;
    virtual std::shared_ptr<TerminalHelperProtocol> helperProxy() = 0;

    // Either may run, both may run, on any thread; each at most once.
    virtual void setInvalidationHandler(std::function<void()> handler) = 0;
    virtual void setInterruptionHandler(std::function<void()> handler) = 0;

    virtual void resume() = 0;
    virtual void invalidate() = 0;

    // Runs `block` once, on a connection thread, after every message sent before this call has
    // been written to the socket in full. When the connection ends first, pending blocks run
    // at once, so a waiting sender is never left hanging.
    virtual void scheduleSendBarrierBlock(std::function<void()> block) = 0;
};

} // namespace veltro::xpc
