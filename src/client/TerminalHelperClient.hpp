#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/UUID.hpp"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace veltro::ipc {
class Endpoint;
} // namespace veltro::ipc

namespace veltro {

class EventLoop;

// An agent reached over ssh: `ssh [options...] -T HOST -- COMMAND`, the protocol on ssh's
// standard input and output. ssh authenticates the user on the host; its own configuration
// (~/.ssh/config) applies as usual.
struct SSHDestination {
    // [USER@]HOST, or a name of the ssh configuration.
    std::string host;
    // ssh's own options as they are given to it, such as "-p2222" or "-oBatchMode=yes".
    std::vector<std::string> options;
    // What runs on the host; defaultCommand when none.
    std::optional<std::string> command;

    // The agent's proxy, under ~/.local/bin where a per-user install puts it or else on the
    // PATH. `sh -c` gives it the same meaning whatever the user's login shell is (fish too).
    static constexpr const char* defaultCommand =
        "sh -c 'p=\"$HOME/.local/bin/veltro-terminal-helper\"; [ -x \"$p\" ] || "
        "p=veltro-terminal-helper; exec \"$p\" --proxy'";
};

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
        // Another connection attached this kept shell; nothing more about it comes here.
        std::function<void(const UUID& id, const std::string& reason)> detached;
        // A shell opened with marks started or finished a command; `offset` is that of the
        // output byte right after the mark, which has reached `output` before. `milliseconds`
        // is 0 when no start was marked.
        std::function<void(const UUID& id, std::int64_t offset,
                           const std::optional<std::string>& commandLine)>
            commandStarted;
        std::function<void(const UUID& id, std::int64_t offset,
                           std::optional<std::int64_t> exitCode, std::int64_t milliseconds)>
            commandFinished;
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

    struct AttachResult {
        std::int32_t pid = 0;
        // The offset of the first byte that follows; more than `from` when bytes before it are
        // no longer kept.
        std::int64_t offset = 0;
        std::optional<std::string> error;
    };

    using KeptShell = KeptShellInfo;
    using Command = CommandInfo;

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
    // Reaches the agent of the user on a host through ssh, which runs as a child of this
    // process until the connection ends and is reaped by the destructor. Throws
    // ipc::ConnectionError naming the host: ssh cannot be started, or it ended (its exit
    // status said) before the agent answered.
    static std::shared_ptr<TerminalHelperClient> connect(EventLoop& loop, Handler handler,
                                                         const SSHDestination& destination,
                                                         const std::string& identifier = {});

    ~TerminalHelperClient();

    // The agent's protocol version, from the hello exchange at connect.
    std::int64_t agentVersion() const;

    std::int64_t hello(std::int64_t clientVersion);
    // `options` with a keep period opens a kept shell, which outlives this connection (needs an
    // agent of version 2); the default options work with any agent.
    OpenResult openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                         const std::string& folder, const std::optional<std::string>& shell,
                         const Environment& environment, const ShellOptions& options = {});
    std::optional<std::string> currentFolder(const UUID& id);
    Busy isBusy(const UUID& id);
    // Takes a kept shell of our identifier onto this connection at `columns` x `rows`; its
    // output follows from `from`, or from the oldest byte kept when none.
    AttachResult attach(const UUID& id, std::optional<std::int64_t> from, std::int64_t columns,
                        std::int64_t rows);
    // The kept shells of our identifier, attached or not.
    std::vector<KeptShell> list();
    // The last commands of a shell opened with marks, oldest first; empty for any other shell
    // or an agent without marks.
    std::vector<Command> commands(const UUID& id);

    // Asynchronous form: the callback runs on the event loop, or never when the connection ends
    // first.
    void openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                   const std::string& folder, const std::optional<std::string>& shell,
                   const Environment& environment, std::function<void(OpenResult)> done);
    void openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                   const std::string& folder, const std::optional<std::string>& shell,
                   const Environment& environment, const ShellOptions& options,
                   std::function<void(OpenResult)> done);

    void write(const UUID& id, Bytes data);
    void resize(const UUID& id, std::int64_t columns, std::int64_t rows);
    void close(const UUID& id);
    // Leaves a kept shell of this connection running, waiting for an attach.
    void detach(const UUID& id);

    // How many bytes of a shell's output this client has received: the offset of the next byte,
    // counting the chunk an `output` handler is given. It starts at 0 when a shell is opened and
    // at the answer's offset when one is attached, so a client that attaches again from it
    // misses and repeats nothing. None for a shell this connection has not had or that exited.
    std::optional<std::int64_t> offset(const UUID& id) const;

    // Ends the connection once what was sent has been written (or after writtenTimeout); the
    // agent closes every shell of it and detaches the kept ones.
    void disconnect();
    static constexpr std::chrono::seconds writtenTimeout{2};

    struct State;

private:
    explicit TerminalHelperClient(std::shared_ptr<State> state);
    void awaitWritten();
    std::shared_ptr<State> state_;
};

} // namespace veltro
