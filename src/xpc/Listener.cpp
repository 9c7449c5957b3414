#include "xpc/Listener.hpp"

#include "platform/Logger.hpp"
#include "platform/ReadSource.hpp"
#include "platform/SerialQueue.hpp"
#include "protocol/TerminalService.hpp"
#include "xpc/SocketConnection.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <vector>

namespace veltro::xpc {

namespace {

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.empty() || path.size() >= sizeof address.sun_path)
        throw ConnectionError("Cannot listen on \"" + path +
                              "\": the path is empty or too long for a socket.");
    std::memcpy(address.sun_path, path.data(), path.size());
    return address;
}

bool someoneListens(const sockaddr_un& address) {
    FileDescriptor probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe)
        return false;
    int result;
    do {
        result =
            ::connect(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    return result == 0;
}

std::string failure(const std::string& what, const std::string& path) {
    return "Cannot " + what + " " + path + ": " + std::strerror(errno);
}

// Which file a path names; an inode number alone may be reused once the file is gone.
struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
    timespec changed{};
    bool known = false;

    bool sameAs(const FileIdentity& other) const {
        return known && other.known && device == other.device && inode == other.inode &&
               changed.tv_sec == other.changed.tv_sec && changed.tv_nsec == other.changed.tv_nsec;
    }
};

FileIdentity identityOf(const std::string& path) {
    struct stat status {};
    if (path.empty() || ::lstat(path.c_str(), &status) != 0)
        return {};
    return {status.st_dev, status.st_ino, status.st_ctim, true};
}

class SocketListener final : public Listener {
public:
    SocketListener(FileDescriptor socket, std::string ownsPath)
        : queue_(TerminalService::helperBundleID() + ".listener", Executor::connections()),
          socket_(std::make_shared<FileDescriptor>(std::move(socket))),
          ownsPath_(std::move(ownsPath)), ownedFile_(identityOf(ownsPath_)),
          logger_(TerminalService::helperBundleID(), "connection") {}

    ~SocketListener() override { removeOwnedFile(); }

    void setDelegate(ListenerDelegate* delegate) override { delegate_.store(delegate); }

    Endpoint endpoint() override { return Endpoint(weak_from_this()); }

    void resume() override {
        post([this] { start(); });
    }

    void invalidate() override {
        invalidated_.store(true);
        post([this] { stop(); });
    }

    std::shared_ptr<Connection> connectInProcess(std::string identifier) override {
        if (invalidated_.load())
            throw ConnectionError("The in-process terminal helper no longer listens.");
        int pair[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, pair) != 0)
            throw ConnectionError(std::string("Cannot make a socket pair: ") +
                                  std::strerror(errno));
        FileDescriptor clientEnd(pair[0]);
        auto agentEnd = std::make_shared<FileDescriptor>(pair[1]);
        post([this, agentEnd] {
            if (stopped_)
                return;
            if (!started_) {
                waiting_.push_back(std::move(*agentEnd));
                return;
            }
            accept(std::move(*agentEnd));
        });
        return SocketConnection::client(std::move(clientEnd), std::move(identifier));
    }

    void setIdentifyTimeout(std::chrono::steady_clock::duration timeout) override {
        post([this, timeout] { settings_.identifyTimeout = timeout; });
    }

private:
    void post(std::function<void()> work) {
        queue_.async([self = shared_from_this(), work = std::move(work)] { work(); });
    }

    void start() {
        if (started_ || stopped_)
            return;
        started_ = true;
        if (socket_->isOpen())
            startAccepting();
        auto waiting = std::move(waiting_);
        waiting_.clear();
        for (auto& socket : waiting)
            accept(std::move(socket));
    }

    void startAccepting() {
        int flags = ::fcntl(socket_->get(), F_GETFL);
        if (flags >= 0)
            ::fcntl(socket_->get(), F_SETFL, flags | O_NONBLOCK);
        reader_ = std::make_unique<ReadSource>(queue_, socket_->get());
        std::weak_ptr<Listener> weak = weak_from_this();
        reader_->setEventHandler([this, weak] {
            if (auto self = weak.lock())
                acceptWaiting();
        });
        // The listening socket closes only once nothing watches it any more.
        reader_->setCancelHandler([socket = socket_] { socket->reset(); });
        reader_->activate();
    }

    void stop() {
        if (stopped_)
            return;
        stopped_ = true;
        waiting_.clear();
        if (reader_)
            reader_->cancel();
        else
            socket_->reset();
        removeOwnedFile();
    }

    void removeOwnedFile() {
        if (ownsPath_.empty() || fileRemoved_.exchange(true))
            return;
        // Another agent may have replaced the file since; only ours is removed.
        if (identityOf(ownsPath_).sameAs(ownedFile_))
            ::unlink(ownsPath_.c_str());
    }

    void acceptWaiting() {
        for (;;) {
            int fd = ::accept4(socket_->get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
            if (fd >= 0) {
                accept(FileDescriptor(fd));
                continue;
            }
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                logger_.error(std::string("Cannot accept a connection: ") + std::strerror(errno));
            return;
        }
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
        auto connection =
            SocketConnection::accepted(std::move(socket), std::move(*peer), settings_);
        ListenerDelegate* delegate = delegate_.load();
        if (delegate == nullptr || !delegate->shouldAcceptNewConnection(*this, connection))
            connection->invalidate();
    }

    SerialQueue queue_;
    std::shared_ptr<FileDescriptor> socket_;
    std::string ownsPath_;
    FileIdentity ownedFile_;
    std::atomic<bool> fileRemoved_{false};
    Logger logger_;
    std::atomic<ListenerDelegate*> delegate_{nullptr};
    std::atomic<bool> invalidated_{false};
    PeerCheckSettings settings_;
    std::unique_ptr<ReadSource> reader_;
    std::vector<FileDescriptor> waiting_;
    bool started_ = false;
    bool stopped_ = false;
};

} // namespace

std::shared_ptr<Listener> Listener::listening(FileDescriptor socket, std::string ownsPath) {
    return std::make_shared<SocketListener>(std::move(socket), std::move(ownsPath));
}

std::shared_ptr<Listener> Listener::anonymous() {
    return std::make_shared<SocketListener>(FileDescriptor(), std::string());
}

FileDescriptor bindListeningSocket(const std::string& path) {
    sockaddr_un address = addressOf(path);
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        throw ConnectionError(failure("create a socket for", path));
    auto bindOnce = [&] {
        return ::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
    };
    if (bindOnce() != 0) {
        if (errno != EADDRINUSE)
            throw ConnectionError(failure("bind", path));
        if (someoneListens(address))
            return FileDescriptor();
        struct stat status {};
        if (::lstat(path.c_str(), &status) == 0 && !S_ISSOCK(status.st_mode))
            throw ConnectionError("Cannot bind " + path +
                                  ": a file that is not a socket is there.");
        // Nothing answers there: a leftover of an agent that did not clean up.
        if (::unlink(path.c_str()) != 0 && errno != ENOENT)
            throw ConnectionError(failure("remove the leftover socket", path));
        if (bindOnce() != 0)
            throw ConnectionError(failure("bind", path));
    }
    // The socket is bound but not listening yet, so nobody can connect before it is private.
    if (::chmod(path.c_str(), 0600) != 0 || ::listen(socket.get(), SOMAXCONN) != 0) {
        ConnectionError error(failure("listen on", path));
        ::unlink(path.c_str());
        throw error;
    }
    return socket;
}

} // namespace veltro::xpc
