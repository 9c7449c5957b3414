#include "client/TerminalHelperClient.hpp"

#include "protocol/TerminalService.hpp"
#include "xpc/Connection.hpp"
#include "xpc/Listener.hpp"

#include <algorithm>
#include <condition_variable>
#include <map>
#include <mutex>

namespace veltro {

namespace {

// Larger writes go out as several messages: the agent refuses messages past 64 MiB, and the
// bytes form one stream whatever their cut.
constexpr std::size_t writeChunkLimit = 16 * 1024 * 1024;

// Where the agent's messages go. Once the client is gone nothing reaches its handler any more;
// the lock is recursive so that a handler may destroy the client.
class Delivery {
public:
    explicit Delivery(TerminalHelperClient::Handler handler) : handler_(std::move(handler)) {}

    template <class Call> void deliver(Call&& call) {
        std::lock_guard lock(mutex_);
        if (!detached_)
            call(handler_);
    }

    void disconnected() {
        std::lock_guard lock(mutex_);
        if (detached_ || disconnected_)
            return;
        disconnected_ = true;
        if (handler_.disconnected)
            handler_.disconnected();
    }

    void detach() {
        std::lock_guard lock(mutex_);
        detached_ = true;
    }

private:
    std::recursive_mutex mutex_;
    TerminalHelperClient::Handler handler_;
    bool detached_ = false;
    bool disconnected_ = false;
};

class ExportedClient final : public TerminalClientProtocol {
public:
    explicit ExportedClient(std::shared_ptr<Delivery> delivery) : delivery_(std::move(delivery)) {}

    void output(UUID id, Bytes data) override {
        delivery_->deliver([&](TerminalHelperClient::Handler& handler) {
            if (handler.output)
                handler.output(id, std::move(data));
        });
    }
    void exited(UUID id, std::int32_t status) override {
        delivery_->deliver([&](TerminalHelperClient::Handler& handler) {
            if (handler.exited)
                handler.exited(id, status);
        });
    }
    void folderChanged(UUID id, std::string folder) override {
        delivery_->deliver([&](TerminalHelperClient::Handler& handler) {
            if (handler.folderChanged)
                handler.folderChanged(id, folder);
        });
    }

private:
    std::shared_ptr<Delivery> delivery_;
};

// One blocking call's answer, or the news that none will come.
template <class T> class Waiter {
public:
    void set(T value) {
        std::lock_guard lock(mutex_);
        value_.emplace(std::move(value));
        changed_.notify_all();
    }
    void end() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    std::optional<T> wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return value_ || ended_; });
        return std::move(value_);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<T> value_;
    bool ended_ = false;
};

// Tracks whether the connection has ended and wakes the calls that wait on it.
class Ending {
public:
    explicit Ending(std::shared_ptr<Delivery> delivery) : delivery_(std::move(delivery)) {}

    // Registers a waiter; answers false when the connection has already ended.
    bool add(std::uint64_t& key, std::function<void()> wake) {
        std::lock_guard lock(mutex_);
        if (ended_)
            return false;
        key = nextKey_++;
        waiters_.emplace(key, std::move(wake));
        return true;
    }

    void remove(std::uint64_t key) {
        std::lock_guard lock(mutex_);
        waiters_.erase(key);
    }

    void ended() {
        std::map<std::uint64_t, std::function<void()>> waiters;
        {
            std::lock_guard lock(mutex_);
            if (ended_)
                return;
            ended_ = true;
            waiters.swap(waiters_);
        }
        for (auto& [key, wake] : waiters)
            wake();
        delivery_->disconnected();
    }

private:
    std::mutex mutex_;
    bool ended_ = false;
    std::uint64_t nextKey_ = 0;
    std::map<std::uint64_t, std::function<void()>> waiters_;
    std::shared_ptr<Delivery> delivery_;
};

} // namespace

struct TerminalHelperClient::State {
    std::shared_ptr<xpc::Connection> connection;
    std::shared_ptr<TerminalHelperProtocol> proxy;
    std::shared_ptr<Delivery> delivery;
    std::shared_ptr<Ending> ending;
    std::int64_t agentVersion = 0;

    // Sends a request through `start` and waits for its answer.
    template <class T, class Start> T wait(Start&& start) {
        auto waiter = std::make_shared<Waiter<T>>();
        std::uint64_t key = 0;
        if (!ending->add(key, [waiter] { waiter->end(); }))
            throw ConnectionEnded();
        start([waiter](T value) { waiter->set(std::move(value)); });
        std::optional<T> answer = waiter->wait();
        ending->remove(key);
        if (!answer)
            throw ConnectionEnded();
        return std::move(*answer);
    }
};

