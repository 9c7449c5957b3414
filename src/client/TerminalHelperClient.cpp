#include "client/TerminalHelperClient.hpp"

#include "client/SSHProcess.hpp"
#include "ipc/ClientSocketConnection.hpp"
#include "ipc/Listener.hpp"
#include "platform/EventLoop.hpp"
#include "platform/StopProgram.hpp"
#include "protocol/TerminalService.hpp"

#include <algorithm>
#include <future>
#include <map>
#include <mutex>

namespace veltro {

namespace {

// Larger writes go out as several messages: the agent refuses messages past 64 MiB, and the
// bytes form one stream whatever their cut.
constexpr std::size_t writeChunkLimit = 16 * 1024 * 1024;

std::string identifierOrDefault(const std::string& identifier) {
    return identifier.empty() ? TerminalService::veltroBundleID() : identifier;
}

} // namespace

// What the agent's messages reach, and what blocking calls wait on. It lives on the event loop:
// the connection calls it there, and the client's own members go there first.
struct TerminalHelperClient::State final : TerminalClientProtocol,
                                           std::enable_shared_from_this<State> {
    State(EventLoop& loop, Handler handler) : loop(loop), handler(std::move(handler)) {}

    void output(UUID id, Bytes data) override {
        {
            std::lock_guard guard(offsetsMutex);
            offsets[id] += static_cast<std::int64_t>(data.size());
        }
        if (!released && handler.output)
            handler.output(id, std::move(data));
    }
    void exited(UUID id, std::int32_t status) override {
        {
            std::lock_guard guard(offsetsMutex);
            offsets.erase(id);
        }
        if (!released && handler.exited)
            handler.exited(id, status);
    }
    void detached(UUID id, std::string reason) override {
        if (!released && handler.detached)
            handler.detached(id, reason);
    }
    void commandStarted(UUID id, std::int64_t offset,
                        std::optional<std::string> commandLine) override {
        if (!released && handler.commandStarted)
            handler.commandStarted(id, offset, commandLine);
    }
    void commandFinished(UUID id, std::int64_t offset, std::optional<std::int64_t> exitCode,
                         std::int64_t milliseconds) override {
        if (!released && handler.commandFinished)
            handler.commandFinished(id, offset, exitCode, milliseconds);
    }

    // Where the output of a shell that is now ours goes on from. A new shell's output counts
    // from 0, even when some of it came before the answer to its opening.
    void startOutput(const UUID& id, std::int64_t offset) {
        std::lock_guard guard(offsetsMutex);
        offsets[id] = offset;
    }
    void startNewOutput(const UUID& id) {
        std::lock_guard guard(offsetsMutex);
        offsets.try_emplace(id, 0);
    }
    std::optional<std::int64_t> offset(const UUID& id) {
        std::lock_guard guard(offsetsMutex);
        auto found = offsets.find(id);
        return found == offsets.end() ? std::nullopt : std::optional(found->second);
    }
    void folderChanged(UUID id, std::string folder) override {
        if (!released && handler.folderChanged)
            handler.folderChanged(id, folder);
    }

    void ended(const std::string& reason) {
        if (std::exchange(isEnded, true))
            return;
        for (auto& [key, wake] : std::exchange(waiters, {}))
            wake();
        // ssh ends with the connection; it is reaped aside, as it may take a moment to end.
        if (ssh)
            loop.offload([ssh = ssh] { (void)ssh->finish(writtenTimeout); }, [] {});
        if (!released && handler.disconnected)
            handler.disconnected(reason);
    }

    void attach(std::shared_ptr<ipc::ClientConnection> made) {
        connection = std::move(made);
        connection->setHandler(shared_from_this());
        connection->setErrorHandler(
            [weak = weak_from_this()](std::string method, std::string message) {
                auto self = weak.lock();
                if (self && !self->released && self->handler.error)
                    self->handler.error(method, message);
            });
        connection->setDisconnectHandler([weak = weak_from_this()](std::string reason) {
            if (auto self = weak.lock())
                self->ended(reason);
        });
        connection->resume();
    }

    // Starts a request on the loop with `start(answer)` and waits for the answer; throws
    // ConnectionEnded when the connection ends first.
    template <class T, class Start> T wait(Start start) {
        if (loop.isCurrent())
            stopProgram("a blocking call of TerminalHelperClient from the event loop would wait "
                        "forever");
        std::promise<std::optional<T>> promise;
        auto answer = promise.get_future();
        loop.post([&, self = shared_from_this()] {
            if (isEnded) {
                promise.set_value(std::nullopt);
                return;
            }
            std::uint64_t key = nextKey++;
            waiters.emplace(key, [&promise] { promise.set_value(std::nullopt); });
            start([this, self, key, &promise](T value) {
                if (waiters.erase(key))
                    promise.set_value(std::move(value));
            });
        });
        std::optional<T> value = answer.get();
        if (!value)
            throw ConnectionEnded();
        return std::move(*value);
    }

    EventLoop& loop;
    Handler handler;
    std::shared_ptr<ipc::ClientConnection> connection;
    std::int64_t agentVersion = 0;
    bool released = false;
    bool isEnded = false;
    std::uint64_t nextKey = 0;
    std::map<std::uint64_t, std::function<void()>> waiters;
    // Written on the loop, read from any thread.
    std::mutex offsetsMutex;
    std::map<UUID, std::int64_t> offsets;
    // The ssh that carries the connection, when one does. Set before the connection starts.
    std::shared_ptr<SSHProcess> ssh;
};

std::shared_ptr<TerminalHelperClient> TerminalHelperClient::connect(EventLoop& loop,
                                                                    Handler handler,
                                                                    const std::string& socketPath,
                                                                    const std::string& identifier) {
    std::string path = socketPath;
    if (path.empty()) {
        try {
            path = TerminalService::socketPath();
        } catch (const std::exception& error) {
            throw ipc::ConnectionError(error.what());
        }
    }
    auto state = std::make_shared<State>(loop, std::move(handler));
    auto connection =
        ipc::ClientConnection::connect(loop.context(), path, identifierOrDefault(identifier));
    loop.sync([&] { state->attach(std::move(connection)); });
    std::shared_ptr<TerminalHelperClient> client(new TerminalHelperClient(state));
    try {
        state->agentVersion = client->hello(TerminalService::protocolVersion);
    } catch (const ConnectionEnded&) {
        throw ipc::ConnectionError("The agent on " + path +
                                   " ended the connection before it said hello; it may have "
                                   "refused this client.");
    }
    return client;
}

std::shared_ptr<TerminalHelperClient> TerminalHelperClient::connect(EventLoop& loop,
                                                                    Handler handler,
                                                                    const ipc::Endpoint& endpoint,
                                                                    const std::string& identifier) {
    auto state = std::make_shared<State>(loop, std::move(handler));
    loop.sync([&] {
        state->attach(ipc::connect(loop.context(), endpoint, identifierOrDefault(identifier)));
    });
    std::shared_ptr<TerminalHelperClient> client(new TerminalHelperClient(state));
    try {
        state->agentVersion = client->hello(TerminalService::protocolVersion);
    } catch (const ConnectionEnded&) {
        throw ipc::ConnectionError("The in-process terminal helper ended the connection before "
                                   "it said hello.");
    }
    return client;
}

std::shared_ptr<TerminalHelperClient>
TerminalHelperClient::connect(EventLoop& loop, Handler handler, const SSHDestination& destination,
                              const std::string& identifier) {
    SSHProcess::Started ssh = SSHProcess::start(destination);
    auto state = std::make_shared<State>(loop, std::move(handler));
    state->ssh = std::move(ssh.process);
    auto connection = ipc::ClientSocketConnection::make(loop.context(), std::move(ssh.socket),
                                                        identifierOrDefault(identifier));
    loop.sync([&] { state->attach(std::move(connection)); });
    std::shared_ptr<TerminalHelperClient> client(new TerminalHelperClient(state));
    try {
        state->agentVersion = client->hello(TerminalService::protocolVersion);
    } catch (const ConnectionEnded&) {
        // ssh's own message, on the standard error we share, says more.
        std::string ended = state->ssh->finish(writtenTimeout);
        // The remote shell's word for a command it cannot find.
        std::string hint = ended == "exit status 127"
                               ? " The command that reaches the agent was not found there; is "
                                 "veltro-terminal-helper installed on that host?"
                               : "";
        throw ipc::ConnectionError("ssh to " + destination.host + " ended (" + ended +
                                   ") before the agent there said hello." + hint);
    }
    return client;
}

TerminalHelperClient::TerminalHelperClient(std::shared_ptr<State> state)
    : state_(std::move(state)) {}

// Waits for the loop, so no handler runs once the client is gone.
TerminalHelperClient::~TerminalHelperClient() {
    awaitWritten();
    state_->loop.sync([state = state_] {
        state->released = true;
        state->connection->disconnect();
    });
    // Its standard input is closed now, so ssh ends once it has delivered what it was given.
    if (state_->ssh)
        (void)state_->ssh->finish(writtenTimeout);
}

// What was sent before the end goes out before it. A `close` that never reached the agent would
// leave its shell running (a kept one detached rather than closed), and a connection whose
// messages still wait when the owner stops its loop is never closed at all, so the agent would
// keep its shells for as long as this process lives. An agent that does not read holds the
// caller for a short while at most; from the loop itself there is nothing to wait for.
void TerminalHelperClient::awaitWritten() {
    if (state_->loop.isCurrent())
        return;
    auto written = std::make_shared<std::promise<void>>();
    std::future<void> done = written->get_future();
    state_->connection->addWriteBarrier([written] { written->set_value(); });
    (void)done.wait_for(writtenTimeout);
}

std::int64_t TerminalHelperClient::agentVersion() const {
    return state_->agentVersion;
}

std::int64_t TerminalHelperClient::hello(std::int64_t clientVersion) {
    return state_->wait<std::int64_t>([this, clientVersion](auto answer) {
        state_->connection->hello(clientVersion, std::move(answer));
    });
}

TerminalHelperClient::OpenResult
TerminalHelperClient::openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                                const std::string& folder, const std::optional<std::string>& shell,
                                const Environment& environment, const ShellOptions& options) {
    return state_->wait<OpenResult>([&](auto answer) {
        openShell(id, columns, rows, folder, shell, environment, options, std::move(answer));
    });
}

