#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace veltro::ipc {
class Endpoint;
} // namespace veltro::ipc

namespace veltro {

class EventLoop;

// The connection ended while a reply was awaited.
class ConnectionEnded : public std::runtime_error {
public:
    ConnectionEnded() : std::runtime_error("The connection to the terminal helper has ended.") {}
};

// What a Linux client application links to talk to the agent: connects, identifies itself,
// says hello, and offers every request and notification of the protocol. Its members may be
// called from any thread. Messages from the agent reach the handler on the event loop the
// client was given, in order, and never once the client has been destroyed. That loop must
// outlive the client: destroy the client, then the loop, and nothing of the connection is left
// running.
//
// The blocking calls wait for their reply and throw ConnectionEnded if the connection ends
// first; they must not be called from inside a handler.
class TerminalHelperClient {
public:
    struct Handler {
        std::function<void(const UUID& id, Bytes data)> output;
        std::function<void(const UUID& id, std::int32_t status)> exited;
        std::function<void(const UUID& id, const std::string& folder)> folderChanged;
        // The agent did not carry out a notification of ours (a bad argument, say): which, and
        // why. The connection goes on.
        std::function<void(const std::string& method, const std::string& message)> error;
        // The connection has ended, for whatever reason; `reason` is what the agent said before
        // it closed the connection, or empty. Called once.
        std::function<void(const std::string& reason)> disconnected;
    };

    struct OpenResult {
        std::int32_t pid = 0;
        std::optional<std::string> error;
    };

    struct Busy {
        bool busy = false;
        std::optional<std::string> name;
    };

    // Connects to the agent's socket (TerminalService::socketPath() when empty), sends
    // `identify` with `identifier` and `hello`, and checks that the agent runs as our user.
    // Throws ipc::ConnectionError naming the socket and the reason.
    static std::shared_ptr<TerminalHelperClient> connect(EventLoop& loop, Handler handler,
                                                         const std::string& socketPath = {},
                                                         const std::string& identifier = {});
    static std::shared_ptr<TerminalHelperClient> connect(EventLoop& loop, Handler handler,
                                                         const ipc::Endpoint& endpoint,
                                                         const std::string& identifier = {});

    ~TerminalHelperClient();

    // The agent's protocol version, from the hello exchange at connect.
    std::int64_t agentVersion() const;

    std::int64_t hello(std::int64_t clientVersion);
    OpenResult openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                         const std::string& folder, const std::optional<std::string>& shell,
                         const Environment& environment);
    std::optional<std::string> currentFolder(const UUID& id);
    Busy isBusy(const UUID& id);

    // Asynchronous form: the callback runs on the event loop, or never when the connection ends
    // first.
    void openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                   const std::string& folder, const std::optional<std::string>& shell,
                   const Environment& environment, std::function<void(OpenResult)> done);

    void write(const UUID& id, Bytes data);
    void resize(const UUID& id, std::int64_t columns, std::int64_t rows);
    void close(const UUID& id);

    // Ends the connection; the agent closes every shell of it.
    void disconnect();

    struct State;

private:
    explicit TerminalHelperClient(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

} // namespace veltro
