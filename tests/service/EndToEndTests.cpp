#include "support/ClientRecorder.hpp"
#include "support/Eventually.hpp"
#include "support/ProcessCounts.hpp"

#include "client/TerminalHelperClient.hpp"
#include "service/HelperLifetime.hpp"
#include "service/InProcessTerminalHelper.hpp"
#include "sessions/PTYShellLauncher.hpp"
#include "sessions/UserAccount.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace veltro;
using namespace veltro::testing;

namespace {

// The real launcher, remembering each session weakly, so a test can show that nothing keeps a
// finished shell's session (or the slot that holds it) around. The list is the loop's.
class CountingLauncher final : public ShellLauncher {
public:
    explicit CountingLauncher(EventLoop& loop)
        : real(loop, UserAccount::current(), {{"PATH", "/usr/bin:/bin"}}) {}

    void launch(const ShellRequest& request, ShellEvents events, Launched launched) override {
        real.launch(request, std::move(events),
                    [sessions = sessions, launched = std::move(launched)](
                        Expected<std::shared_ptr<ShellSession>> session) {
                        if (session)
                            sessions->push_back(*session);
                        launched(std::move(session));
                    });
    }
    bool noneLive() const {
        return std::all_of(sessions->begin(), sessions->end(),
                           [](const auto& session) { return session.expired(); });
    }

    PTYShellLauncher real;
    std::shared_ptr<std::vector<std::weak_ptr<ShellSession>>> sessions =
        std::make_shared<std::vector<std::weak_ptr<ShellSession>>>();
};

struct Agent {
    EventLoop loop;
    std::shared_ptr<CountingLauncher> launcher = std::make_shared<CountingLauncher>(loop);
    std::shared_ptr<HelperLifetime> lifetime =
        std::make_shared<HelperLifetime>(loop, 3600.0, [] {});
    InProcessTerminalHelper helper{loop, launcher, lifetime};

    std::shared_ptr<TerminalHelperClient> connect(ClientRecorder& recorder) {
        return TerminalHelperClient::connect(loop, recorder.handler(), helper.endpoint());
    }
    bool settled() {
        return eventually([&] {
            return lifetime->connections() == 0 && lifetime->shells() == 0 &&
                   loop.sync([&] { return launcher->noneLive(); });
        });
    }
};

const std::optional<std::string> sh = std::string("/bin/sh");

} // namespace

TEST(EndToEnd, ManyClientsOpenUseAndCloseShellsAtOnceAndLeaveNothingBehind) {
    // One whole round first, so that descriptors the process keeps for good (the loop's
    // reactor, the log) are open before the count is taken.
    {
        Agent agent;
        ClientRecorder recorder;
        auto client = agent.connect(recorder);
        ASSERT_GT(client->openShell(UUID::random(), 80, 24, "/", sh, {}).pid, 0);
        client->disconnect();
        ASSERT_TRUE(agent.settled());
    }
    int descriptorsBefore = openDescriptors();
    {
        Agent agent;
        ClientRecorder recorders[2];
        std::shared_ptr<TerminalHelperClient> clients[2] = {agent.connect(recorders[0]),
                                                            agent.connect(recorders[1])};
        constexpr int threadsPerClient = 2;
        constexpr int shellsPerThread = 6;
        std::atomic<int> failures{0};
        std::vector<std::thread> workers;
        for (int c = 0; c < 2; ++c)
            for (int t = 0; t < threadsPerClient; ++t)
                workers.emplace_back([&, c] {
                    auto& client = *clients[c];
                    std::vector<UUID> ids;
                    for (int s = 0; s < shellsPerThread; ++s) {
                        UUID id = UUID::random();
                        if (client.openShell(id, 80, 24, "/tmp", sh, {}).pid <= 0)
                            ++failures;
                        ids.push_back(id);
                        client.write(id, Bytes{'e', 'c', 'h', 'o', ' ', 'x', '\n'});
                        client.resize(id, 100 + s, 30);
                        client.currentFolder(id);
                        client.isBusy(id);
                    }
                    for (std::size_t s = 0; s < ids.size(); ++s) {
                        if (s % 2 == 0)
                            client.close(ids[s]);
                        else
                            client.write(ids[s], Bytes{'e', 'x', 'i', 't', '\n'});
                    }
                });
        for (auto& worker : workers)
            worker.join();
        EXPECT_EQ(failures.load(), 0);
        // The shells that exited by themselves were reported; the closed ones were not.
        for (auto& recorder : recorders)
            EXPECT_TRUE(eventually(
                [&] { return recorder.exitCount() == threadsPerClient * shellsPerThread / 2; }));
        // Leave a shell of the same id running in both clients for the end of each connection
        // to close.
        UUID leftOpen = UUID::random();
        for (auto& client : clients)
            ASSERT_GT(client->openShell(leftOpen, 80, 24, "/", sh, {}).pid, 0);
        for (auto& client : clients)
            client->disconnect();
        EXPECT_TRUE(agent.settled());
        clients[0].reset();
        clients[1].reset();
    }
    EXPECT_TRUE(eventually([] { return childProcesses() == 0; }));
    EXPECT_TRUE(eventually([&] { return openDescriptors() <= descriptorsBefore; }))
        << openDescriptors() << " descriptors open, " << descriptorsBefore << " before";
}