std::optional<std::string> TerminalHelperClient::currentFolder(const UUID& id) {
    return state_->wait<std::optional<std::string>>(
        [&](auto answer) { state_->connection->currentFolder(id, std::move(answer)); });
}

TerminalHelperClient::Busy TerminalHelperClient::isBusy(const UUID& id) {
    return state_->wait<Busy>([&](auto answer) {
        state_->connection->isBusy(id, [answer](bool busy, std::optional<std::string> name) {
            answer(Busy{busy, std::move(name)});
        });
    });
}

TerminalHelperClient::AttachResult TerminalHelperClient::attach(const UUID& id,
                                                                std::optional<std::int64_t> from,
                                                                std::int64_t columns,
                                                                std::int64_t rows) {
    return state_->wait<AttachResult>([&](auto answer) {
        state_->connection->attach(id, from, columns, rows,
                                   [state = state_, id, answer](std::int32_t pid,
                                                                std::int64_t offset,
                                                                std::optional<std::string> error) {
                                       if (!error)
                                           state->startOutput(id, offset);
                                       answer(AttachResult{pid, offset, std::move(error)});
                                   });
    });
}

std::vector<TerminalHelperClient::KeptShell> TerminalHelperClient::list() {
    return state_->wait<std::vector<KeptShell>>(
        [&](auto answer) { state_->connection->list(std::move(answer)); });
}

