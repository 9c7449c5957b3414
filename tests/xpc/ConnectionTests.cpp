#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

using namespace veltro;
using namespace veltro::xpctest;

namespace {

const UUID shellID = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

using Packer = msgpack::packer<msgpack::sbuffer>;

// Bytes made by hand, for messages that the encoders of a correct peer never make.
template <class Build> std::string bytes(Build build) {
    msgpack::sbuffer buffer;
    Packer packer(buffer);
    build(packer);
    return std::string(buffer.data(), buffer.size());
}

void packBin(Packer& packer, std::size_t size, char fill = 'i') {
    std::string data(size, fill);
    packer.pack_bin(static_cast<std::uint32_t>(size));
    packer.pack_bin_body(data.data(), static_cast<std::uint32_t>(size));
}

void packID(Packer& packer) {
    packer.pack_bin(16);
    packer.pack_bin_body(reinterpret_cast<const char*>(shellID.bytes().data()), 16);
}

template <class Params>
std::string request(std::uint32_t msgid, const std::string& method, std::uint32_t count,
                    Params params) {
    return bytes([&](Packer& packer) {
        packer.pack_array(4);
        packer.pack(0);
        packer.pack(msgid);
        packer.pack(method);
        packer.pack_array(count);
        params(packer);
    });
}

template <class Params>
std::string notification(const std::string& method, std::uint32_t count, Params params) {
    return bytes([&](Packer& packer) {
        packer.pack_array(3);
        packer.pack(2);
        packer.pack(method);
        packer.pack_array(count);
        params(packer);
    });
}

std::string hello(std::uint32_t msgid) {
    return TerminalInterfaces::encodeHello(msgid, 1).head;
}

std::string validWrite() {
    auto message = TerminalInterfaces::encodeWrite(shellID, Bytes{'o', 'k'});
    return message.head + std::string(message.tail.begin(), message.tail.end());
}

std::string writeCall() {
    return "write " + shellID.string() + " ok";
}

std::string openShellWith(std::uint32_t msgid, const std::string& folder,
                          std::function<void(Packer&)> environment) {
    return request(msgid, "openShell", 6, [&](Packer& packer) {
        packID(packer);
        packer.pack(80);
        packer.pack(24);
        packer.pack(folder);
        packer.pack_nil();
        environment(packer);
    });
}

struct Response {
    std::uint32_t msgid = 0;
    std::optional<std::string> error;
    msgpack::object_handle handle;
    const msgpack::object& result() const { return handle.get().via.array.ptr[3]; }
};

std::optional<Response> receiveResponse(RawPeer& peer) {
    auto message = peer.receive();
    if (!message)
        return std::nullopt;
    const msgpack::object& object = message->get();
    EXPECT_EQ(object.type, msgpack::type::ARRAY);
    EXPECT_EQ(object.via.array.size, 4u);
    EXPECT_EQ(object.via.array.ptr[0].as<int>(), 1);
    Response response;
    response.msgid = object.via.array.ptr[1].as<std::uint32_t>();
    if (!object.via.array.ptr[2].is_nil())
        response.error = object.via.array.ptr[2].as<std::string>();
    response.handle = std::move(*message);
    return response;
}

} // namespace

