#pragma once

#include "protocol/TerminalClientProtocol.hpp"
#include "protocol/TerminalHelperProtocol.hpp"

#include <asio/io_context.hpp>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

namespace veltro::ipc {

// Failure to reach an agent: the text names the socket (or runtime folder) and the reason.
class ConnectionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
    ConnectionError(const std::string& text, int connectError)
        : std::runtime_error(text), connectError_(connectError) {}

    // Whether the connect found nobody there: no socket file, or nothing accepting on it. An
    // agent started now could listen there; any other failure would stop it as well.
    bool nothingListens() const;

private:
    int connectError_ = 0;
};

// A client's end of a connection to the agent. It is the remote object itself: its
// TerminalHelperProtocol calls become messages, in the order they are made, from any thread.
// `identify` goes out before anything else. Replies and the handler's calls run on the
// event loop, in order; a reply is never called when the connection ends first.
class ClientConnection : public TerminalHelperProtocol {
public:
    // Connects to the agent's socket; the connection lives on the loop that runs `context`.
    // Throws ConnectionError naming the socket and the reason.
    static std::shared_ptr<ClientConnection>
    connect(asio::io_context& context, const std::string& socketPath, std::string identifier);

    // What the agent may call. Set before resume().
    virtual void setHandler(std::shared_ptr<TerminalClientProtocol> object) = 0;
    // The agent's `error` notification: a notification of ours it did not carry out.
    virtual void setErrorHandler(std::function<void(std::string method, std::string message)>) = 0;
    // Runs once, on the loop, when the connection has ended; `reason` is what the agent said
    // in `closing`, or empty.
    virtual void setDisconnectHandler(std::function<void(std::string reason)> handler) = 0;
    virtual void resume() = 0;
    virtual void disconnect() = 0;

    // Runs `block` once, on the loop, after every message sent before this call has been
    // written in full; at once when the connection has ended.
    virtual void addWriteBarrier(std::function<void()> block) = 0;

    // Version 1's open, understood by every agent: default options go out as no options at all.
    using TerminalHelperProtocol::openShell;
    void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment,
                   OpenShellReply reply) {
        openShell(id, columns, rows, std::move(folder), std::move(shell), std::move(environment),
                  ShellOptions{}, std::move(reply));
    }
};

} // namespace veltro::ipc
