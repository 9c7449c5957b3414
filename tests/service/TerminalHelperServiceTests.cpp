#include "support/Eventually.hpp"
#include "support/FakeShells.hpp"

#include "ipc/AgentConnection.hpp"
#include "platform/EventLoop.hpp"
#include "service/HelperLifetime.hpp"
#include "service/TerminalClient.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"
#include "service/TerminalHelperService.hpp"

#include <gtest/gtest.h>

#include <map>

using namespace veltro;
using namespace veltro::testing;

namespace {

// Records what the service tells the client; output is acknowledged at once unless `holdOutput`
// is set, when the acknowledgements wait in `unsent` for acknowledge().
class FakeClient final : public TerminalClient {
public:
    void output(const UUID& id, ByteView data, Sent sent) override {
        streams[id].append(data.begin(), data.end());
        if (holdOutput)
            unsent.push_back(std::move(sent));
        else
            sent();
    }
    void acknowledge() {
        holdOutput = false;
        for (auto& sent : std::exchange(unsent, {}))
            sent();
    }
    void exited(const UUID& id, std::int32_t status) override { exits.emplace_back(id, status); }
    void folderChanged(const UUID&, std::string folder) override {
        folders.push_back(std::move(folder));
    }
    void commandStarted(const UUID& id, std::int64_t offset,
                        const std::optional<std::string>& commandLine) override {
        marks.push_back(describe(id, offset, "started", commandLine.value_or("nil")));
    }
    void commandFinished(const UUID& id, std::int64_t offset, std::optional<std::int64_t> exitCode,
                         std::int64_t) override {
        marks.push_back(describe(id, offset, "finished",
                                 exitCode ? std::to_string(*exitCode) : std::string("nil")));
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

    // A mark and how much of its shell's output had arrived before it.
    std::string describe(const UUID& id, std::int64_t offset, const std::string& kind,
                         const std::string& value) {
        return kind + " " + std::to_string(offset) + " " + value + " after " +
               std::to_string(streams[id].size());
    }

    std::vector<std::pair<UUID, std::int32_t>> exits;
    std::vector<std::string> folders;
    std::vector<std::string> marks;
    std::vector<std::pair<UUID, std::string>> detaches;
    std::map<UUID, std::string> streams;
    bool holdOutput = false;
    std::vector<Sent> unsent;
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
    void commandStarted(const UUID&, std::int64_t, const std::optional<std::string>&) override {}
    void commandFinished(const UUID&, std::int64_t, std::optional<std::int64_t>,
                         std::int64_t) override {}
    void error(std::string_view, std::string_view) override {}
    void afterResponses(std::function<void()> block) override { block(); }
    void addWriteBarrier(std::function<void()> block) override { block(); }

    std::vector<std::string> steps;
    std::string identifier;
};

// The reply to openShell or attach; `calls` counts how often it came.
struct Reply {
    int calls = 0;
    std::int32_t pid = -1;
    std::int64_t offset = -1;
    std::optional<std::string> error;
};

// Connections of one agent sharing its kept shells, over fake shells; `client` and `service` are
// the first connection's.
struct Fixture {
    EventLoop loop;
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    // A delay no test waits for: only the counts matter here.
    std::shared_ptr<HelperLifetime> lifetime =
        std::make_shared<HelperLifetime>(loop, 3600.0, [] {});
    std::shared_ptr<KeptShells> kept = std::make_shared<KeptShells>(loop.executor(), lifetime);
    std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
    std::shared_ptr<TerminalHelperService> service =
        std::make_shared<TerminalHelperService>(launcher, client, lifetime, kept);

    struct Connection {
        std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
        std::shared_ptr<TerminalHelperService> service;
    };
    Connection connect(std::string identity = "tech.morvane.veltro") {
        Connection connection;
        connection.client->identity = std::move(identity);
        connection.service =
            std::make_shared<TerminalHelperService>(launcher, connection.client, lifetime, kept);
        return connection;
    }

