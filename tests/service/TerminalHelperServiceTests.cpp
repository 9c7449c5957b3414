#include "support/FakeShells.hpp"

#include "ipc/AgentConnection.hpp"
#include "platform/EventLoop.hpp"
#include "service/HelperLifetime.hpp"
#include "service/TerminalClient.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"
#include "service/TerminalHelperService.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

// Records what the service tells the client; output is acknowledged at once.
class FakeClient final : public TerminalClient {
public:
    void output(const UUID&, ByteView data, Sent sent) override {
        outputs.emplace_back(data.begin(), data.end());
        sent();
    }
    void exited(const UUID& id, std::int32_t status) override { exits.emplace_back(id, status); }
    void folderChanged(const UUID&, std::string folder) override {
        folders.push_back(std::move(folder));
    }
    void detached(const UUID& id, std::string reason) override {
        detaches.emplace_back(id, std::move(reason));
    }
    void error(std::string method, std::string message) override {
        errors.push_back(method + ": " + message);
    }
    std::string identifier() const override { return identity; }
    void afterResponses(std::function<void()> block) override { block(); }
    void suspendInput() override { ++suspensions; }
    void resumeInput() override { --suspensions; }

    std::vector<Bytes> outputs;
    std::vector<std::pair<UUID, std::int32_t>> exits;
    std::vector<std::string> folders;
    std::vector<std::pair<UUID, std::string>> detaches;
    std::vector<std::string> errors;
    std::string identity = "tech.morvane.veltro";
    int suspensions = 0;
};

// An agent-side connection that records the order of the steps that decide who is served.
class FakeConnection final : public ipc::AgentConnection {
public:
    void setPeerRequirement(std::string value) override { steps.push_back("requirement " + value); }
    void setHandler(std::shared_ptr<TerminalHelperProtocol>) override {}
    void setDisconnectHandler(std::function<void()>) override {}
    void resume() override { steps.push_back("resume"); }
    void disconnect() override {}
    void suspendReading() override {}
    void resumeReading() override {}
    pid_t peerPid() const override { return 42; }
    const std::string& peerIdentifier() const override { return identifier; }
    void output(const UUID&, ByteView, std::function<void()> onWritten) override { onWritten(); }
    void exited(const UUID&, std::int32_t) override {}
    void folderChanged(const UUID&, std::string_view) override {}
    void detached(const UUID&, std::string_view) override {}
    void error(std::string_view, std::string_view) override {}
    void afterResponses(std::function<void()> block) override { block(); }
    void addWriteBarrier(std::function<void()> block) override { block(); }

    std::vector<std::string> steps;
    std::string identifier;
};

struct OpenReply {
    int calls = 0;
    std::int32_t pid = -1;
    std::optional<std::string> error;
};

struct Fixture {
    EventLoop loop;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
    // A delay no test waits for: only the counts matter here.
    std::shared_ptr<HelperLifetime> lifetime =
        std::make_shared<HelperLifetime>(loop, 3600.0, [] {});
    std::shared_ptr<TerminalHelperService> service =
        std::make_shared<TerminalHelperService>(launcher, client, lifetime);

    std::shared_ptr<OpenReply> open(const UUID& id,
                                    std::optional<std::string> shell = std::nullopt) {
        auto reply = std::make_shared<OpenReply>();
        service->openShell(id, 80, 24, "/tmp", std::move(shell), {}, {},
                           [reply](std::int32_t pid, std::optional<std::string> error) {
                               ++reply->calls;
                               reply->pid = pid;
                               reply->error = std::move(error);
                           });
        return reply;
    }
};

using Sizes = std::vector<std::pair<std::int64_t, std::int64_t>>;

} // namespace

