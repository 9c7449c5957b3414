#include "xpc/Transport.hpp"
#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <numeric>

using namespace veltro;
using namespace veltro::xpctest;

namespace {

const UUID shellID = *UUID::parse("00112233-4455-6677-8899-AABBCCDDEEFF");

void packBin(Packer& packer, std::size_t size) {
    std::string data(size, 'i');
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
    return bytes([&](Packer& p) {
        p.pack_array(4), p.pack(0), p.pack(msgid), p.pack(method), p.pack_array(count);
        params(p);
    });
}

template <class Params>
std::string notification(const std::string& method, std::uint32_t count, Params params) {
    return bytes([&](Packer& p) {
        p.pack_array(3), p.pack(2), p.pack(method), p.pack_array(count);
        params(p);
    });
}

std::string hello(std::uint32_t msgid) {
    return encodeRequest(msgid, "hello", std::int64_t{1});
}

std::string validWrite() {
    return encodeNotification("write", shellID, ByteView(std::array<std::uint8_t, 2>{'o', 'k'}));
}

const std::string writeCall = "write " + shellID.string() + " ok";

struct Message {
    msgpack::object_handle handle;
    const msgpack::object& operator[](std::size_t i) const { return handle.get().via.array.ptr[i]; }
};

std::optional<Message> receive(RawPeer& peer) {
    auto message = peer.receive();
    if (!message)
        return std::nullopt;
    return Message{std::move(*message)};
}

} // namespace

