#include "ipc/Listener.hpp"

#include "ipc/AgentSocketConnection.hpp"
#include "ipc/ClientSocketConnection.hpp"
#include "platform/EventLoop.hpp"
#include "platform/Logger.hpp"
#include "protocol/TerminalService.hpp"

#include <asio/local/stream_protocol.hpp>
#include <asio/steady_timer.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

namespace veltro::ipc {

namespace {

// Connections that have not identified themselves are few by nature; past this many at once a
// new one is closed at once.
constexpr std::size_t awaitingIdentifyLimit = 64;
// How soon accepting is tried again after a failure that no event will announce the end of.
constexpr auto acceptRetryDelay = std::chrono::milliseconds(250);

// Held open so that, when the process has no descriptor left, closing it makes room to accept
// and close the connection that waits, rather than leaving it pending for ever.
FileDescriptor openSpare() {
    return FileDescriptor(::open("/dev/null", O_RDONLY | O_CLOEXEC));
}

bool isOutOfDescriptors(int error) {
    return error == EMFILE || error == ENFILE;
}

class SocketListener final : public Listener {
public:
    SocketListener(EventLoop& loop, FileDescriptor socket, std::string ownsPath)
        : loop_(loop), acceptor_(loop.context()), retryTimer_(loop.context()),
          ownsPath_(std::move(ownsPath)), ownedFile_(FileIdentity::of(ownsPath_)),
          logger_(TerminalService::helperBundleID(), "connection") {
        if (!socket)
            return;
        acceptor_.assign(asio::local::stream_protocol(), socket.get());
        socket.release();
        acceptor_.non_blocking(true);
    }

    ~SocketListener() override { removeOwnedFile(); }

    void setDelegate(ListenerDelegate* delegate) override {
        onLoop([delegate](SocketListener& self) { self.delegate_ = delegate; });
    }

    Endpoint endpoint() override { return Endpoint(weak_from_this()); }

    void resume() override {
        onLoop([](SocketListener& self) { self.start(); });
    }

    void stop() override {
        stopRequested_ = true;
        // Waits, so that the delegate is never called once this returns.
        if (loop_.isCurrent() || loop_.context().stopped())
            stopOnLoop();
        else
            loop_.sync([this] { stopOnLoop(); });
    }

    void setIdentifyTimeout(std::chrono::steady_clock::duration timeout) override {
        onLoop([timeout](SocketListener& self) { self.settings_.identifyTimeout = timeout; });
    }

    std::shared_ptr<ClientConnection> connectInProcess(asio::io_context& clientContext,
                                                       std::string identifier) override {
        if (stopRequested_)
            throw ConnectionError("The in-process terminal helper no longer listens.");
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
            throw ConnectionError(
                std::string("Cannot make a connection to the in-process terminal helper: ") +
                std::strerror(errno));
        FileDescriptor agentEnd(pair[1]);
        auto client = ClientSocketConnection::make(clientContext, FileDescriptor(pair[0]),
                                                   std::move(identifier));
        onLoop([agentEnd = std::move(agentEnd)](SocketListener& self) mutable {
            if (self.stopped_)
                return;
            if (self.started_)
                self.accept(std::move(agentEnd));
            else
                self.waiting_.push_back(std::move(agentEnd));
        });
        return client;
    }

private:
    template <class Work> void onLoop(Work&& work) {
        loop_.dispatch([self = std::static_pointer_cast<SocketListener>(shared_from_this()),
                        work = std::forward<Work>(work)]() mutable { work(*self); });
    }

    void start() {
        if (started_ || stopped_)
            return;
        started_ = true;
        if (acceptor_.is_open()) {
            spare_ = openSpare();
            acceptWaiting();
        }
        auto waiting = std::move(waiting_);
        waiting_.clear();
        for (auto& socket : waiting)
            accept(std::move(socket));
    }

    void stopOnLoop() {
        if (stopped_)
            return;
        stopped_ = true;
        delegate_ = nullptr;
        waiting_.clear();
        retryTimer_.cancel();
        asio::error_code ignored;
        acceptor_.close(ignored);
        spare_.reset();
        removeOwnedFile();
    }

    void removeOwnedFile() {
        if (ownsPath_.empty() || fileRemoved_.exchange(true))
            return;
        // Another agent may have replaced the file since; only ours is removed. One gone
        // meanwhile leaves nothing to do.
        if (FileIdentity::of(ownsPath_).sameAs(ownedFile_))
            (void)::unlink(ownsPath_.c_str());
    }

    // Edge-triggered readiness: the wait is issued only once accept has said there is nothing
    // left, so no connection is left behind unannounced.
    void waitForConnections() {
        acceptor_.async_wait(asio::socket_base::wait_read,
                             [weak = weak_from_this()](const asio::error_code& error) {
                                 auto self = std::static_pointer_cast<SocketListener>(weak.lock());
                                 if (self && !error)
                                     self->acceptWaiting();
                             });
    }

