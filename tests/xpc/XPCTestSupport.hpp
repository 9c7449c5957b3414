#pragma once

#include "platform/EventLoop.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/TerminalInterfaces.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"
#include "xpc/Listener.hpp"
#include "xpc/MessageDecoder.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace veltro::xpctest {

using veltro::testing::eventually;
using veltro::testing::TemporaryFolder;

inline EventLoop& loop() {
    return EventLoop::shared();
}

// A service that records what reaches it. Replies are answered at once, unless `deferReplies`
// is set: then they wait in `pendingReplies` for the test to call (or drop) them.
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
    void deferReplies() {
        std::lock_guard lock(mutex_);
        defer_ = true;
    }
    std::vector<std::function<void()>> takePendingReplies() {
        std::lock_guard lock(mutex_);
        return std::move(pending_);
    }

    // Runs on the loop after each call has been recorded.
    std::function<void(const std::string& call)> afterCall;

private:
    void record(std::string call, std::function<void()> reply) {
        {
            std::lock_guard lock(mutex_);
            calls_.push_back(call);
            if (reply && defer_)
                pending_.push_back(std::exchange(reply, nullptr));
        }
        if (reply)
            reply();
        if (afterCall)
            afterCall(call);
    }

    std::mutex mutex_;
    std::vector<std::string> calls_;
    std::vector<std::function<void()>> pending_;
    bool defer_ = false;
};

// Accepts every connection with a RecordingHelper (or the object `makeObject` gives) and an
// optional requirement, and counts the connections and their ends.
class TestDelegate : public xpc::ListenerDelegate {
public:
    std::function<std::shared_ptr<TerminalHelperProtocol>()> makeObject;
    std::optional<std::string> requirement;
    std::shared_ptr<RecordingHelper> helper = std::make_shared<RecordingHelper>();
    std::atomic<int> accepted{0};
    std::atomic<int> ended{0};

    bool
    shouldAcceptNewConnection(xpc::Listener&,
                              const std::shared_ptr<xpc::AgentConnection>& connection) override {
        if (requirement)
            connection->setCodeSigningRequirement(*requirement);
        connection->setExportedObject(makeObject ? makeObject()
                                                 : std::shared_ptr<TerminalHelperProtocol>(helper));
        connection->setInvalidationHandler([this] { ++ended; });
        connections_.push_back(connection);
        connection->resume();
        ++accepted;
        return true;
    }

    // The connection accepted `index`th, once it has been.
    std::shared_ptr<xpc::AgentConnection> connection(std::size_t index = 0) {
        std::shared_ptr<xpc::AgentConnection> found;
        eventually([&] {
            return loop().sync([&] {
                if (index < connections_.size())
                    found = connections_[index].lock();
                return index < connections_.size();
            });
        });
        return found;
    }

    // Ends every connection and waits until each has let go of itself, so that none outlives
    // the test and its handler, which refers to this delegate.
    void endAll() {
        auto connections = loop().sync([&] { return connections_; });
        loop().sync([&] {
            for (auto& weak : connections)
                if (auto connection = weak.lock())
                    connection->invalidate();
        });
        eventually([&] {
            return std::all_of(connections.begin(), connections.end(),
                               [](const auto& weak) { return weak.expired(); });
        });
    }

private:
    std::vector<std::weak_ptr<xpc::AgentConnection>> connections_;
};

// Invalidates the listener, which calls its delegate no more once this returns.
inline void stopListener(std::shared_ptr<xpc::Listener>& listener) {
    listener->invalidate();
    listener.reset();
}

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
    void identify(const std::string& identifier = "tech.morvane.veltro") {
        send(encodeNotification("identify", std::string_view(identifier)));
    }

    // The next message from the agent, or nothing when the connection closed or none came.
    std::optional<msgpack::object_handle> receive() {
        for (;;) {
            msgpack::object message;
            if (decoder_.next(message) == xpc::MessageDecoder::Result::message)
                return msgpack::clone(message);
            if (!readSome())
                return std::nullopt;
        }
    }

    // Whether the agent closes the connection once everything it sent has been read.
    bool closedByAgent() {
        while (readSome()) {
        }
        return eof_;
    }

    // Bytes read so far, for tests that read without decoding.
    std::size_t readRaw(std::size_t limit) {
        std::vector<char> buffer(limit);
        ssize_t count = ::recv(fd_, buffer.data(), buffer.size(), 0);
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    }

private:
    bool readSome() {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 60000) != 1)
            return false;
        std::span<std::uint8_t> room = decoder_.prepare(65536);
        ssize_t count = ::recv(fd_, room.data(), room.size(), 0);
        if (count <= 0) {
            eof_ = true;
            return false;
        }
        decoder_.commit(static_cast<std::size_t>(count));
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
    std::string path = folder / "agent.socket";
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

// Bytes packed by hand, for messages that the encoders of a correct peer never make.
using Packer = msgpack::packer<msgpack::sbuffer>;

template <class Build> std::string bytes(Build build) {
    msgpack::sbuffer buffer;
    Packer packer(buffer);
    build(packer);
    return std::string(buffer.data(), buffer.size());
}

} // namespace veltro::xpctest