TEST(ConnectionBadInput, EveryMessageNotCarriedOutIsAnsweredAndOnlyABrokenStreamEnds) {
    enum class Outcome { errorResponse, errorNotification, closing };
    struct Case {
        std::string name;
        std::string bytes;
        Outcome outcome;
    };
    std::string deep = std::string(33, '\x91') + '\xC0';
    std::vector<Case> cases = {
        {"frobnicate", request(9, "frobnicate", 0, [](Packer&) {}), Outcome::errorResponse},
        {"currentFolder", request(9, "currentFolder", 1, [](Packer& p) { packBin(p, 15); }),
         Outcome::errorResponse},
        {"write", request(9, "write", 2, [](Packer& p) { packID(p), packBin(p, 1); }),
         Outcome::errorResponse},
        {"openShell",
         request(9, "openShell", 6,
                 [](Packer& p) {
                     packID(p), p.pack(80), p.pack(24), p.pack(std::string("/\0", 2)), p.pack_nil(),
                         p.pack_map(0);
                 }),
         Outcome::errorResponse},
        {"write", notification("write", 2, [](Packer& p) { packID(p), p.pack("ok"); }),
         Outcome::errorNotification},
        {"resize", notification("resize", 3, [](Packer& p) { packID(p), p.pack(1.5), p.pack(2); }),
         Outcome::errorNotification},
        {"launchMissiles", notification("launchMissiles", 0, [](Packer&) {}),
         Outcome::errorNotification},
        {"a byte that is not MessagePack", "\xC1", Outcome::closing},
        {"a response from the client", bytes([](Packer& p) {
             p.pack_array(4), p.pack(1), p.pack(0), p.pack_nil(), p.pack_nil();
         }),
         Outcome::closing},
        {"a kind of 3",
         bytes([](Packer& p) { p.pack_array(3), p.pack(3), p.pack("write"), p.pack_array(0); }),
         Outcome::closing},
        {"a notification of four items", bytes([](Packer& p) {
             p.pack_array(4), p.pack(2), p.pack("close"), p.pack_array(0), p.pack_nil();
         }),
         Outcome::closing},
        {"a negative msgid", request(0, "hello", 0, [](Packer&) {}).replace(2, 1, "\xFF"),
         Outcome::closing},
        {"a msgid past 32 bits", bytes([](Packer& p) {
             p.pack_array(4), p.pack(0), p.pack(std::uint64_t(1) << 32), p.pack("hello"),
                 p.pack_array(0);
         }),
         Outcome::closing},
        {"a method that is not a str",
         bytes([](Packer& p) { p.pack_array(3), p.pack(2), p.pack(7), p.pack_array(0); }),
         Outcome::closing},
        {"params that are not an array",
         bytes([](Packer& p) { p.pack_array(3), p.pack(2), p.pack("close"), p.pack_map(0); }),
         Outcome::closing},
        {"a message that is not an array", bytes([](Packer& p) { p.pack("close"); }),
         Outcome::closing},
        {"a str larger than 64 MiB", std::string("\x93\x02\xDB\x04\x00\x00\x01", 7),
         Outcome::closing},
        {"nesting deeper than 32 levels", deep, Outcome::closing},
        {"an array of 65,537 elements", std::string("\xDD\x00\x01\x00\x01", 5), Outcome::closing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SocketAgent agent;
        RawPeer peer(agent.path);
        peer.identify();
        peer.send(validWrite() + hello(1) + c.bytes + validWrite() + hello(2));
        auto first = receive(peer);
        ASSERT_TRUE(first);
        EXPECT_EQ((*first)[1].as<int>(), 1);
        auto answer = receive(peer);
        ASSERT_TRUE(answer);
        if (c.outcome == Outcome::closing) {
            EXPECT_EQ((*answer)[1].as<std::string>(), "closing");
            EXPECT_FALSE((*answer)[2].via.array.ptr[0].as<std::string>().empty());
            EXPECT_TRUE(peer.closedByAgent());
            EXPECT_EQ(agent.delegate.helper->calls(),
                      (std::vector<std::string>{writeCall, "hello 1"}));
            EXPECT_TRUE(eventually([&] { return agent.delegate.ended == 1; }));
            continue;
        }
        if (c.outcome == Outcome::errorResponse) {
            EXPECT_EQ((*answer)[1].as<int>(), 9);
            EXPECT_NE((*answer)[2].as<std::string>().find(c.name), std::string::npos);
            EXPECT_TRUE((*answer)[3].is_nil());
        } else {
            auto params = (*answer)[2].as<std::vector<std::string>>();
            EXPECT_EQ((*answer)[1].as<std::string>(), "error");
            EXPECT_EQ(params.at(0), c.name);
            EXPECT_NE(params.at(1).find(c.name), std::string::npos);
        }
        auto last = receive(peer);
        ASSERT_TRUE(last);
        EXPECT_EQ((*last)[1].as<int>(), 2);
        EXPECT_EQ(agent.delegate.helper->calls(),
                  (std::vector<std::string>{writeCall, "hello 1", writeCall, "hello 1"}));
    }
}

TEST(ConnectionHandshake, ClientThatFailsTheHandshakeIsToldWhyBeforeTheCloseAndGetsNothing) {
    struct Case {
        std::string name;
        std::string greeting;
        std::string reason;
        std::vector<std::string> delivered = {};
        std::chrono::milliseconds timeout{10000};
    };
    std::string identify = encodeNotification("identify", "tech.morvane.veltro");
    std::vector<Case> cases = {
        {"a request first", hello(1) + identify, "must be identify"},
        {"identify without params", notification("identify", 0, [](Packer&) {}), "identify:"},
        {"identify with an int", notification("identify", 1, [](Packer& p) { p.pack(1); }),
         "identify:"},
        {"identify with two strs",
         notification("identify", 2, [](Packer& p) { p.pack("a"), p.pack("b"); }), "identify:"},
        {"identify with invalid UTF-8",
         notification("identify", 1, [](Packer& p) { p.pack("\xFF"); }), "identify:"},
        {"identify as a request",
         request(0, "identify", 1, [](Packer& p) { p.pack("tech.morvane.veltro"); }),
         "must be identify"},
        {"identify twice", identify + validWrite() + identify, "only once", {writeCall}},
        {"a foreign identifier", encodeNotification("identify", "tech.morvane.veltro.devious"),
         "\"tech.morvane.veltro.devious\""},
        {"silence", "", "in time", {}, std::chrono::milliseconds(100)},
        {"the development identifier",
         encodeNotification("identify", "tech.morvane.veltro.dev"),
         "",
         {writeCall, "hello 1"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SocketAgent agent(c.timeout);
        agent.delegate.requirement =
            "identifier \"tech.morvane.veltro\" or identifier \"tech.morvane.veltro.dev\"";
        RawPeer peer(agent.path);
        if (!c.greeting.empty())
            peer.send(c.greeting + validWrite() + hello(7));
        auto answer = receive(peer);
        ASSERT_TRUE(answer);
        if (c.reason.empty()) {
            EXPECT_EQ((*answer)[1].as<int>(), 7);
        } else {
            EXPECT_EQ((*answer)[1].as<std::string>(), "closing");
            auto reason = (*answer)[2].via.array.ptr[0].as<std::string>();
            EXPECT_NE(reason.find(c.reason), std::string::npos) << reason;
            EXPECT_TRUE(peer.closedByAgent());
        }
        EXPECT_EQ(agent.delegate.helper->calls(), c.delivered);
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
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, agent.path.data(), agent.path.size());
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
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

TEST(ConnectionOrdering, ResponsesLeaveInRequestOrderAndAnUnansweredReplyNamesItsMethod) {
    SocketAgent agent;
    agent.delegate.helper->deferReplies();
    RawPeer peer(agent.path);
    peer.identify();
    peer.send(encodeRequest(10, "currentFolder", shellID) + encodeRequest(11, "isBusy", shellID) +
              hello(12));
    ASSERT_TRUE(eventually([&] { return agent.delegate.helper->calls().size() == 3; }));
    auto replies = agent.delegate.helper->takePendingReplies();
    replies[2]();
    replies[1]();
    replies[0] = nullptr;

    auto dropped = receive(peer);
    auto busy = receive(peer);
    auto version = receive(peer);
    ASSERT_TRUE(dropped && busy && version);
    EXPECT_EQ((*dropped)[1].as<int>(), 10);
    EXPECT_NE((*dropped)[2].as<std::string>().find("currentFolder"), std::string::npos);
    EXPECT_EQ((*busy)[1].as<int>(), 11);
    EXPECT_TRUE((*busy)[3].via.array.ptr[0].as<bool>());
    EXPECT_EQ((*version)[1].as<int>(), 12);
    EXPECT_EQ((*version)[3].as<int>(), 1);
}

TEST(ConnectionOrdering, ReplyCalledTwiceStopsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            SocketAgent agent;
            agent.delegate.helper->deferReplies();
            RawPeer peer(agent.path);
            peer.identify();
            peer.send(hello(1));
            eventually([&] { return agent.delegate.helper->calls().size() == 1; });
            auto replies = agent.delegate.helper->takePendingReplies();
            replies[0]();
            replies[0]();
        },
        "reply to hello was called twice");
}

namespace {

constexpr int floodChunks = 64;
const std::vector<std::uint8_t> floodData(64 * 1024, 'f');

// Queues far more output than the socket holds, counting the chunks as they are written.
void flood(xpc::AgentConnection& connection, std::vector<int>& written, int chunks = floodChunks) {
    for (int i = 0; i < chunks; ++i)
        connection.output(shellID, floodData, [&written, i] { written.push_back(i); });
}

std::shared_ptr<xpc::AgentConnection> identified(SocketAgent& agent, RawPeer& peer) {
    peer.identify();
    peer.send(hello(1));
    EXPECT_TRUE(receive(peer));
    return agent.delegate.connection();
}

} // namespace

TEST(ConnectionSendBarrier, RunsOnceEveryEarlierMessageHasBeenWrittenInOrder) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    auto connection = identified(agent, peer);
    std::vector<int> written;
    int barriers = 0;
    loop().sync([&] {
        flood(*connection, written);
        connection->scheduleSendBarrierBlock([&] { ++barriers; });
    });
    EXPECT_EQ(loop().sync([&] { return barriers; }), 0);
    for (int i = 0; i < floodChunks; ++i) {
        auto chunk = receive(peer);
        ASSERT_TRUE(chunk);
        EXPECT_EQ((*chunk)[1].as<std::string>(), "output");
        EXPECT_EQ((*chunk)[2].via.array.ptr[1].via.bin.size, floodData.size());
    }
    EXPECT_TRUE(eventually([&] { return loop().sync([&] { return barriers == 1; }); }));
    std::vector<int> order(floodChunks);
    std::iota(order.begin(), order.end(), 0);
    EXPECT_EQ(loop().sync([&] { return written; }), order);
}

TEST(ConnectionSendBarrier, RunsAtOnceWhenNothingWaitsAndWhenTheConnectionEnds) {
    SocketAgent agent;
    std::vector<int> written;
    int barriers = 0;
    std::shared_ptr<xpc::AgentConnection> connection;
    {
        RawPeer peer(agent.path);
        connection = identified(agent, peer);
        loop().sync([&] {
            connection->scheduleSendBarrierBlock([&] { ++barriers; });
            EXPECT_EQ(barriers, 1);
            flood(*connection, written);
            connection->scheduleSendBarrierBlock([&] { ++barriers; });
        });
    }
    EXPECT_TRUE(eventually([&] { return agent.delegate.ended == 1; }));
    loop().sync([&] {
        EXPECT_EQ(barriers, 2);
        EXPECT_EQ(written.size(), std::size_t(floodChunks));
        connection->scheduleSendBarrierBlock([&] { ++barriers; });
        connection->output(shellID, floodData, [&] { written.push_back(-1); });
        EXPECT_EQ(barriers, 3);
        EXPECT_EQ(written.back(), -1);
    });
}

TEST(ConnectionBackPressure, ReadingStopsPast32MiBWaitingAndResumesBelow8MiB) {
    SocketAgent agent;
    RawPeer peer(agent.path);
    auto connection = identified(agent, peer);
    std::vector<int> written;
    constexpr int chunks = 40 * 16;
    std::atomic<std::size_t> read{0};
    std::atomic<std::size_t> readWhenHelloCame{0};
    loop().sync([&] {
        agent.delegate.helper->afterCall = [&](const std::string&) {
            readWhenHelloCame = read.load();
        };
        flood(*connection, written, chunks);
    });
    peer.send(hello(2));
    std::size_t total = chunks * floodData.size();
    while (read < total)
        read += peer.readRaw(65536);
    EXPECT_TRUE(eventually([&] { return agent.delegate.helper->calls().size() == 2; }));
    // The agent wrote down to 8 MiB before it read again; what it wrote then and the peer had
    // not read yet fits the socket's buffers.
    EXPECT_GE(readWhenHelloCame.load(), total - xpc::Transport::resumeReadingBelow - (1 << 20));
}

TEST(ConnectionBackPressure, SuspendedConnectionHoldsWhatItReadUntilTheLastResume) {
    SocketAgent agent;
    std::shared_ptr<xpc::AgentConnection> connection;
    agent.delegate.helper->afterCall = [&](const std::string& call) {
        if (call != writeCall)
            return;
        connection->suspendReading();
        connection->suspendReading();
    };
    RawPeer peer(agent.path);
    connection = identified(agent, peer);
    peer.send(validWrite() + hello(2));
    EXPECT_TRUE(eventually([&] { return agent.delegate.helper->calls().size() == 2; }));
    loop().sync([&] { connection->resumeReading(); });
    loop().sync([] {});
    EXPECT_EQ(agent.delegate.helper->calls().size(), 2u);
    loop().sync([&] { connection->resumeReading(); });
    EXPECT_TRUE(receive(peer));
    EXPECT_EQ(agent.delegate.helper->calls().back(), "hello 1");
}

TEST(ConnectionLifetime, EndedConnectionLetsGoOfItsExportedObjectAndItself) {
    SocketAgent agent;
    auto helper = std::make_shared<RecordingHelper>();
    std::weak_ptr<RecordingHelper> weakHelper = helper;
    agent.delegate.makeObject = [&helper] { return std::exchange(helper, nullptr); };
    std::weak_ptr<xpc::AgentConnection> weakConnection;
    {
        RawPeer peer(agent.path);
        weakConnection = identified(agent, peer);
    }
    EXPECT_TRUE(eventually([&] { return weakHelper.expired() && weakConnection.expired(); }));
    EXPECT_EQ(agent.delegate.ended, 1);
}
