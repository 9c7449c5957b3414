#pragma once

#include "ipc/Listener.hpp"
#include "ipc/MessageDecoder.hpp"
#include "platform/EventLoop.hpp"
#include "platform/FileDescriptor.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/TerminalInterfaces.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

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

namespace veltro::ipctest {

using veltro::testing::eventually;
using veltro::testing::TemporaryFolder;

// A service that records the hellos and writes that reach it, on the loop. A hello is answered
// at once, unless `defer` is set: then its reply waits in `pending` for the test to call or drop.
class RecordingHelper : public TerminalHelperProtocol {
public:
    explicit RecordingHelper(EventLoop& loop) : loop(loop) {}

    void hello(std::int64_t clientVersion, HelloReply reply) override {
        record("hello " + std::to_string(clientVersion));
        if (defer)
            pending.push_back([reply] { reply(1); });
        else
            reply(1);
    }
    void write(UUID, Bytes data) override {
        record("write " + std::string(data.begin(), data.end()));
    }
    // Never reached by these tests.
    void openShell(UUID, std::int64_t, std::int64_t, std::string, std::optional<std::string>,
                   Environment, ShellOptions, OpenShellReply) override {}
    void resize(UUID, std::int64_t, std::int64_t) override {}
    void currentFolder(UUID, CurrentFolderReply) override {}
    void isBusy(UUID, IsBusyReply) override {}
    void close(UUID) override {}
    void attach(UUID, std::optional<std::int64_t>, std::int64_t, std::int64_t,
                AttachReply) override {}
    void detach(UUID) override {}
    void list(ListReply) override {}
    void commands(UUID, CommandsReply) override {}

    // From any thread.
    std::vector<std::string> calls() {
        return loop.sync([this] { return calls_; });
    }

    EventLoop& loop;
    bool defer = false;
    std::vector<std::function<void()>> pending;
    // Runs after each call has been recorded.
    std::function<void(const std::string& call)> afterCall;

private:
    void record(std::string call) {
        calls_.push_back(call);
        if (afterCall)
            afterCall(call);
    }

    std::vector<std::string> calls_;
};

// Accepts every connection with `helper`, admitting only clients that
// identify as the application, and counts the connections and their ends.
class TestDelegate : public ipc::ListenerDelegate {
public:
    explicit TestDelegate(EventLoop& loop) : loop(loop) {}

    EventLoop& loop;
    std::shared_ptr<RecordingHelper> helper = std::make_shared<RecordingHelper>(loop);
    std::atomic<int> accepted{0};
    std::atomic<int> ended{0};

    bool
    shouldAcceptNewConnection(ipc::Listener&,
                              const std::shared_ptr<ipc::AgentConnection>& connection) override {
        connection->setPeerRequirement("identifier \"tech.morvane.veltro\"");
        connection->setHandler(helper);
        connection->setDisconnectHandler([this] { ++ended; });
        connections_.push_back(connection);
        connection->resume();
        ++accepted;
        return true;
    }

    // The first connection accepted, if it is still there.
    std::shared_ptr<ipc::AgentConnection> connection() {
        return loop.sync([&] { return connections_.at(0).lock(); });
    }

    // Ends every connection and waits until each has let go of itself, so that none outlives
    // the test and its handler, which refers to this delegate.
    void endAll() {
        auto connections = loop.sync([&] {
            for (auto& weak : connections_)
                if (auto connection = weak.lock())
                    connection->disconnect();
            return connections_;
        });
        eventually([&] {
            return std::all_of(connections.begin(), connections.end(),
                               [](const auto& weak) { return weak.expired(); });
        });
    }

private:
    std::vector<std::weak_ptr<ipc::AgentConnection>> connections_;
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
        ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    }
    // Over a socket connected already, such as ssh's standard input and output.
    explicit RawPeer(FileDescriptor connected) : fd_(connected.release()) {}
    ~RawPeer() { ::close(fd_); }
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    bool closed() const { return closed_; }
    int fd() const { return fd_; }

    void send(const std::string& bytes) { ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL); }
    void identify(const std::string& identifier = "tech.morvane.veltro") {
        send(encodeNotification("identify", identifier));
    }
    // Identifies itself and says hello; answers whether the agent answered.
    bool greet() {
        identify();
        send(encodeRequest(1, "hello", std::int64_t{1}));
        return receive().has_value();
    }

    // The next message from the agent, or nothing once the connection has closed or the agent
    // has been silent for a minute.
    std::optional<Message> receive() {
        msgpack::object message;
        while (decoder_.next(message) != ipc::MessageDecoder::Result::message)
            if (!readSome())
                return std::nullopt;
        return Message{msgpack::clone(message)};
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
    bool closed_ = false;
    ipc::MessageDecoder decoder_;
};

// An agent listening on a socket file in a temporary folder, with a TestDelegate, on a loop of
// its own that outlives everything else of it.
struct SocketAgent {
    EventLoop loop;
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    TestDelegate delegate{loop};
    std::shared_ptr<ipc::Listener> listener =
        ipc::Listener::listening(loop, ipc::bindListeningSocket(path), path);

    explicit SocketAgent(std::chrono::milliseconds identifyTimeout = std::chrono::seconds(10)) {
        listener->setIdentifyTimeout(identifyTimeout);
        listener->setDelegate(&delegate);
        listener->resume();
    }
    ~SocketAgent() {
        listener->stop();
        delegate.endAll();
    }
};

} // namespace veltro::ipctest
