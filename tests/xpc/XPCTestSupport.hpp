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
#include <optional>
#include <string>
#include <vector>

namespace veltro::xpctest {

using veltro::testing::eventually;
using veltro::testing::TemporaryFolder;

inline EventLoop& loop() {
    return EventLoop::shared();
}

// A service that records what reaches it, on the loop. Replies are answered at once, unless
// `defer` is set: then they wait in `pending` for the test to call (or drop) them.
class RecordingHelper : public TerminalHelperProtocol {
public:
    void hello(std::int64_t clientVersion, HelloReply reply) override {
        record("hello " + std::to_string(clientVersion), [reply] { reply(1); });
    }
    void openShell(UUID, std::int64_t, std::int64_t, std::string, std::optional<std::string>,
                   Environment, OpenShellReply reply) override {
        record("openShell", [reply] { reply(4242, std::nullopt); });
    }
    void write(UUID, Bytes data) override {
        record("write " + std::string(data.begin(), data.end()));
    }
    void resize(UUID, std::int64_t, std::int64_t) override { record("resize"); }
    void currentFolder(UUID, CurrentFolderReply reply) override {
        record("currentFolder", [reply] { reply("/tmp"); });
    }
    void isBusy(UUID, IsBusyReply reply) override {
        record("isBusy", [reply] { reply(true, "vim"); });
    }
    void close(UUID) override { record("close"); }

    // From any thread.
    std::vector<std::string> calls() {
        return loop().sync([this] { return calls_; });
    }

    bool defer = false;
    std::vector<std::function<void()>> pending;
    // Runs after each call has been recorded.
    std::function<void(const std::string& call)> afterCall;

private:
    void record(std::string call, std::function<void()> reply = nullptr) {
        calls_.push_back(call);
        if (reply && defer)
            pending.push_back(std::move(reply));
        else if (reply)
            reply();
        if (afterCall)
            afterCall(call);
    }

    std::vector<std::string> calls_;
};

// Accepts every connection, unless told to refuse, with `helper` and an optional requirement,
// and counts the connections and their ends.
class TestDelegate : public xpc::ListenerDelegate {
public:
    std::optional<std::string> requirement;
    std::shared_ptr<RecordingHelper> helper = std::make_shared<RecordingHelper>();
    bool refuse = false;
    std::atomic<int> accepted{0};
    std::atomic<int> ended{0};

    bool
    shouldAcceptNewConnection(xpc::Listener&,
                              const std::shared_ptr<xpc::AgentConnection>& connection) override {
        if (refuse)
            return false;
        if (requirement)
            connection->setCodeSigningRequirement(*requirement);
        connection->setExportedObject(helper);
        connection->setInvalidationHandler([this] { ++ended; });
        connections_.push_back(connection);
        connection->resume();
        ++accepted;
        return true;
    }

    // The first connection accepted, if it is still there.
    std::shared_ptr<xpc::AgentConnection> connection() {
        return loop().sync([&] { return connections_.at(0).lock(); });
    }

    // Ends every connection and waits until each has let go of itself, so that none outlives
    // the test and its handler, which refers to this delegate.
    void endAll() {
        auto connections = loop().sync([&] {
            for (auto& weak : connections_)
                if (auto connection = weak.lock())
                    connection->invalidate();
            return connections_;
        });
        eventually([&] {
            return std::all_of(connections.begin(), connections.end(),
                               [](const auto& weak) { return weak.expired(); });
        });
    }

private:
    std::vector<std::weak_ptr<xpc::AgentConnection>> connections_;
};

// A message as a peer receives it, its items by position.
struct Message {
    msgpack::object_handle handle;
    const msgpack::object& operator[](std::size_t i) const { return handle.get().via.array.ptr[i]; }
};

// A client that speaks raw bytes, to send what a correct client never would.
class RawPeer {
public:
    explicit RawPeer(const std::string& path) {
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
    bool closed() const { return closed_; }
    int fd() const { return fd_; }

    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void identify(const std::string& identifier = "tech.morvane.veltro") {
        send(encodeNotification("identify", identifier));
    }

    // The next message from the agent, or nothing once the connection has closed or the agent
    // has been silent for a minute.
    std::optional<Message> receive() {
        msgpack::object message;
        while (decoder_.next(message) != xpc::MessageDecoder::Result::message)
            if (!readSome())
                return std::nullopt;
        return Message{msgpack::clone(message)};
    }

    // Whether the agent has closed the connection, once everything it sent has been read.
    bool closedByAgent() {
        while (readSome()) {
        }
        return closed_;
    }

    // Reads without decoding; answers how many bytes came.
    std::size_t readRaw() {
        std::vector<char> buffer(65536);
        ssize_t count = ::recv(fd_, buffer.data(), buffer.size(), 0);
        return count > 0 ? static_cast<std::size_t>(count) : 0;
    }

private:
    // Silence is not an end: a test that waits for one must not pass when the agent hangs.
    bool readSome() {
        pollfd entry{fd_, POLLIN, 0};
        if (::poll(&entry, 1, 60000) != 1)
            return false;
        std::span<std::uint8_t> room = decoder_.prepare(65536);
        ssize_t count = ::recv(fd_, room.data(), room.size(), 0);
        closed_ = count <= 0;
        decoder_.commit(closed_ ? 0 : static_cast<std::size_t>(count));
        return !closed_;
    }

    int fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected_ = false;
    bool closed_ = false;
    xpc::MessageDecoder decoder_;
};

// An agent listening on a socket file in a temporary folder, with a TestDelegate.
struct SocketAgent {
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    TestDelegate delegate;
    std::shared_ptr<xpc::Listener> listener =
        xpc::Listener::listening(xpc::bindListeningSocket(path), path);

    explicit SocketAgent(std::chrono::milliseconds identifyTimeout = std::chrono::seconds(10)) {
        listener->setIdentifyTimeout(identifyTimeout);
        listener->setDelegate(&delegate);
        listener->resume();
    }
    ~SocketAgent() {
        listener->invalidate();
        delegate.endAll();
    }
};

} // namespace veltro::xpctest