std::vector<TerminalHelperClient::Command> TerminalHelperClient::commands(const UUID& id) {
    return state_->wait<std::vector<Command>>(
        [&](auto answer) { state_->connection->commands(id, std::move(answer)); });
}

void TerminalHelperClient::openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                                     const std::string& folder,
                                     const std::optional<std::string>& shell,
                                     const Environment& environment,
                                     std::function<void(OpenResult)> done) {
    openShell(id, columns, rows, folder, shell, environment, {}, std::move(done));
}

void TerminalHelperClient::openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                                     const std::string& folder,
                                     const std::optional<std::string>& shell,
                                     const Environment& environment, const ShellOptions& options,
                                     std::function<void(OpenResult)> done) {
    state_->connection->openShell(id, columns, rows, folder, shell, environment, options,
                                  [state = state_, id, done = std::move(done)](
                                      std::int32_t pid, std::optional<std::string> error) {
                                      if (!error)
                                          state->startNewOutput(id);
                                      done(OpenResult{pid, std::move(error)});
                                  });
}

void TerminalHelperClient::write(const UUID& id, Bytes data) {
    if (data.size() <= writeChunkLimit) {
        state_->connection->write(id, std::move(data));
        return;
    }
    for (std::size_t start = 0; start < data.size(); start += writeChunkLimit) {
        std::size_t end = std::min(data.size(), start + writeChunkLimit);
        state_->connection->write(id, Bytes(data.begin() + static_cast<std::ptrdiff_t>(start),
                                            data.begin() + static_cast<std::ptrdiff_t>(end)));
    }
}

void TerminalHelperClient::resize(const UUID& id, std::int64_t columns, std::int64_t rows) {
    state_->connection->resize(id, columns, rows);
}

void TerminalHelperClient::close(const UUID& id) {
    state_->connection->close(id);
}

void TerminalHelperClient::detach(const UUID& id) {
    state_->connection->detach(id);
}

std::optional<std::int64_t> TerminalHelperClient::offset(const UUID& id) const {
    return state_->offset(id);
}

void TerminalHelperClient::disconnect() {
    awaitWritten();
    state_->connection->disconnect();
}

} // namespace veltro
