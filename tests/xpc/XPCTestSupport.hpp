#pragma once

#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/TerminalInterfaces.hpp"
#include "xpc/Connection.hpp"
#include "xpc/Listener.hpp"
#include "xpc/MessageDecoder.hpp"

#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltro::xpctest {

// Generous: only a broken implementation ever waits this long.
constexpr auto patience = std::chrono::seconds(10);

// Waits, with the patience above, until `done` holds under the lock.
template <class Done>
bool waitUntil(std::mutex& mutex, std::condition_variable& changed, Done done) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, patience, done);
}

// A flag that test threads can wait on.
class Event {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    bool wait(int count = 1) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return count_ >= count; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// A service that records what reaches it. Replies are answered at once, unless `deferReplies`
// is set: then they wait in `pendingReplies` for the test to call them.
class RecordingHelper : public TerminalHelperProtocol {
public:
    void hello(std::int64_t clientVersion, HelloReply reply) override {
        record("hello " + std::to_string(clientVersion), [reply] { reply(1); });
    }
    void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment,
                   OpenShellReply reply) override {
        std::string text = "openShell " + id.string() + " " + std::to_string(columns) + "x" +
                           std::to_string(rows) + " " + folder + " " + shell.value_or("(nil)");
        for (const auto& [key, value] : environment)
            text += " " + key + "=" + value;
        record(text, [reply] { reply(4242, std::nullopt); });
    }
    void write(UUID id, Bytes data) override {
        record("write " + id.string() + " " + std::string(data.begin(), data.end()), nullptr);
    }
    void resize(UUID id, std::int64_t columns, std::int64_t rows) override {
        record("resize " + id.string() + " " + std::to_string(columns) + "x" + std::to_string(rows),
               nullptr);
    }
    void currentFolder(UUID id, CurrentFolderReply reply) override {
        record("currentFolder " + id.string(), [reply] { reply("/tmp/folder"); });
    }
    void isBusy(UUID id, IsBusyReply reply) override {
        record("isBusy " + id.string(), [reply] { reply(true, "vim"); });
    }
    void close(UUID id) override { record("close " + id.string(), nullptr); }

    std::vector<std::string> calls() {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    bool waitForCalls(std::size_t count) {
        return waitUntil(mutex_, changed_, [&] { return calls_.size() >= count; });
    }
    void deferReplies() {
        std::lock_guard lock(mutex_);
        defer_ = true;
    }
    std::vector<std::function<void()>> takePendingReplies() {
        std::lock_guard lock(mutex_);
        return std::move(pending_);
    }

private:
    void record(std::string call, std::function<void()> reply) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
            if (reply && defer_) {
                pending_.push_back(std::move(reply));
                reply = nullptr;
            }
            changed_.notify_all();
        }
        if (reply)
            reply();
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> calls_;
    std::vector<std::function<void()>> pending_;
    bool defer_ = false;
};

// Accepts every connection with a RecordingHelper (or the object `makeObject` gives), an
// optional requirement, and counts the ends.
class TestDelegate : public xpc::ListenerDelegate {
public:
    std::function<std::shared_ptr<TerminalHelperProtocol>()> makeObject;
    std::optional<std::string> requirement;
    std::shared_ptr<RecordingHelper> helper = std::make_shared<RecordingHelper>();
    Event accepted;
    Event ended;

    bool shouldAcceptNewConnection(xpc::Listener&,
                                   const std::shared_ptr<xpc::Connection>& connection) override {
        if (requirement)
            connection->setCodeSigningRequirement(*requirement);
        connection->setExportedObject(makeObject ? makeObject()
                                                 : std::shared_ptr<TerminalHelperProtocol>(helper));
        connection->setInvalidationHandler([this] { ended.signal(); });
        {
            std::lock_guard lock(mutex_);
            connections_.push_back(connection);
        }
        connection->resume();
        accepted.signal();
        return true;
    }