namespace {

std::shared_ptr<TerminalHelperClient::State> stateFor(std::shared_ptr<xpc::Connection> connection,
                                                      TerminalHelperClient::Handler handler) {
    auto state = std::make_shared<TerminalHelperClient::State>();
    state->connection = std::move(connection);
    state->proxy = state->connection->helperProxy();
    state->delivery = std::make_shared<Delivery>(std::move(handler));
    state->ending = std::make_shared<Ending>(state->delivery);
    state->connection->setExportedObject(std::static_pointer_cast<TerminalClientProtocol>(
        std::make_shared<ExportedClient>(state->delivery)));
    auto ending = state->ending;
    state->connection->setInterruptionHandler([ending] { ending->ended(); });
    state->connection->setInvalidationHandler([ending] { ending->ended(); });
    state->connection->resume();
    return state;
}

std::string identifierOrDefault(const std::string& identifier) {
    return identifier.empty() ? TerminalService::veltroBundleID() : identifier;
}

} // namespace

std::shared_ptr<TerminalHelperClient> TerminalHelperClient::connect(Handler handler,
                                                                    const std::string& socketPath,
                                                                    const std::string& identifier) {
    std::string path = socketPath;
    if (path.empty()) {
        try {
            path = TerminalService::socketPath();
        } catch (const std::exception& error) {
            throw xpc::ConnectionError(error.what());
        }
    }
    auto connection = xpc::Connection::connect(path, identifierOrDefault(identifier));
    std::shared_ptr<TerminalHelperClient> client(
        new TerminalHelperClient(stateFor(std::move(connection), std::move(handler))));
    try {
        client->state_->agentVersion = client->hello(TerminalService::protocolVersion);
    } catch (const ConnectionEnded&) {
        throw xpc::ConnectionError("The agent on " + path +
                                   " ended the connection before it said hello; it may have "
                                   "refused this client.");
    }
    return client;
}

std::shared_ptr<TerminalHelperClient> TerminalHelperClient::connect(Handler handler,
                                                                    const xpc::Endpoint& endpoint,
                                                                    const std::string& identifier) {
    auto connection = xpc::Connection::connect(endpoint, identifierOrDefault(identifier));
    std::shared_ptr<TerminalHelperClient> client(
        new TerminalHelperClient(stateFor(std::move(connection), std::move(handler))));
    try {
        client->state_->agentVersion = client->hello(TerminalService::protocolVersion);
    } catch (const ConnectionEnded&) {
        throw xpc::ConnectionError("The in-process terminal helper ended the connection before "
                                   "it said hello.");
    }
    return client;
}

TerminalHelperClient::TerminalHelperClient(std::shared_ptr<State> state)
    : state_(std::move(state)) {}

TerminalHelperClient::~TerminalHelperClient() {
    state_->delivery->detach();
    state_->connection->invalidate();
}

std::int64_t TerminalHelperClient::agentVersion() const {
    return state_->agentVersion;
}

std::int64_t TerminalHelperClient::hello(std::int64_t clientVersion) {
    return state_->wait<std::int64_t>([&](auto answer) {
        state_->proxy->hello(clientVersion, [answer](std::int64_t version) { answer(version); });
    });
}

TerminalHelperClient::OpenResult
TerminalHelperClient::openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                                const std::string& folder, const std::optional<std::string>& shell,
                                const Environment& environment) {
    return state_->wait<OpenResult>(
        [&](auto answer) { openShell(id, columns, rows, folder, shell, environment, answer); });
}

std::optional<std::string> TerminalHelperClient::currentFolder(const UUID& id) {
    return state_->wait<std::optional<std::string>>([&](auto answer) {
        state_->proxy->currentFolder(
            id, [answer](std::optional<std::string> folder) { answer(std::move(folder)); });
    });
}

TerminalHelperClient::Busy TerminalHelperClient::isBusy(const UUID& id) {
    return state_->wait<Busy>([&](auto answer) {
        state_->proxy->isBusy(id, [answer](bool busy, std::optional<std::string> name) {
            answer(Busy{busy, std::move(name)});
        });
    });
}

void TerminalHelperClient::openShell(const UUID& id, std::int64_t columns, std::int64_t rows,
                                     const std::string& folder,
                                     const std::optional<std::string>& shell,
                                     const Environment& environment,
                                     std::function<void(OpenResult)> done) {
    state_->proxy->openShell(
        id, columns, rows, folder, shell, environment,
        [done = std::move(done)](std::int32_t pid, std::optional<std::string> error) {
            done(OpenResult{pid, std::move(error)});
        });
}

void TerminalHelperClient::write(const UUID& id, Bytes data) {
    if (data.size() <= writeChunkLimit) {
        state_->proxy->write(id, std::move(data));
        return;
    }
    for (std::size_t start = 0; start < data.size(); start += writeChunkLimit) {
        std::size_t end = std::min(data.size(), start + writeChunkLimit);
        state_->proxy->write(id, Bytes(data.begin() + static_cast<std::ptrdiff_t>(start),
                                       data.begin() + static_cast<std::ptrdiff_t>(end)));
    }
}

void TerminalHelperClient::resize(const UUID& id, std::int64_t columns, std::int64_t rows) {
    state_->proxy->resize(id, columns, rows);
}

void TerminalHelperClient::close(const UUID& id) {
    state_->proxy->close(id);
}

void TerminalHelperClient::disconnect() {
    state_->connection->invalidate();
}

} // namespace veltro
