#include "client/TerminalHelperClient.hpp"
#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>

using namespace veltro;
using namespace veltro::xpctest;

namespace {

const UUID shellID = *UUID::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

// An in-process agent: an anonymous listener with a recording delegate.
struct InProcessAgent {
    TestDelegate delegate;
    std::shared_ptr<xpc::Listener> listener = xpc::Listener::anonymous();

    InProcessAgent() {
        listener->setDelegate(&delegate);
        listener->resume();
    }
    ~InProcessAgent() {
        stopListener(listener);
        delegate.endAll();
    }
};

// What reached a client's handler, in order.
struct HandlerLog {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> events;

    TerminalHelperClient::Handler handler() {
        TerminalHelperClient::Handler handler;
        handler.output = [this](const UUID& id, Bytes data) {
            add("output " + id.string() + " " + std::string(data.begin(), data.end()));
        };
        handler.exited = [this](const UUID& id, std::int32_t status) {
            add("exited " + id.string() + " " + std::to_string(status));
        };
        handler.folderChanged = [this](const UUID& id, const std::string& folder) {
            add("folderChanged " + id.string() + " " + folder);
        };
        handler.disconnected = [this] { add("disconnected"); };
        return handler;
    }
    void add(std::string event) {
        std::lock_guard lock(mutex);
        events.push_back(std::move(event));
        changed.notify_all();
    }
    bool waitFor(std::size_t count) {
        return waitUntil(mutex, changed, [&] { return events.size() >= count; });
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return events;
    }
};

} // namespace

TEST(TerminalHelperClient, EveryRequestAndNotificationReachesTheServiceIntact) {
    InProcessAgent agent;
    HandlerLog log;
    auto client = TerminalHelperClient::connect(log.handler(), agent.listener->endpoint());
    EXPECT_EQ(client->agentVersion(), 1);

    auto opened = client->openShell(shellID, 80, 24, "/home/ü ser", std::nullopt,
                                    {{"LANG", "de_CH.UTF-8"}, {"TERM_PROGRAM", "Veltro"}});
    EXPECT_EQ(opened.pid, 4242);
    EXPECT_FALSE(opened.error);
    client->write(shellID, Bytes{'l', 's', '\n'});
    client->resize(shellID, -3, 70000);
    EXPECT_EQ(client->currentFolder(shellID), "/tmp/folder");
    auto busy = client->isBusy(shellID);
    EXPECT_TRUE(busy.busy);
    EXPECT_EQ(busy.name, "vim");
    client->close(shellID);
    EXPECT_EQ(client->hello(-7), 1);

    std::string id = shellID.string();
    std::vector<std::string> expected = {
        "hello 1",
        "openShell " + id + " 80x24 /home/ü ser (nil) LANG=de_CH.UTF-8 TERM_PROGRAM=Veltro",
        "write " + id + " ls\n",
        "resize " + id + " -3x70000",
        "currentFolder " + id,
        "isBusy " + id,
        "close " + id,
        "hello -7",
    };
    ASSERT_TRUE(agent.delegate.helper->waitForCalls(expected.size()));
    EXPECT_EQ(agent.delegate.helper->calls(), expected);
}

TEST(TerminalHelperClient, CallbacksOfTheAgentReachTheHandlerInOrder) {
    InProcessAgent agent;
    HandlerLog log;
    auto client = TerminalHelperClient::connect(log.handler(), agent.listener->endpoint());
    auto proxy = agent.delegate.connection()->clientProxy();
    proxy->output(shellID, Bytes{'a', 'b'});
    proxy->folderChanged(shellID, "/srv/ü");
    proxy->output(shellID, Bytes{});
    proxy->exited(shellID, -2147483647 - 1);

    std::string id = shellID.string();
    ASSERT_TRUE(log.waitFor(4));
    std::vector<std::string> expected = {"output " + id + " ab", "folderChanged " + id + " /srv/ü",
                                         "output " + id + " ", "exited " + id + " -2147483648"};
    EXPECT_EQ(log.snapshot(), expected);
}