    std::shared_ptr<xpc::Connection> connection(std::size_t index = 0) {
        std::lock_guard lock(mutex_);
        return index < connections_.size() ? connections_[index].lock() : nullptr;
    }

    // Ends every connection and waits for their handlers, which refer to this delegate.
    void endAll() {
        std::vector<std::weak_ptr<xpc::Connection>> connections;
        {
            std::lock_guard lock(mutex_);
            connections = connections_;
        }
        for (auto& weak : connections)
            if (auto connection = weak.lock())
                connection->invalidate();
        ended.wait(accepted.count());
        // A connection lets go of itself once its sources are cancelled, shortly after its end;
        // waiting for that keeps a test's connections from outliving it.
        auto deadline = std::chrono::steady_clock::now() + patience;
        for (auto& weak : connections)
            while (!weak.expired() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }

private:
    std::mutex mutex_;
    std::vector<std::weak_ptr<xpc::Connection>> connections_;
};

// Invalidates the listener and waits until it is gone, so that nothing on its queue still
// refers to a delegate the test is about to destroy.
inline void stopListener(std::shared_ptr<xpc::Listener>& listener) {
    std::weak_ptr<xpc::Listener> stopping = listener;
    listener->invalidate();
    listener.reset();
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!stopping.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Ends a connection the test made and waits until it has let go of itself, so that it does not
// outlive the test and look like a leak at exit.
inline void endConnection(std::shared_ptr<xpc::Connection>& connection) {
    std::weak_ptr<xpc::Connection> ending = connection;
    connection->invalidate();
    connection.reset();
    auto deadline = std::chrono::steady_clock::now() + patience;
    while (!ending.expired() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// A temporary folder, removed with everything in it.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "veltro-xpc-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// A client that speaks raw bytes, to send what a correct client never would.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) {
        fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, path.data(), path.size());
        connected_ =
            ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawPeer() { ::close(fd_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool connected() const { return connected_; }
    int fd() const { return fd_; }

    void send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t count = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (count <= 0)
                return;
            sent += static_cast<std::size_t>(count);
        }
    }
    void send(const EncodedMessage& message) {
        send(message.head + std::string(message.tail.begin(), message.tail.end()));
    }
    void identify(const std::string& identifier = "tech.morvane.veltro") {
        send(TerminalInterfaces::encodeIdentify(identifier));
    }

    // The next message from the agent, or nothing when the connection closed or none came.
    std::optional<msgpack::object_handle> receive() {
        auto deadline = std::chrono::steady_clock::now() + patience;
        for (;;) {
            msgpack::object_handle message;
            if (decoder_.next(message) == xpc::MessageDecoder::Result::message)
                return message;
            if (!readSome(deadline))
                return std::nullopt;
        }
    }

    // Whether the agent closes the connection (reads until end of file).
    bool closedByAgent() {
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (readSome(deadline)) {
        }
        return eof_;
    }

private:
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd entry{fd_, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) != 1)
            return false;
        char buffer[65536];
        ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
        if (count <= 0) {
            eof_ = true;
            return false;
        }
        decoder_.append(
            {reinterpret_cast<const std::uint8_t*>(buffer), static_cast<std::size_t>(count)});
        return true;
    }

    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    xpc::MessageDecoder decoder_;
};

// An agent listening on a socket file in a temporary folder, with a TestDelegate.
struct SocketAgent {
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    TestDelegate delegate;
    std::shared_ptr<xpc::Listener> listener;

    explicit SocketAgent(
        std::chrono::steady_clock::duration identifyTimeout = std::chrono::seconds(10)) {
        listener = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
        listener->setIdentifyTimeout(identifyTimeout);
        listener->setDelegate(&delegate);
        listener->resume();
    }
    ~SocketAgent() {
        stopListener(listener);
        delegate.endAll();
    }
};

// Packs a value the way a hand-made message needs it.
template <class... Items> std::string pack(const Items&... items) {
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    (packer.pack(items), ...);
    return std::string(buffer.data(), buffer.size());
}

} // namespace veltro::xpctest
