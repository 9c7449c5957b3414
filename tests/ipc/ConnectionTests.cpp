#include "ipc/ConnectionTestSupport.hpp"
#include "ipc/Transport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <numeric>

using namespace veltro;
using namespace veltro::ipctest;
using namespace std::chrono_literals;

namespace {

const UUID shellID = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");
const std::vector<char> id(shellID.bytes().begin(), shellID.bytes().end());
const auto nil = msgpack::type::nil_t();
const std::tuple<> none;

// An array of the values, packed by hand, for messages a correct peer never makes.
template <class... Values> std::string packed(const Values&... values) {
    msgpack::sbuffer buffer;
    msgpack::pack(buffer, std::make_tuple(values...));
    return std::string(buffer.data(), buffer.size());
}

std::string hello(std::uint32_t msgid) {
    return encodeRequest(msgid, "hello", std::int64_t{1});
}

std::string validWrite() {
    return encodeNotification("write", shellID, ByteView(std::array<std::uint8_t, 2>{'o', 'k'}));
}

const std::string writeCall = "write ok";

// What the agent says next, in short; "end" once it has closed the connection.
std::string next(RawPeer& peer) {
    std::optional<Message> message = peer.receive();
    if (!message)
        return peer.closed() ? "end" : "silence";
    if ((*message)[0].as<int>() == 1)
        return "response " + std::to_string((*message)[1].as<int>()) +
               ((*message)[2].is_nil() ? "" : ": " + (*message)[2].as<std::string>());
    auto params = (*message)[2].as<std::vector<std::string>>();
    return (*message)[1].as<std::string>() + " " + params.at(0) +
           (params.size() > 1 ? ": " + params[1] : "");
}

} // namespace

// A fault in one message is answered, a request's with an error response and a notification's
// with an error notification, and the connection serves on. Only a stream that cannot be read
// on, or a handshake that fails, ends it; then "closing" says why before the end.
TEST(ConnectionBadInput, EveryFaultIsAnsweredAndOnlyABrokenStreamOrHandshakeEndsTheConnection) {
    struct Case {
        std::string sent;
        std::string answer;
        // Sent after an identify, a write and a request that are all correct.
        bool admitted = true;
        std::chrono::milliseconds identifyTimeout{10000};
    };
    const std::string identify = encodeNotification("identify", "tech.morvane.veltro");
    const std::string badNotification = "closing A notification is not [2, method, params].";
    // Client text comes back cut to 200 bytes between characters, however long it was.
    std::string e = "\xC3\xA9";
    std::string longIdentifier = "x", quotedIdentifier = "x";
    for (int i = 0; i < 150; ++i) {
        longIdentifier += e;
        quotedIdentifier += i < 99 ? e : "";
    }
    quotedIdentifier += "\xE2\x80\xA6 (301 bytes)";
    const std::string longMethod(300, 'm');
    const std::string quotedMethod = std::string(200, 'm') + "\xE2\x80\xA6 (300 bytes)";
    const Case cases[] = {
        {packed(0, 9, "frobnicate", none), "response 9: Unknown method \"frobnicate\"."},
        {packed(2, "isBusy", std::make_tuple(id)),
         "error isBusy: isBusy is a request, not a notification."},
        {packed(2, "write", std::make_tuple(id, "ok")), "error write: write: data must be a bin."},
        {"\xC1", "closing The stream holds a byte that is not MessagePack."},
        {packed(1, 0, nil, nil), "closing A client must not send responses."},
        {packed(0, 9, "hello"),
         "closing A request or response is not [kind, msgid, ..., ...] with a valid msgid."},
        {packed(2, 7, none), badNotification},
        {packed(2, "close", std::map<int, int>()), badNotification},
        {"\xA5"
         "close",
         "closing A message is not a MessagePack-RPC array."},
        {std::string("\x93\x02\xDB\x04\x00\x00\x01", 7),
         "closing A message is larger than 67108864 bytes."},
        {identify, "closing identify may come only once."},
        {hello(1) + identify, "closing The first message must be identify.", false},
        {packed(2, "identify", std::make_tuple(1)),
         "closing identify: identifier must be a UTF-8 str.", false},
        {packed(2, longMethod, none),
         "error " + quotedMethod + ": Unknown method \"" + quotedMethod + "\"."},
        {encodeNotification("identify", longIdentifier),
         "closing The identifier \"" + quotedIdentifier +
             "\" does not meet the requirement: identifier \"tech.morvane.veltro\"",
         false},
        {"", "closing The client did not identify itself in time.", false, 100ms},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE("case " + std::to_string(i));
        SocketAgent agent(c.identifyTimeout);
        RawPeer peer(agent.path);
        if (c.admitted)
            peer.send(identify + validWrite() + hello(1));
        if (c.admitted || !c.sent.empty())
            peer.send(c.sent + validWrite() + hello(2));
        const bool ends = c.answer.starts_with("closing ");
        std::vector<std::string> expected{c.answer, ends ? "end" : "response 2"};
        std::vector<std::string> calls;
        if (c.admitted) {
            expected.insert(expected.begin(), "response 1");
            calls = {writeCall, "hello 1"};
        }
        if (!ends)
            calls.insert(calls.end(), {writeCall, "hello 1"});
        std::vector<std::string> said;
        while (said.size() < expected.size())
            said.push_back(next(peer));
        EXPECT_EQ(said, expected);
        EXPECT_EQ(agent.delegate.helper->calls(), calls);
    }
}