    std::shared_ptr<Reply> open(const UUID& id, ShellOptions options = {},
                                std::optional<std::string> shell = std::nullopt) {
        auto reply = std::make_shared<Reply>();
        service->openShell(id, 80, 24, "/tmp", std::move(shell), {}, options,
                           [reply](std::int32_t pid, std::optional<std::string> error) {
                               ++reply->calls;
                               reply->pid = pid;
                               reply->error = std::move(error);
                           });
        return reply;
    }
    // A kept shell opened on the first connection, and its session.
    std::shared_ptr<FakeSession> keep(const UUID& id, ShellOptions options = {60, 1024 * 1024}) {
        EXPECT_EQ(open(id, options)->error, std::nullopt);
        return launcher->sessions.back();
    }
};

Reply attach(TerminalHelperService& service, const UUID& id, std::optional<std::int64_t> from,
             std::int64_t columns = 80, std::int64_t rows = 24) {
    Reply attached;
    service.attach(id, from, columns, rows,
                   [&](std::int32_t pid, std::int64_t offset, std::optional<std::string> error) {
                       attached = {attached.calls + 1, pid, offset, std::move(error)};
                   });
    return attached;
}

std::vector<KeptShellInfo> list(TerminalHelperService& service) {
    std::vector<KeptShellInfo> shells;
    service.list([&](std::vector<KeptShellInfo> all) { shells = std::move(all); });
    return shells;
}

// Output of `size` bytes numbered by position, so a gap or a repeat shows.
std::string numbered(std::size_t start, std::size_t size) {
    std::string text;
    for (std::size_t i = start; i < start + size; ++i)
        text.push_back(static_cast<char>('a' + i % 23));
    return text;
}

void produce(
    FakeSession& session, const std::string& text, std::function<void()> sent = [] {}) {
    session.events.output(ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                          sent);
}

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
        auto relative = f.open(UUID::random(), {}, shell);
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
    std::optional<std::vector<CommandInfo>> commands;
    f.service->commands(unknown, [&](std::vector<CommandInfo> all) { commands = std::move(all); });
    EXPECT_EQ(commands, std::vector<CommandInfo>());
    EXPECT_TRUE(session->input.empty() && session->resizes.empty() && session->closes == 0);
    // Only a shell opened with marks has its marks looked for, and reported.
    EXPECT_FALSE(session->events.wantsMarks());
    UUID marked = UUID::random();
    f.open(marked, {0, 0, true, false});
    f.launcher->finish()->events.commandFinished(7, 1, 20);
    EXPECT_EQ(f.client->marks, std::vector<std::string>{"finished 7 1 after 0"});