    void retrySoon() {
        retryTimer_.expires_after(acceptRetryDelay);
        retryTimer_.async_wait([weak = weak_from_this()](const asio::error_code& error) {
            auto self = std::static_pointer_cast<SocketListener>(weak.lock());
            if (self && !error)
                self->acceptWaiting();
        });
    }

    void acceptWaiting() {
        while (!stopped_) {
            int fd = ::accept4(acceptor_.native_handle(), nullptr, nullptr,
                               SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                accept(FileDescriptor(fd));
                continue;
            }
            int error = errno;
            if (error == EINTR || error == ECONNABORTED)
                continue;
            if (isOutOfDescriptors(error))
                error = refuseOneForLackOfDescriptors(error);
            if (error == 0)
                continue;
            if (error == EAGAIN || error == EWOULDBLOCK) {
                waitForConnections();
                return;
            }
            logger_.error(std::string("Cannot accept a connection: ") + std::strerror(error));
            retrySoon();
            return;
        }
    }

    // With no descriptor left, accept fails whether or not a connection waits. Closing the
    // spare makes room to take a waiting one and close it at once; answers 0 when it did,
    // EAGAIN when none waits, or the error when there is no spare to give.
    int refuseOneForLackOfDescriptors(int error) {
        if (!spare_)
            spare_ = openSpare();
        if (!spare_)
            return error;
        spare_.reset();
        FileDescriptor refused(
            ::accept4(acceptor_.native_handle(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        int acceptError = refused ? 0 : errno;
        refused.reset();
        spare_ = openSpare();
        if (acceptError != 0)
            return acceptError == EINTR || acceptError == ECONNABORTED ? 0 : acceptError;
        if (!outOfDescriptors_)
            logger_.error(std::string("Refused connections: ") + std::strerror(error) + ".");
        outOfDescriptors_ = true;
        return 0;
    }

    void accept(FileDescriptor socket) {
        std::optional<PeerCredentials> peer = PeerCredentials::of(socket.get());
        if (!peer) {
            logger_.error(std::string("Ended a connection whose peer cannot be known: ") +
                          std::strerror(errno));
            return;
        }
        // Before anything else: a process of another user never gets further than this.
        if (peer->uid != ::geteuid()) {
            logger_.error("Ended the connection of pid " + std::to_string(peer->pid) +
                          ": it runs as user " + std::to_string(peer->uid) +
                          ", not as this agent's user.");
            return;
        }
        if (*awaitingIdentify_ >= awaitingIdentifyLimit) {
            if (!tooManyWaiting_)
                logger_.error("Refused connections: " + std::to_string(awaitingIdentifyLimit) +
                              " connections are waiting to identify themselves.");
            tooManyWaiting_ = true;
            return;
        }
        std::shared_ptr<AgentSocketConnection> connection;
        try {
            connection = std::make_shared<AgentSocketConnection>(
                loop_.context(), std::move(socket), std::move(*peer), settings_, awaitingIdentify_);
        } catch (const std::system_error& error) {
            logger_.error(std::string("Ended a connection that cannot be watched: ") +
                          error.what());
            return;
        }
        outOfDescriptors_ = false;
        tooManyWaiting_ = false;
        if (delegate_ == nullptr || !delegate_->shouldAcceptNewConnection(*this, connection))
            connection->disconnect();
    }

    EventLoop& loop_;
    asio::local::stream_protocol::acceptor acceptor_;
    asio::steady_timer retryTimer_;
    FileDescriptor spare_;
    std::string ownsPath_;
    FileIdentity ownedFile_;
    std::atomic<bool> fileRemoved_{false};
    Logger logger_;
    std::atomic<bool> stopRequested_{false};

    ListenerDelegate* delegate_ = nullptr;
    PeerCheckSettings settings_;
    std::vector<FileDescriptor> waiting_;
    std::shared_ptr<std::size_t> awaitingIdentify_ = std::make_shared<std::size_t>(0);
    bool started_ = false;
    bool stopped_ = false;
    bool outOfDescriptors_ = false;
    bool tooManyWaiting_ = false;
};

} // namespace

std::shared_ptr<Listener> Listener::listening(EventLoop& loop, FileDescriptor socket,
                                              std::string ownsPath) {
    return std::make_shared<SocketListener>(loop, std::move(socket), std::move(ownsPath));
}

std::shared_ptr<Listener> Listener::anonymous(EventLoop& loop) {
    return std::make_shared<SocketListener>(loop, FileDescriptor(), std::string());
}

std::shared_ptr<ClientConnection> connect(asio::io_context& context, const Endpoint& endpoint,
                                          std::string identifier) {
    std::shared_ptr<Listener> listener = endpoint.listener().lock();
    if (!listener)
        throw ConnectionError("The in-process terminal helper no longer listens.");
    return listener->connectInProcess(context, std::move(identifier));
}

} // namespace veltro::ipc