TEST(TerminalHelperService, OpenRefusesDuplicatesAndEndedServicesAndUnknownIdsGetEmptyAnswers) {
    Fixture f;
    f.launcher->finishAtOnce = false;
    UUID id = UUID::random();
    auto first = f.open(id);
    EXPECT_EQ(f.open(id)->error, "A shell with this id is already open.");
    auto session = f.launcher->finish();
    EXPECT_EQ(first->calls, 1);
    EXPECT_EQ(first->pid, session->pid());
    EXPECT_EQ(first->error, std::nullopt);
    EXPECT_EQ(f.open(id)->error, "A shell with this id is already open.");
    EXPECT_EQ(f.lifetime->shells(), 1);
    // A shell not named by an absolute path is refused before anything is launched.
    for (const char* shell : {"bin/sh", "./sh", ""}) {
        auto relative = f.open(UUID::random(), shell);
        EXPECT_EQ(relative->pid, 0);
        EXPECT_EQ(relative->error, "Couldn\u2019t start \u201c" + std::string(shell) +
                                       "\u201d: a shell must be named by an absolute path.");
    }
    EXPECT_EQ(f.launcher->requests.size(), 1u);
    EXPECT_EQ(f.service->shellCount(), 1);

    UUID unknown = UUID::random();
    f.service->write(unknown, {'x'});
    f.service->resize(unknown, 1, 1);
    f.service->close(unknown);
    std::optional<std::string> folder = "unanswered";
    f.service->currentFolder(unknown, [&](std::optional<std::string> value) { folder = value; });
    EXPECT_EQ(folder, std::nullopt);
    std::pair<bool, std::optional<std::string>> busy{true, ""};
    f.service->isBusy(unknown, [&](bool value, auto name) { busy = {value, name}; });
    EXPECT_EQ(busy, (std::pair<bool, std::optional<std::string>>{false, std::nullopt}));
    EXPECT_TRUE(session->input.empty() && session->resizes.empty() && session->closes == 0);

    f.service->closeAll();
    auto refused = f.open(UUID::random());
    EXPECT_EQ(refused->pid, 0);
    EXPECT_EQ(refused->error, "The connection has ended.");
}

TEST(TerminalHelperService, FailedLaunchRepliesWithItsTextAndGivesTheCountAndTheInputBack) {
    Fixture f;
    f.launcher->finishAtOnce = false;
    UUID id = UUID::random();
    auto reply = f.open(id);
    EXPECT_EQ(f.lifetime->shells(), 1);
    f.service->write(id, Bytes(ShellSession::inputBacklogLimit + 1, 'x'));
    EXPECT_EQ(f.client->suspensions, 1);
    f.launcher->finish("Couldn\u2019t start the shell.");
    EXPECT_EQ(f.client->suspensions, 0);
    EXPECT_EQ(reply->calls, 1);
    EXPECT_EQ(reply->pid, 0);
    EXPECT_EQ(reply->error, "Couldn\u2019t start the shell.");
    EXPECT_EQ(f.service->shellCount(), 0);
    EXPECT_EQ(f.lifetime->shells(), 0);
    f.launcher->finishAtOnce = true;
    EXPECT_EQ(f.open(id)->error, std::nullopt);
}

TEST(TerminalHelperService, CloseDuringLaunchClosesTheNewSessionForwardsNoExitAndLetsInputGo) {
    Fixture f;
    f.launcher->finishAtOnce = false;
    UUID id = UUID::random();
    auto reply = f.open(id);
    f.service->write(id, Bytes(ShellSession::inputBacklogLimit, 'x'));
    f.service->write(id, {'x'});
    EXPECT_EQ(f.client->suspensions, 1);
    f.service->close(id);
    EXPECT_EQ(f.client->suspensions, 0);
    EXPECT_EQ(f.service->shellCount(), 0);

    auto session = f.launcher->finish();
    EXPECT_EQ(reply->pid, session->pid());
    EXPECT_EQ(session->closes, 1);
    EXPECT_TRUE(session->input.empty());
    EXPECT_EQ(f.lifetime->shells(), 0);
    EXPECT_TRUE(f.client->exits.empty());
}

// Input before the launch counts toward the same bound as a running shell's backlog: past it
// the client is held back, once, until the terminal has taken enough; nothing is dropped.
TEST(TerminalHelperService, InputAndSizeSentWhileTheShellStartsReachItInOrderWithinTheBound) {
    Fixture f;
    f.launcher->finishAtOnce = false;
    UUID id = UUID::random();
    UUID slow = UUID::random();
    f.open(id);
    f.open(slow);
    // With the three bytes before them, one byte short of the bound.
    Bytes half(ShellSession::inputBacklogLimit / 2 - 2, 'a');
    Bytes expected;
    auto send = [&](const UUID& to, Bytes data) {
        if (to == id)
            expected.insert(expected.end(), data.begin(), data.end());
        f.service->write(to, std::move(data));
    };
    send(id, {'l'});
    f.service->resize(id, 100, 30);
    send(id, {'s', '\r'});
    send(id, half);
    send(id, half);
    send(id, {'b'});
    EXPECT_EQ(f.client->suspensions, 0);
    send(id, {'c'});
    send(id, {'d'});
    EXPECT_EQ(f.client->suspensions, 1);
    send(slow, Bytes(ShellSession::inputBacklogLimit + 1, 'd'));
    EXPECT_EQ(f.client->suspensions, 2);

    // A terminal that takes it all lets go at once; a backlogged one once it has drained.
    auto session = f.launcher->finish();
    EXPECT_EQ(f.client->suspensions, 1);
    EXPECT_TRUE(session->input == expected);
    EXPECT_EQ(session->resizes, (Sizes{{100, 30}}));
    f.launcher->startBacklogged = true;
    auto backlogged = f.launcher->finish();
    EXPECT_EQ(backlogged->input.size(), ShellSession::inputBacklogLimit + 1);
    f.service->write(slow, {'e'});
    EXPECT_EQ(f.client->suspensions, 1);
    backlogged->drain();
    EXPECT_EQ(f.client->suspensions, 0);

    send(id, {'!'});
    f.service->resize(id, 120, 40);
    EXPECT_TRUE(session->input == expected);
    EXPECT_EQ(session->resizes, (Sizes{{100, 30}, {120, 40}}));
}