TEST(ConnectionBadInput, MismatchedRequestGetsAnErrorNamingItsMethodAndTheConnectionStays) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    peer.identify();
    struct Case {
        std::string message;
        std::string method;
    };
    std::vector<Case> cases = {
        {request(1, "frobnicate", 0, [](Packer&) {}), "frobnicate"},
        {request(2, "currentFolder", 1, [](Packer& p) { packBin(p, 15); }), "currentFolder"},
        {request(3, "currentFolder", 2, [](Packer& p) { packID(p), packID(p); }), "currentFolder"},
        {request(4, "hello", 1, [](Packer& p) { p.pack(std::uint64_t(1) << 63); }), "hello"},
        {request(5, "isBusy", 1, [](Packer& p) { p.pack_nil(); }), "isBusy"},
        {request(6, "write", 2, [](Packer& p) { packID(p), packBin(p, 1); }), "write"},
        {openShellWith(7, std::string("/a\0b", 4), [](Packer& p) { p.pack_map(0); }), "openShell"},
        {openShellWith(8, "\xC3\x28", [](Packer& p) { p.pack_map(0); }), "openShell"},
        {openShellWith(9, "/",
                       [](Packer& p) {
                           p.pack_map(1);
                           p.pack("");
                           p.pack("x");
                       }),
         "openShell"},
        {openShellWith(10, "/",
                       [](Packer& p) {
                           p.pack_map(1);
                           p.pack("A=B");
                           p.pack("x");
                       }),
         "openShell"},
        {openShellWith(11, "/",
                       [](Packer& p) {
                           p.pack_map(1);
                           p.pack("A");
                           p.pack(std::string("x\0y", 3));
                       }),
         "openShell"},
        {openShellWith(12, "/",
                       [](Packer& p) {
                           p.pack_map(1);
                           p.pack("A");
                           p.pack(7);
                       }),
         "openShell"},
    };
    for (const auto& c : cases)
        peer.send(c.message);
    peer.send(hello(99));

    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(cases[i].method + " #" + std::to_string(i + 1));
        auto response = receiveResponse(peer);
        ASSERT_TRUE(response);
        EXPECT_EQ(response->msgid, i + 1);
        ASSERT_TRUE(response->error);
        EXPECT_NE(response->error->find(cases[i].method), std::string::npos) << *response->error;
        EXPECT_TRUE(response->result().is_nil());
    }
    auto answer = receiveResponse(peer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->msgid, 99u);
    EXPECT_FALSE(answer->error);
    EXPECT_EQ(answer->result().as<int>(), 1);
    EXPECT_EQ(agent.delegate.helper->calls(), std::vector<std::string>{"hello 1"});
}

TEST(ConnectionBadInput, UndecodableNotificationIsDroppedAndLaterMessagesArrive) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    peer.identify();
    peer.send(notification("write", 2, [](Packer& p) { packBin(p, 15), packBin(p, 2); }));
    peer.send(notification("resize", 3, [](Packer& p) { packID(p), p.pack(1.5), p.pack(2); }));
    peer.send(notification("launchMissiles", 0, [](Packer&) {}));
    peer.send(notification("hello", 1, [](Packer& p) { p.pack(1); }));
    peer.send(validWrite());
    peer.send(hello(1));
    auto answer = receiveResponse(peer);
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->error);
    EXPECT_EQ(agent.delegate.helper->calls(), (std::vector<std::string>{writeCall(), "hello 1"}));
}