TEST(TerminalHelperClient, BlockingCallThrowsWhenTheConnectionEndsBeforeItsReply) {
    InProcessAgent agent;
    HandlerLog log;
    auto client = TerminalHelperClient::connect(log.handler(), agent.listener->endpoint());
    agent.delegate.helper->deferReplies();
    std::thread ender([&] {
        agent.delegate.helper->waitForCalls(2);
        agent.delegate.connection()->invalidate();
    });
    EXPECT_THROW(client->currentFolder(shellID), ConnectionEnded);
    ender.join();
    EXPECT_THROW(client->isBusy(shellID), ConnectionEnded);
    ASSERT_TRUE(log.waitFor(1));
    EXPECT_EQ(log.snapshot(), std::vector<std::string>{"disconnected"});
}

TEST(TerminalHelperClient, DisconnectReportsTheEndOnceAndTheAgentSeesIt) {
    InProcessAgent agent;
    HandlerLog log;
    auto client = TerminalHelperClient::connect(log.handler(), agent.listener->endpoint());
    client->disconnect();
    client->disconnect();
    ASSERT_TRUE(agent.delegate.ended.wait());
    ASSERT_TRUE(log.waitFor(1));
    client->write(shellID, Bytes{'x'});
    EXPECT_THROW(client->hello(1), ConnectionEnded);
    EXPECT_EQ(log.snapshot(), std::vector<std::string>{"disconnected"});
}

TEST(TerminalHelperClient, ConnectingWhereNothingListensNamesTheSocket) {
    TemporaryFolder folder;
    std::string path = folder.path() + "/nobody.socket";
    try {
        TerminalHelperClient::connect({}, path);
        FAIL() << "connected to nothing";
    } catch (const xpc::ConnectionError& error) {
        EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
    }
}

TEST(TerminalHelperClient, ClientThatFailsTheRequirementCannotConnect) {
    SocketAgent agent;
    agent.delegate.requirement = "identifier \"tech.morvane.veltro\"";
    EXPECT_THROW(TerminalHelperClient::connect({}, agent.path, "org.example.Impostor"),
                 xpc::ConnectionError);
    auto client = TerminalHelperClient::connect({}, agent.path, "tech.morvane.veltro");
    EXPECT_EQ(client->agentVersion(), 1);
    ASSERT_TRUE(agent.delegate.helper->waitForCalls(1));
    EXPECT_EQ(agent.delegate.helper->calls(), std::vector<std::string>{"hello 1"});
}

TEST(TerminalHelperClient, LargeWriteArrivesWholeAsOneStream) {
    InProcessAgent agent;
    auto client = TerminalHelperClient::connect({}, agent.listener->endpoint());
    Bytes data(17 * 1024 * 1024 + 5, 'z');
    data.back() = 'y';
    client->write(shellID, data);
    EXPECT_EQ(client->hello(1), 1);
    auto calls = agent.delegate.helper->calls();
    std::size_t total = 0;
    for (const auto& call : calls)
        if (call.rfind("write ", 0) == 0)
            total += call.size() - ("write " + shellID.string() + " ").size();
    EXPECT_EQ(total, data.size());
    EXPECT_EQ(calls.back(), "hello 1");
    EXPECT_EQ(calls[calls.size() - 2].back(), 'y');
}

namespace {

// Answers each currentFolder from a thread of its own after a pause that depends on the shell,
// so replies come back in another order than the requests went out.
class ScatteredHelper : public RecordingHelper {
public:
    void currentFolder(UUID id, CurrentFolderReply reply) override {
        std::lock_guard lock(mutex_);
        threads_.emplace_back([id, reply] {
            std::this_thread::sleep_for(std::chrono::microseconds(50 * (id.bytes()[0] % 8)));
            reply("/folder/" + id.string());
        });
    }
    ~ScatteredHelper() override {
        for (auto& thread : threads_)
            thread.join();
    }

private:
    std::mutex mutex_;
    std::vector<std::thread> threads_;
};

} // namespace

TEST(TerminalHelperClient, ConcurrentCallsEachGetTheirOwnAnswer) {
    InProcessAgent agent;
    agent.delegate.makeObject = [] { return std::make_shared<ScatteredHelper>(); };
    auto client = TerminalHelperClient::connect({}, agent.listener->endpoint());
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t) {
        callers.emplace_back([&] {
            for (int i = 0; i < 25; ++i) {
                UUID id = UUID::random();
                if (client->currentFolder(id) != "/folder/" + id.string())
                    ++mismatches;
            }
        });
    }
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(mismatches.load(), 0);
}