// A closed shell keeps reporting until it has been reaped: none of it may reach the client, and
// its late exit must not take the slot of a shell reopened under the same id.
TEST(TerminalHelperService,
     ClosedShellsLateReportsAreAcknowledgedButNeverSentNorEndTheReopenedOne) {
    Fixture f;
    UUID id = UUID::random();
    f.open(id);
    auto old = f.launcher->sessions.at(0);
    old->exitOnClose = false;
    f.service->close(id);
    f.open(id);
    auto fresh = f.launcher->sessions.at(1);
    Bytes chunk{'h', 'i'};
    bool sent = false;
    old->events.output(chunk, [&] { sent = true; });
    old->events.folderChanged("/tmp");
    old->exit(0);
    EXPECT_TRUE(sent);
    EXPECT_TRUE(f.client->outputs.empty() && f.client->folders.empty() && f.client->exits.empty());
    EXPECT_EQ(f.service->shellCount(), 1);
    f.service->write(id, {'l', 's'});
    EXPECT_EQ(fresh->input, (Bytes{'l', 's'}));

    fresh->exit(9);
    EXPECT_EQ(f.client->exits, (std::vector<std::pair<UUID, std::int32_t>>{{id, 9}}));
    EXPECT_EQ(f.lifetime->shells(), 0);
}

TEST(TerminalHelperService, BackloggedInputHoldsTheClientBackUntilTheShellHasTakenIt) {
    Fixture f;
    UUID first = UUID::random();
    UUID second = UUID::random();
    f.open(first);
    f.open(second);
    auto slow = f.launcher->sessions.at(0);
    slow->backlogged = true;
    f.service->write(first, Bytes(100, 'a'));
    f.service->write(first, Bytes(100, 'b'));
    EXPECT_EQ(f.client->suspensions, 1);
    EXPECT_EQ(slow->input.size(), 200u);

    f.launcher->sessions.at(1)->backlogged = true;
    f.service->write(second, {'c'});
    EXPECT_EQ(f.client->suspensions, 2);

    slow->drain();
    EXPECT_EQ(f.client->suspensions, 1);
    // A shell that ends while it holds input back gives the hold back too.
    f.service->close(second);
    EXPECT_EQ(f.client->suspensions, 0);
}

TEST(TerminalHelperService, CloseAllHangsUpEveryShellOnceAndTheShellsOutliveTheService) {
    Fixture f;
    f.open(UUID::random());
    f.open(UUID::random());
    f.launcher->finishAtOnce = false;
    f.open(UUID::random());
    std::weak_ptr<TerminalHelperService> weak = f.service;

    f.service->closeAll();
    f.service->closeAll();
    EXPECT_EQ(f.launcher->finish()->closes, 1);
    f.service.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(f.launcher->sessions.at(0)->closes, 1);
    EXPECT_EQ(f.launcher->sessions.at(1)->closes, 1);
    EXPECT_TRUE(f.client->exits.empty());
    EXPECT_EQ(f.lifetime->shells(), 0);
}

// The requirement is set before the connection is resumed, so that no request is read from a
// peer that has not been checked. How a connection's end closes its shells is shown end to end.
TEST(TerminalHelperListenerDelegate, ChecksEachConnectionBeforeResumingIt) {
    EventLoop loop;
    TerminalHelperListenerDelegate delegate{"identifier \"x\"", std::make_shared<FakeLauncher>(),
                                            std::make_shared<HelperLifetime>(loop, 3600.0, [] {})};
    // The delegate does not look at the listener it is called for.
    auto listener = ipc::Listener::anonymous(loop);
    auto connection = std::make_shared<FakeConnection>();
    EXPECT_TRUE(delegate.shouldAcceptNewConnection(*listener, connection));
    EXPECT_EQ(connection->steps,
              (std::vector<std::string>{"requirement identifier \"x\"", "resume"}));
}