TEST(ConnectionBadInput, BrokenStreamEndsTheConnectionAfterDeliveringWhatCameBefore) {
    std::string deep(33, '\x91');
    deep += '\xC0';
    std::vector<std::pair<std::string, std::string>> breakers = {
        {"a byte that is not MessagePack", "\xC1"},
        {"a response from the client", bytes([](Packer& p) {
             p.pack_array(4), p.pack(1), p.pack(0), p.pack_nil(), p.pack_nil();
         })},
        {"a kind of 3",
         bytes([](Packer& p) { p.pack_array(3), p.pack(3), p.pack("write"), p.pack_array(0); })},
        {"a notification of four items", bytes([](Packer& p) {
             p.pack_array(4), p.pack(2), p.pack("close"), p.pack_array(0), p.pack_nil();
         })},
        {"a negative msgid", bytes([](Packer& p) {
             p.pack_array(4), p.pack(0), p.pack(-1), p.pack("hello"), p.pack_array(0);
         })},
        {"a msgid past 32 bits", bytes([](Packer& p) {
             p.pack_array(4), p.pack(0), p.pack(std::uint64_t(1) << 32), p.pack("hello"),
                 p.pack_array(0);
         })},
        {"a method that is not a str",
         bytes([](Packer& p) { p.pack_array(3), p.pack(2), p.pack(7), p.pack_array(0); })},
        {"params that are not an array",
         bytes([](Packer& p) { p.pack_array(3), p.pack(2), p.pack("close"), p.pack_map(0); })},
        {"a message that is not an array", bytes([](Packer& p) { p.pack("close"); })},
        {"a str larger than 64 MiB", std::string("\x93\x02\xDB\x04\x00\x00\x01", 7)},
        {"nesting deeper than 32 levels", deep},
        {"an array of 65,537 elements", std::string("\xDD\x00\x01\x00\x01", 5)},
    };
    for (const auto& [name, breaker] : breakers) {
        SCOPED_TRACE(name);
        SocketAgent agent;
        RawPeer peer(agent.path);
        peer.identify();
        peer.send(validWrite());
        peer.send(breaker + hello(1));
        EXPECT_FALSE(peer.receive());
        EXPECT_TRUE(peer.closedByAgent());
        EXPECT_EQ(agent.delegate.helper->calls(), std::vector<std::string>{writeCall()});
        EXPECT_TRUE(agent.delegate.ended.wait());
    }
}

TEST(ConnectionBadInput, AnswersGivenBeforeABrokenMessageStillGoOut) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    peer.identify();
    peer.send(hello(5) + "\xC1");
    auto answer = receiveResponse(peer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->msgid, 5u);
    EXPECT_TRUE(peer.closedByAgent());
}

TEST(ConnectionHandshake, FirstMessageOtherThanIdentifyEndsTheConnectionUndelivered) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    peer.send(hello(1));
    peer.identify();
    peer.send(hello(2));
    EXPECT_FALSE(peer.receive());
    EXPECT_TRUE(peer.closedByAgent());
    EXPECT_TRUE(agent.delegate.helper->calls().empty());
}

TEST(ConnectionHandshake, IdentifyThatIsNotExactlyOneStrEndsTheConnection) {
    std::vector<std::string> identifies = {
        notification("identify", 0, [](Packer&) {}),
        notification("identify", 1, [](Packer& p) { p.pack(1); }),
        notification("identify", 2, [](Packer& p) { p.pack("a"), p.pack("b"); }),
        notification("identify", 1, [](Packer& p) { p.pack("\xFF"); }),
        request(0, "identify", 1, [](Packer& p) { p.pack("tech.morvane.veltro"); }),
    };
    for (const auto& identify : identifies) {
        SocketAgent agent;
        RawPeer peer(agent.path);
        peer.send(identify + hello(1));
        EXPECT_TRUE(peer.closedByAgent());
        EXPECT_TRUE(agent.delegate.helper->calls().empty());
    }
}

TEST(ConnectionHandshake, SecondIdentifyEndsTheConnection) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    peer.identify();
    peer.send(validWrite());
    peer.identify();
    peer.send(hello(1));
    EXPECT_TRUE(peer.closedByAgent());
    EXPECT_EQ(agent.delegate.helper->calls(), std::vector<std::string>{writeCall()});
}

TEST(ConnectionHandshake, ClientThatNeverIdentifiesIsEndedAfterTheTimeout) {
    SocketAgent agent(std::chrono::milliseconds(100));
    RawPeer silent(agent.path);
    EXPECT_TRUE(silent.closedByAgent());

    RawPeer prompt(agent.path);
    prompt.identify();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    prompt.send(hello(1));
    EXPECT_TRUE(receiveResponse(prompt));
}