TEST(ConnectionHandshake, PeerOfAnotherUserGetsNoByteAndNoConnection) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    SocketAgent agent;
    ::chmod(agent.folder.path().c_str(), 0755);
    ::chmod(agent.path.c_str(), 0666);
    std::string greeting =
        encodeNotification("identify", "tech.morvane.veltro") + hello(1) + validWrite();
    pid_t child = ::fork();
    if (child == 0) {
        // Only system calls from here on: the parent has other threads.
        if (::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(10);
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (!veltro::testing::connectTo(fd, agent.path))
            ::_exit(11);
        ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        pollfd entry{fd, POLLIN, 0};
        if (::poll(&entry, 1, 60000) != 1)
            ::_exit(12);
        char byte;
        // An end of file, or a reset for the greeting that was never read; never an answer.
        ::_exit(::recv(fd, &byte, 1, 0) > 0 ? 13 : 0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(agent.delegate.accepted, 0);
}

namespace {

constexpr int floodChunks = 64;
const std::vector<std::uint8_t> floodData(64 * 1024, 'f');

// Queues far more output than the socket holds, counting the chunks as they are written.
void flood(ipc::AgentConnection& connection, std::vector<int>& written, int chunks = floodChunks) {
    for (int i = 0; i < chunks; ++i)
        connection.output(shellID, floodData, [&written, i] { written.push_back(i); });
}

std::shared_ptr<ipc::AgentConnection> identified(SocketAgent& agent, RawPeer& peer) {
    EXPECT_TRUE(peer.greet());
    return agent.delegate.connection();
}

} // namespace

// The barrier and the completions run for output that can no longer be written too, and the
// ended connection then lets go of its handler and of itself.
TEST(ConnectionWriteBarrier, RunsOnceEveryEarlierMessageHasBeenWrittenOrTheConnectionHasEnded) {
    SocketAgent agent;
    std::weak_ptr<RecordingHelper> helper = agent.delegate.helper;
    std::vector<int> written;
    int barriers = 0;
    auto barrier = [&] { ++barriers; };
    std::shared_ptr<ipc::AgentConnection> connection;
    {
        RawPeer peer(agent.path);
        connection = identified(agent, peer);
        EXPECT_EQ(agent.loop.sync([&] {
            // From here on the connection holds the only reference to its handler.
            agent.delegate.helper.reset();
            connection->addWriteBarrier(barrier);
            flood(*connection, written);
            connection->addWriteBarrier(barrier);
            return barriers;
        }),
                  1);
        for (int i = 0; i < floodChunks; ++i) {
            auto chunk = peer.receive();
            ASSERT_TRUE(chunk);
            EXPECT_EQ((*chunk)[2].via.array.ptr[1].via.bin.size, floodData.size());
        }
        EXPECT_TRUE(eventually([&] { return agent.loop.sync([&] { return barriers == 2; }); }));
        std::vector<int> order(floodChunks);
        std::iota(order.begin(), order.end(), 0);
        EXPECT_EQ(agent.loop.sync([&] { return written; }), order);
        agent.loop.sync([&] {
            flood(*connection, written);
            connection->addWriteBarrier(barrier);
        });
    }
    EXPECT_TRUE(eventually([&] { return agent.delegate.ended == 1; }));
    agent.loop.sync([&] {
        EXPECT_EQ(barriers, 3);
        EXPECT_EQ(written.size(), std::size_t(2 * floodChunks));
        connection->addWriteBarrier(barrier);
        connection->output(shellID, floodData, [&] { written.push_back(-1); });
        EXPECT_EQ(barriers, 4);
        EXPECT_EQ(written.back(), -1);
    });
    std::weak_ptr<ipc::AgentConnection> ended = std::exchange(connection, nullptr);
    EXPECT_TRUE(eventually([&] { return helper.expired() && ended.expired(); }));
}

// Reading waits until every suspension has been lifted, and stops while more than 32 MiB or 4,096
// messages wait to be written, until they are down to 8 MiB and 1,024 messages.
TEST(ConnectionBackPressure, ReadingWaitsForTheLastResumeAndStopsPast32MiBOr4096MessagesUnwritten) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    auto connection = identified(agent, peer);
    std::vector<int> written;
    constexpr int chunks = 40 * 16;
    std::atomic<int> received{0};
    std::atomic<int> receivedWhenCalled{0};
    agent.loop.sync([&] {
        agent.delegate.helper->afterCall = [&](const std::string& call) {
            receivedWhenCalled = received.load();
            if (call != writeCall)
                return;
            connection->suspendReading();
            connection->suspendReading();
        };
    });
    peer.send(validWrite() + hello(2));
    EXPECT_TRUE(eventually([&] { return agent.delegate.helper->calls().size() == 2; }));
    agent.loop.sync([&] { connection->resumeReading(); });
    agent.loop.sync([] {});
    EXPECT_EQ(agent.delegate.helper->calls().size(), 2u);
    agent.loop.sync([&] { connection->resumeReading(); });
    EXPECT_TRUE(peer.receive());
    EXPECT_EQ(agent.delegate.helper->calls().size(), 3u);

    agent.loop.sync([&] { flood(*connection, written, chunks); });
    peer.send(hello(3));
    for (; received < chunks; ++received)
        ASSERT_TRUE(peer.receive());
    EXPECT_TRUE(eventually([&] { return agent.delegate.helper->calls().size() == 4; }));
    // The agent wrote down to 8 MiB before it read again; what it wrote then and the peer had
    // not read yet fits the socket's buffers.
    EXPECT_GE(receivedWhenCalled.load(),
              chunks - int((ipc::Transport::resumeReadingBelow + (1 << 20)) / floodData.size()));

    // Tiny messages, a few hundred KiB in all, hold reading back by their count: the agent
    // wrote all but 1,024 of them before it read again, and the socket's buffers hold fewer
    // than half.
    constexpr int notes = 40000;
    received = 0;
    agent.loop.sync([&] {
        for (int i = 0; i < notes; ++i)
            connection->exited(shellID, i);
    });
    peer.send(hello(4));
    for (; received < notes; ++received)
        ASSERT_TRUE(peer.receive());
    EXPECT_TRUE(eventually([&] { return agent.delegate.helper->calls().size() == 5; }));
    EXPECT_GE(receivedWhenCalled.load(), notes / 2);
}

// Responses leave in the order of their requests, so one slow answer holds back every later
// one, and a reply dropped unanswered says so; past 4,096 requests waiting for their turn
// nothing more is read, until fewer than 1,024 wait.
TEST(ConnectionBackPressure, ResponsesLeaveInRequestOrderAndNoneIsReadWhile4096AwaitTheirTurn) {
    SocketAgent agent;
    agent.delegate.helper->defer = true;
    RawPeer peer(agent.path);
    peer.identify();
    constexpr std::size_t requests = 5000;
    std::string batch;
    for (std::size_t i = 0; i < requests; ++i)
        batch += hello(std::uint32_t(i));
    peer.send(batch);
    auto calls = [&] { return agent.delegate.helper->calls().size(); };
    ASSERT_TRUE(eventually([&] { return calls() >= 4096; }));
    EXPECT_EQ(calls(), 4096u);
    agent.loop.sync([&] {
        agent.delegate.helper->defer = false;
        auto replies = std::exchange(agent.delegate.helper->pending, {});
        // Answered last to first; the first is dropped with the others' list.
        std::for_each(replies.rbegin(), std::prev(replies.rend()), [](auto& reply) { reply(); });
    });
    EXPECT_EQ(next(peer), "response 0: The agent dropped the reply to hello without answering.");
    for (std::size_t i = 1; i < requests; ++i)
        ASSERT_EQ(next(peer), "response " + std::to_string(i));
    EXPECT_EQ(calls(), requests);
}
