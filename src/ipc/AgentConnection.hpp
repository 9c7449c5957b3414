#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/UUID.hpp"

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace veltro::ipc {

// The agent's end of one client connection.
//
// Configure it, then resume(): nothing is read or delivered before. The connection expects
// `identify` first and checks the peer before it delivers anything (the user id at accept, then
// the requirement, if one was set, against the peer's identifier). Incoming messages reach the
// handler one at a time, in order, on the event loop; outgoing messages leave in the
// order they were sent. Every member must be called on the loop.
//
// The connection keeps itself alive while it runs and lets go of its handler, its
// handler and itself once it has ended; whoever only reports on it holds it weakly.
class AgentConnection {
public:
    virtual ~AgentConnection() = default;

    // The requirement the peer must meet (see PeerRequirement).
    virtual void setPeerRequirement(std::string requirement) = 0;
    virtual void setHandler(std::shared_ptr<TerminalHelperProtocol> object) = 0;
    // Runs once, on the loop, when the connection has ended for whatever reason.
    virtual void setDisconnectHandler(std::function<void()> handler) = 0;
    virtual void resume() = 0;
    virtual void disconnect() = 0;

    // Stops and restarts reading the socket, counted: reading goes on once every suspension
    // has been resumed. Replies and output are still written meanwhile.
    virtual void suspendReading() = 0;
    virtual void resumeReading() = 0;

    // The peer's process id as the kernel saw it at connect, for logs.
    virtual pid_t peerPid() const = 0;
    // The identifier the peer was accepted as; empty until then, which no request precedes.
    virtual const std::string& peerIdentifier() const = 0;

    // The messages of TerminalClientProtocol. `onWritten` runs on the loop once the message
    // has been written to the socket in full, or at once when the connection has ended; the
    // bytes of `data` must stay valid until then.
    virtual void output(const UUID& id, ByteView data, std::function<void()> onWritten) = 0;
    virtual void exited(const UUID& id, std::int32_t status) = 0;
    virtual void folderChanged(const UUID& id, std::string_view folder) = 0;
    virtual void detached(const UUID& id, std::string_view reason) = 0;
    virtual void commandStarted(const UUID& id, std::int64_t offset,
                                const std::optional<std::string>& commandLine) = 0;
    virtual void commandFinished(const UUID& id, std::int64_t offset,
                                 std::optional<std::int64_t> exitCode,
                                 std::int64_t milliseconds) = 0;
    // A notification of the peer's that was not carried out, and why.
    virtual void error(std::string_view method, std::string_view message) = 0;

    // Runs `block` once, on the loop, when every request received so far has had its response
    // sent (responses keep the order of their requests, so one may wait behind a slow one);
    // never when the connection ends first.
    virtual void afterResponses(std::function<void()> block) = 0;

    // Runs `block` once, on the loop, after every message sent before this call has been
    // written in full; at once when the connection has ended.
    virtual void addWriteBarrier(std::function<void()> block) = 0;
};

} // namespace veltro::ipc