TEST(ConnectionHandshake, RequirementIsCheckedAgainstTheIdentifierBeforeAnyDelivery) {
    SocketAgent agent;
    agent.delegate.requirement =
        "identifier \"tech.morvane.veltro\" or identifier \"tech.morvane.veltro.dev\"";
    {
        RawPeer stranger(agent.path);
        stranger.identify("tech.morvane.veltro.devious");
        stranger.send(validWrite() + hello(1));
        EXPECT_TRUE(stranger.closedByAgent());
    }
    EXPECT_TRUE(agent.delegate.helper->calls().empty());

    RawPeer client(agent.path);
    client.identify("tech.morvane.veltro.dev");
    client.send(hello(1));
    EXPECT_TRUE(receiveResponse(client));
    EXPECT_EQ(agent.delegate.helper->calls(), std::vector<std::string>{"hello 1"});
}

TEST(ConnectionHandshake, PeerOfAnotherUserIsEndedBeforeAnythingIsDelivered) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    SocketAgent agent;
    ::chmod(agent.folder.path().c_str(), 0755);
    ::chmod(agent.path.c_str(), 0666);
    std::string greeting =
        TerminalInterfaces::encodeIdentify("tech.morvane.veltro").head + hello(1) + validWrite();
    pid_t child = ::fork();
    if (child == 0) {
        // Only system calls from here on: the parent has other threads.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, agent.path.data(), agent.path.size());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
            ::_exit(11);
        ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 10000) != 1)
            ::_exit(12);
        char byte;
        // An end of file, or a reset for the greeting that was never read; never an answer.
        ::_exit(::recv(fd, &byte, 1, 0) > 0 ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(agent.delegate.accepted.count(), 0);
    EXPECT_TRUE(agent.delegate.helper->calls().empty());
}

TEST(ConnectionOrdering, RepliesAnsweredOutOfOrderLeaveInRequestOrder) {
    SocketAgent agent;
    agent.delegate.helper->deferReplies();
    RawPeer peer(agent.path);
    peer.identify();
    peer.send(TerminalInterfaces::encodeCurrentFolder(10, shellID).head +
              TerminalInterfaces::encodeIsBusy(11, shellID).head + hello(12));
    ASSERT_TRUE(agent.delegate.helper->waitForCalls(3));
    auto replies = agent.delegate.helper->takePendingReplies();
    ASSERT_EQ(replies.size(), 3u);
    std::thread last([&] { replies[2](); });
    last.join();
    std::thread middle([&] { replies[1](); });
    middle.join();
    replies[0]();

    auto folder = receiveResponse(peer);
    auto busy = receiveResponse(peer);
    auto version = receiveResponse(peer);
    ASSERT_TRUE(folder && busy && version);
    EXPECT_EQ(folder->msgid, 10u);
    EXPECT_EQ(folder->result().as<std::string>(), "/tmp/folder");
    EXPECT_EQ(busy->msgid, 11u);
    EXPECT_EQ(busy->result().via.array.size, 2u);
    EXPECT_EQ(version->msgid, 12u);
    EXPECT_EQ(version->result().as<int>(), 1);
}

namespace {

// Answers currentFolder by forgetting its reply.
class ForgetfulHelper : public RecordingHelper {
public:
    void currentFolder(UUID, CurrentFolderReply) override {}
};

} // namespace

TEST(ConnectionOrdering, ReplyDroppedUnansweredGetsAnErrorSoLaterResponsesFlow) {
    SocketAgent agent;
    agent.delegate.makeObject = [] { return std::make_shared<ForgetfulHelper>(); };
    RawPeer peer(agent.path);
    peer.identify();
    peer.send(TerminalInterfaces::encodeCurrentFolder(1, shellID).head + hello(2));
    auto dropped = receiveResponse(peer);
    auto answered = receiveResponse(peer);
    ASSERT_TRUE(dropped && answered);
    EXPECT_EQ(dropped->msgid, 1u);
    EXPECT_TRUE(dropped->error);
    EXPECT_EQ(answered->msgid, 2u);
    EXPECT_FALSE(answered->error);
}

