#include "support/ClientRecorder.hpp"
#include "support/Eventually.hpp"
#include "support/FakeShells.hpp"
#include "support/TemporaryFolder.hpp"

#include "client/TerminalHelperClient.hpp"
#include "platform/EventLoop.hpp"
#include "protocol/TerminalService.hpp"
#include "service/HelperLifetime.hpp"
#include "service/InProcessTerminalHelper.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace veltro;
using namespace veltro::testing;

namespace {

// An agent in this process whose shells are fakes; the fakes live on the event loop, so the
// test reaches them there.
struct FakeAgent {
    EventLoop loop;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::shared_ptr<HelperLifetime> lifetime =
        std::make_shared<HelperLifetime>(loop, 3600.0, [] {});
    InProcessTerminalHelper helper{loop, launcher, lifetime};
    ClientRecorder recorder;
    std::shared_ptr<TerminalHelperClient> client =
        TerminalHelperClient::connect(loop, recorder.handler(), helper.endpoint());

    // The agent's end lets go of its service, shells and itself once it has seen the client go.
    ~FakeAgent() {
        client.reset();
        loop.sync([&] {
            while (!launcher->pending.empty())
                launcher->finish();
        });
        EXPECT_TRUE(eventually([&] { return lifetime->connections() == 0; }));
    }

    template <class Work> auto onLoop(Work work) { return loop.sync(work); }
    std::shared_ptr<FakeSession> session(std::size_t index) {
        return onLoop([&] { return launcher->sessions.at(index); });
    }
};

} // namespace

TEST(TerminalHelperClient, RequestsReachTheShellAndReportsReachTheHandlerInOrder) {
    FakeAgent agent;
    EXPECT_EQ(agent.client->agentVersion(), TerminalService::protocolVersion);
    UUID id = UUID::random();
    auto opened =
        agent.client->openShell(id, 80, 24, "/home/ü ser", std::nullopt, {{"LANG", "de_CH.UTF-8"}});
    EXPECT_EQ(opened.pid, 1000);
    EXPECT_EQ(opened.error, std::nullopt);
    agent.client->write(id, Bytes{'l', 's', '\n'});
    agent.client->resize(id, -3, 70000);
    EXPECT_EQ(agent.client->currentFolder(id), "/fake/1000");
    auto busy = agent.client->isBusy(id);
    EXPECT_TRUE(busy.busy);
    EXPECT_EQ(busy.name, "vim");
    auto session = agent.session(0);
    // A chunk's bytes stay the sender's until they have been written.
    Bytes chunk{'a', 'b'};
    int sent = 0;
    agent.onLoop([&] {
        EXPECT_EQ(
            agent.launcher->requests.at(0),
            (ShellRequest{id, 80, 24, "/home/ü ser", std::nullopt, {{"LANG", "de_CH.UTF-8"}}}));
        EXPECT_EQ(session->input, (Bytes{'l', 's', '\n'}));
        EXPECT_EQ(session->resizes,
                  (std::vector<std::pair<std::int64_t, std::int64_t>>{{-3, 70000}}));
        session->events.output(chunk, [&] { ++sent; });
        session->events.folderChanged("/srv/ü");
        session->events.output(chunk, [&] { ++sent; });
        session->exit(-2147483647 - 1);
    });
    ASSERT_TRUE(eventually([&] { return agent.recorder.exit(id).has_value(); }));
    EXPECT_EQ(agent.recorder.output(id), "abab");
    EXPECT_EQ(*agent.recorder.exit(id), -2147483647 - 1);
    EXPECT_EQ(agent.onLoop([&] { return sent; }), 2);
}

TEST(TerminalHelperClient, BlockingCallsThrowOnceTheConnectionEndsAndTheEndIsReportedOnce) {
    FakeAgent agent;
    agent.onLoop([&] { agent.launcher->finishAtOnce = false; });
    std::thread ender([&] {
        ASSERT_TRUE(eventually(
            [&] { return agent.onLoop([&] { return agent.launcher->pending.size() == 1; }); }));
        agent.client->disconnect();
        agent.client->disconnect();
    });
    EXPECT_THROW(agent.client->openShell(UUID::random(), 80, 24, "/", std::nullopt, {}),
                 ConnectionEnded);
    ender.join();
    EXPECT_THROW(agent.client->hello(1), ConnectionEnded);
    agent.client->write(UUID::random(), Bytes{'x'});
    EXPECT_EQ(agent.recorder.disconnectCount(), 1);
    EXPECT_EQ(agent.recorder.reason(), "");
}

TEST(TerminalHelperClient, ConnectingWhereNothingListensNamesTheSocket) {
    TemporaryFolder folder;
    std::string path = folder / "nobody.socket";
    EventLoop loop;
    EXPECT_THAT([&] { TerminalHelperClient::connect(loop, {}, path); },
                ::testing::ThrowsMessage<ipc::ConnectionError>(::testing::HasSubstr(path)));
}

TEST(TerminalHelperClient, ALargeWriteArrivesWholeAndConcurrentCallsEachGetTheirOwnAnswer) {
    FakeAgent agent;
    std::vector<UUID> ids(4, UUID());
    for (auto& id : ids) {
        id = UUID::random();
        ASSERT_GT(agent.client->openShell(id, 80, 24, "/", std::nullopt, {}).pid, 0);
    }
    Bytes data(17 * 1024 * 1024 + 5, 'z');
    data.back() = 'y';
    agent.client->write(ids[0], data);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> callers;
    for (int t = 0; t < 4; ++t)
        callers.emplace_back([&, t] {
            for (int i = 0; i < 25; ++i)
                if (agent.client->currentFolder(ids[t]) != "/fake/" + std::to_string(1000 + t))
                    ++mismatches;
        });
    for (auto& caller : callers)
        caller.join();
    EXPECT_EQ(mismatches.load(), 0);
    auto session = agent.session(0);
    EXPECT_TRUE(agent.onLoop([&] { return session->input == data; }));
}