    f.service->closeAll();
    auto refused = f.open(UUID::random());
    EXPECT_EQ(refused->pid, 0);
    EXPECT_EQ(refused->error, "The connection has ended.");
}

// A launch that fails, or is closed while it runs, gives the count and the held input back.
TEST(TerminalHelperService, FailedOrClosedLaunchesRepliesOnceAndGiveTheCountAndTheInputBack) {
    Fixture f;
    f.launcher->finishAtOnce = false;
    UUID failing = UUID::random();
    UUID closed = UUID::random();
    auto failed = f.open(failing);
    auto reply = f.open(closed);
    EXPECT_EQ(f.lifetime->shells(), 2);
    f.service->write(failing, Bytes(ShellSession::inputBacklogLimit + 1, 'x'));
    f.service->write(closed, Bytes(ShellSession::inputBacklogLimit + 1, 'x'));
    EXPECT_EQ(f.client->suspensions, 2);
    f.launcher->finish("Couldn\u2019t start the shell.");
    EXPECT_EQ(f.client->suspensions, 1);
    EXPECT_EQ(failed->calls, 1);
    EXPECT_EQ(failed->pid, 0);
    EXPECT_EQ(failed->error, "Couldn\u2019t start the shell.");
    f.service->close(closed);
    EXPECT_EQ(f.client->suspensions, 0);
    EXPECT_EQ(f.service->shellCount(), 0);

    auto session = f.launcher->finish();
    EXPECT_EQ(reply->pid, session->pid());
    EXPECT_EQ(session->closes, 1);
    EXPECT_TRUE(session->input.empty());
    EXPECT_EQ(f.lifetime->shells(), 0);
    EXPECT_TRUE(f.client->exits.empty());
    f.launcher->finishAtOnce = true;
    EXPECT_EQ(f.open(failing)->error, std::nullopt);
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
    // A shell that ends while it holds input back gives the hold back too.
    backlogged->backlogged = true;
    f.service->write(slow, {'f'});
    EXPECT_EQ(f.client->suspensions, 1);
    f.service->close(slow);
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
    EXPECT_TRUE(f.client->streams.empty() && f.client->folders.empty() && f.client->exits.empty());
    EXPECT_EQ(f.service->shellCount(), 1);
    f.service->write(id, {'l', 's'});
    EXPECT_EQ(fresh->input, (Bytes{'l', 's'}));

    fresh->exit(9);
    EXPECT_EQ(f.client->exits, (std::vector<std::pair<UUID, std::int32_t>>{{id, 9}}));
    EXPECT_EQ(f.lifetime->shells(), 0);
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

// A mark found in live output that waits behind the replay waits with it.
TEST(KeptShells, ReplayThenLiveOutputAndItsMarksArriveOnceInOrderWhileTheReadingWaits) {
    Fixture f;
    UUID id = UUID::random();
    auto session = f.keep(id, {60, 1024 * 1024, true, false});
    // Six pieces of replay: more than may be in flight at once.
    std::string before = numbered(0, 6 * 64 * 1024 + 100);
    produce(*session, before);
    f.service->closeAll();
    EXPECT_FALSE(list(*f.service).front().attached);

    auto second = f.connect();
    second.client->holdOutput = true;
    auto attached = attach(*second.service, id, 1000);
    ASSERT_EQ(attached.error, std::nullopt);
    EXPECT_EQ(attached.pid, session->pid());
    EXPECT_EQ(attached.offset, 1000);
    EXPECT_EQ(second.client->unsent.size(), 4u);
    // Read while the replay is under way: it waits, unacknowledged, behind the kept bytes.
    std::string live = numbered(before.size(), 5000);
    bool liveSent = false;
    produce(*session, live, [&] { liveSent = true; });
    std::int64_t end = std::int64_t(before.size() + live.size());
    session->events.commandStarted(end, "ls");
    EXPECT_TRUE(second.client->marks.empty());
    second.client->acknowledge();
    EXPECT_EQ(second.client->marks,
              std::vector<std::string>{"started " + std::to_string(end) + " ls after " +
                                       std::to_string(end - 1000)});
    EXPECT_TRUE(liveSent);
    EXPECT_EQ(second.client->streams[id], (before + live).substr(1000));
    EXPECT_EQ(list(*second.service).front().produced, std::int64_t(before.size() + live.size()));
}

TEST(KeptShells, HistoryKeepsTheNewestBytesAndAttachStartsAtTheOldestKept) {
    Fixture f;
    UUID id = UUID::random();
    auto session = f.keep(id, {60, 4096});
    f.service->detach(id);
    std::string all = numbered(0, 20000);
    for (std::size_t at = 0; at < all.size(); at += 3000)
        produce(*session, all.substr(at, 3000));
    auto second = f.connect();
    // From the oldest kept, and from an offset already overwritten.
    for (std::optional<std::int64_t> from :
         {std::optional<std::int64_t>(), std::optional<std::int64_t>(5)}) {
        EXPECT_EQ(attach(*second.service, id, from).offset, std::int64_t(all.size() - 4096));
        second.service->detach(id);
    }
    EXPECT_EQ(second.client->streams[id],
              all.substr(all.size() - 4096) + all.substr(all.size() - 4096));
    auto past = attach(*second.service, id, std::int64_t(all.size()) + 1);
    EXPECT_EQ(past.pid, 0);
    EXPECT_TRUE(past.error);
}

TEST(KeptShells, TakeOverTellsThePreviousConnectionAndTheSizeReachesTheShell) {
    Fixture f;
    UUID id = UUID::random();
    auto session = f.keep(id);
    auto second = f.connect();
    // The same size: only the signal that makes a full-screen program redraw.
    ASSERT_EQ(attach(*second.service, id, std::nullopt, 80, 24).error, std::nullopt);
    EXPECT_EQ(session->windowChanges, 1);
    EXPECT_TRUE(session->resizes.empty());
    EXPECT_EQ(f.client->detaches,
              (std::vector<std::pair<UUID, std::string>>{{id, "attached elsewhere"}}));
    EXPECT_EQ(f.service->shellCount(), 0);
    produce(*session, "after");
    EXPECT_EQ(f.client->streams[id], "");
    EXPECT_EQ(second.client->streams[id], "after");
    EXPECT_EQ(attach(*second.service, id, std::nullopt).error,
              "This connection has this shell already.");
    // Taken back at another size; a detach from a connection without it changes nothing.
    ASSERT_EQ(attach(*f.service, id, 4, 100, 40).error, std::nullopt);
    EXPECT_EQ(session->resizes, (Sizes{{100, 40}}));
    second.service->detach(id);
    EXPECT_EQ(second.client->errors.size(), 1u);
    EXPECT_TRUE(list(*f.service).front().attached);
    EXPECT_EQ(f.client->streams[id], "r");
}

TEST(KeptShells, ExitWhileDetachedIsReplayedThenReportedAndTheShellIsGone) {
    Fixture f;
    UUID id = UUID::random();
    auto session = f.keep(id);
    produce(*session, "last words");
    f.service->closeAll();
    session->exit(0x0300);
    EXPECT_EQ(f.lifetime->shells(), 1);
    auto listed = list(*f.service);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed.front().exited);
    EXPECT_EQ(listed.front().pid, session->pid());

    auto second = f.connect();
    EXPECT_EQ(attach(*second.service, id, 5).error, std::nullopt);
    EXPECT_EQ(second.client->streams[id], "words");
    EXPECT_EQ(second.client->exits, (std::vector<std::pair<UUID, std::int32_t>>{{id, 0x0300}}));
    EXPECT_TRUE(list(*second.service).empty());
    EXPECT_EQ(f.lifetime->shells(), 0);
}

TEST(KeptShells, TheKeepPeriodEndsADetachedShellAndOnlyItsIdentifierSeesIt) {
    Fixture f;
    UUID id = UUID::random();
    auto session = f.keep(id, {1, 0});
    auto stranger = f.connect("com.example.other");
    EXPECT_TRUE(list(*stranger.service).empty());
    auto refused = attach(*stranger.service, id, std::nullopt);
    EXPECT_EQ(refused.error, "No kept shell with this id.");
    EXPECT_EQ(refused.error, attach(*stranger.service, UUID::random(), std::nullopt).error);
    EXPECT_EQ(refused.pid, 0);

    // The timer runs on the loop, so from here the test does too.
    f.loop.sync([&] {
        f.service->closeAll();
        EXPECT_EQ(list(*f.service).front().left, 1);
    });
    EXPECT_TRUE(eventually([&] { return f.loop.sync([&] { return f.kept->size() == 0; }); }));
    EXPECT_EQ(f.loop.sync([&] { return session->closes; }), 1);
    EXPECT_EQ(f.lifetime->shells(), 0);
}

TEST(KeptShells, HistoriesShareOneBudgetAndAShellWithoutKeepIsVersionOnes) {
    Fixture f;
    for (int i = 0; i < 4; ++i)
        f.keep(UUID::random(), {60, ShellOptions::maximumHistory});
    auto refused = f.open(UUID::random(), {60, 1})->error;
    ASSERT_TRUE(refused);
    EXPECT_NE(refused->find("256 MiB"), std::string::npos);
    f.keep(UUID::random(), {60, 0});
    // History alone keeps nothing: the shell dies with its connection.
    f.keep(UUID::random(), {0, 4096});
    EXPECT_EQ(list(*f.service).size(), 5u);
    f.service->closeAll();
    EXPECT_EQ(f.launcher->sessions.back()->closes, 1);
    EXPECT_EQ(f.lifetime->shells(), 5);
    f.kept->closeAll();
    EXPECT_EQ(f.lifetime->shells(), 0);
}