namespace {

// Sends output through the agent's proxy until far more than the socket holds is queued.
constexpr int floodChunks = 64;
constexpr std::size_t floodChunkSize = 64 * 1024;

void flood(xpc::Connection& connection) {
    auto proxy = connection.clientProxy();
    for (int i = 0; i < floodChunks; ++i)
        proxy->output(shellID, Bytes(floodChunkSize, static_cast<std::uint8_t>('a' + i % 26)));
}

std::shared_ptr<xpc::Connection> identifiedConnection(SocketAgent& agent, RawPeer& peer) {
    peer.identify();
    peer.send(hello(1));
    EXPECT_TRUE(receiveResponse(peer));
    return agent.delegate.connection();
}

} // namespace

TEST(ConnectionSendBarrier, WaitsWhileThePeerDoesNotReadAndRunsOnceItHasReadEverything) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    auto connection = identifiedConnection(agent, peer);
    ASSERT_TRUE(connection);
    flood(*connection);
    Event barrier;
    connection->scheduleSendBarrierBlock([&] { barrier.signal(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(barrier.count(), 0);

    for (int i = 0; i < floodChunks; ++i) {
        auto message = peer.receive();
        ASSERT_TRUE(message);
        const msgpack::object& params = message->get().via.array.ptr[2];
        ASSERT_EQ(params.via.array.ptr[1].via.bin.size, floodChunkSize);
        EXPECT_EQ(params.via.array.ptr[1].via.bin.ptr[0], 'a' + i % 26);
    }
    EXPECT_TRUE(barrier.wait());
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(barrier.count(), 1);
}

TEST(ConnectionSendBarrier, RunsAtOnceWhenEverythingIsWritten) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    auto connection = identifiedConnection(agent, peer);
    ASSERT_TRUE(connection);
    Event barrier;
    connection->scheduleSendBarrierBlock([&] { barrier.signal(); });
    EXPECT_TRUE(barrier.wait());
}

TEST(ConnectionSendBarrier, PendingBarrierRunsWhenThePeerGoesAway) {
    SocketAgent agent;
    Event barrier;
    Event interrupted;
    {
        RawPeer peer(agent.path);
        auto connection = identifiedConnection(agent, peer);
        ASSERT_TRUE(connection);
        connection->setInterruptionHandler([&] { interrupted.signal(); });
        flood(*connection);
        connection->scheduleSendBarrierBlock([&] { barrier.signal(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(barrier.count(), 0);
    }
    EXPECT_TRUE(barrier.wait());
    EXPECT_TRUE(interrupted.wait());
    EXPECT_TRUE(agent.delegate.ended.wait());
}

TEST(ConnectionSendBarrier, BarrierAfterTheEndRunsAtOnceAndProxyCallsAreDropped) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    auto connection = identifiedConnection(agent, peer);
    ASSERT_TRUE(connection);
    connection->invalidate();
    ASSERT_TRUE(agent.delegate.ended.wait());
    connection->clientProxy()->output(shellID, Bytes{'x'});
    Event barrier;
    connection->scheduleSendBarrierBlock([&] { barrier.signal(); });
    EXPECT_TRUE(barrier.wait());
    EXPECT_FALSE(peer.receive());
}

TEST(ConnectionLifetime, EndedConnectionLetsGoOfItsExportedObjectAndHandlers) {
    SocketAgent agent;
    auto helper = std::make_shared<RecordingHelper>();
    std::weak_ptr<RecordingHelper> weakHelper = helper;
    agent.delegate.makeObject = [&helper] { return std::exchange(helper, nullptr); };
    std::weak_ptr<xpc::Connection> weakConnection;
    {
        RawPeer peer(agent.path);
        weakConnection = identifiedConnection(agent, peer);
    }
    ASSERT_TRUE(agent.delegate.ended.wait());
    for (int i = 0; i < 100 && (!weakHelper.expired() || !weakConnection.expired()); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(weakHelper.expired());
    EXPECT_TRUE(weakConnection.expired());
}
