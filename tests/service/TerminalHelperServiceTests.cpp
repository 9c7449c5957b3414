#include "service/Fakes.hpp"

#include "service/HelperLifetime.hpp"
#include "service/TerminalHelperService.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace veltro;
using namespace veltro::testing;

namespace {

struct OpenReply {
    int calls = 0;
    std::int32_t pid = -1;
    std::optional<std::string> error;
};

struct Fixture {
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::shared_ptr<FakeClient> client = std::make_shared<FakeClient>();
    // A delay no test waits for: only the counts matter here.
    std::shared_ptr<HelperLifetime> lifetime = std::make_shared<HelperLifetime>(3600.0, [] {});
    std::shared_ptr<TerminalHelperService> service =
        std::make_shared<TerminalHelperService>(launcher, client, lifetime);

    OpenReply open(const UUID& id, std::optional<std::string> shell = std::nullopt) {
        OpenReply result;
        service->openShell(id, 80, 24, "/tmp", std::move(shell), {{"TERM_PROGRAM", "Veltro"}},
                           [&](std::int32_t pid, std::optional<std::string> error) {
                               ++result.calls;
                               result.pid = pid;
                               result.error = std::move(error);
                           });
        return result;
    }

    std::optional<std::string> folder(const UUID& id) {
        std::optional<std::string> answer = "unanswered";
        service->currentFolder(id, [&](std::optional<std::string> value) { answer = value; });
        return answer;
    }

    std::pair<bool, std::optional<std::string>> busy(const UUID& id) {
        std::pair<bool, std::optional<std::string>> answer{true, "unanswered"};
        service->isBusy(id, [&](bool isBusy, std::optional<std::string> name) {
            answer = {isBusy, std::move(name)};
        });
        return answer;
    }
};

} // namespace

TEST(TerminalHelperServiceOpen, SuccessRepliesWithThePidAndPassesTheRequestUnchanged) {
    Fixture f;
    UUID id = UUID::random();
    OpenReply reply = f.open(id, "/bin/dash");
    EXPECT_EQ(reply.calls, 1);
    ASSERT_NE(f.launcher->session(0), nullptr);
    EXPECT_EQ(reply.pid, f.launcher->session(0)->pid());
    EXPECT_NE(reply.pid, 0);
    EXPECT_EQ(reply.error, std::nullopt);
    ShellRequest expected{id, 80, 24, "/tmp", "/bin/dash", {{"TERM_PROGRAM", "Veltro"}}};
    EXPECT_EQ(f.launcher->recordedRequests().at(0), expected);
    EXPECT_EQ(f.service->shellCount(), 1);
    EXPECT_EQ(f.lifetime->shells(), 1);
}

TEST(TerminalHelperServiceOpen, DuplicateIdIsRefusedWhileLaunchingAndWhileRunning) {
    Fixture f;
    UUID id = UUID::random();
    auto gate = std::make_shared<Gate>();
    f.launcher->holdLaunchesAt(gate);
    OpenReply first;
    std::thread launching([&] { first = f.open(id); });
    ASSERT_TRUE(gate->waitForArrivals(1));

    OpenReply whileLaunching = f.open(id);
    EXPECT_EQ(whileLaunching.calls, 1);
    EXPECT_EQ(whileLaunching.pid, 0);
    EXPECT_EQ(whileLaunching.error, "A shell with this id is already open.");

    gate->open();
    launching.join();
    EXPECT_EQ(first.calls, 1);
    EXPECT_NE(first.pid, 0);
    EXPECT_EQ(first.error, std::nullopt);

    OpenReply whileRunning = f.open(id);
    EXPECT_EQ(whileRunning.pid, 0);
    EXPECT_EQ(whileRunning.error, "A shell with this id is already open.");
    // Only the first request reached the launcher, and its shell was left alone.
    EXPECT_EQ(f.launcher->launchCount(), 1u);
    EXPECT_EQ(f.launcher->session(0)->closeCount(), 0);
    EXPECT_EQ(f.service->shellCount(), 1);
    EXPECT_EQ(f.lifetime->shells(), 1);
}

TEST(TerminalHelperServiceOpen, AfterCloseAllEveryOpenIsRefusedButHelloStillAnswers) {
    Fixture f;
    f.service->closeAll();
    OpenReply reply = f.open(UUID::random());
    EXPECT_EQ(reply.calls, 1);
    EXPECT_EQ(reply.pid, 0);
    EXPECT_EQ(reply.error, "The connection has ended.");
    EXPECT_EQ(f.launcher->launchCount(), 0u);
    EXPECT_EQ(f.lifetime->shells(), 0);

    std::int64_t version = 0;
    f.service->hello(-7, [&](std::int64_t value) { version = value; });
    EXPECT_EQ(version, 1);
}

TEST(TerminalHelperServiceOpen, FailedLaunchRepliesWithItsTextAndLeavesTheCountsAsTheyWere) {
    Fixture f;
    UUID running = UUID::random();
    ASSERT_NE(f.open(running).pid, 0);

    const std::string text = "The shell \u201C/nowhere\u201D couldn\u2019t be started.";
    f.launcher->failLaunchesWith(text);
    UUID failing = UUID::random();
    OpenReply reply = f.open(failing);
    EXPECT_EQ(reply.calls, 1);
    EXPECT_EQ(reply.pid, 0);
    EXPECT_EQ(reply.error, text);
    EXPECT_EQ(f.service->shellCount(), 1);
    EXPECT_EQ(f.lifetime->shells(), 1);
    EXPECT_TRUE(f.client->recordedExits().empty());

    // The identifier is free again.
    f.launcher->failLaunchesWith(std::nullopt);
    EXPECT_NE(f.open(failing).pid, 0);
    EXPECT_EQ(f.service->shellCount(), 2);
}

TEST(TerminalHelperServiceOpen, CloseDuringLaunchClosesTheNewSessionAndForwardsNoExit) {
    Fixture f;
    f.launcher->makeSessionsExitOnClose();
    auto gate = std::make_shared<Gate>();
    f.launcher->holdLaunchesAt(gate);
    UUID id = UUID::random();
    OpenReply reply;
    std::thread launching([&] { reply = f.open(id); });
    ASSERT_TRUE(gate->waitForArrivals(1));

    f.service->close(id);
    EXPECT_EQ(f.service->shellCount(), 0);
    EXPECT_EQ(f.lifetime->shells(), 1);

    gate->open();
    launching.join();
    auto session = f.launcher->session(0);
    ASSERT_NE(session, nullptr);
    EXPECT_EQ(reply.calls, 1);
    EXPECT_EQ(reply.pid, session->pid());
    EXPECT_EQ(reply.error, std::nullopt);
    EXPECT_EQ(session->closeCount(), 1);
    // The hung-up shell has been reaped: its count is given back, silently.
    EXPECT_EQ(f.lifetime->shells(), 0);
    EXPECT_TRUE(f.client->recordedExits().empty());
}

TEST(TerminalHelperServiceOpen, ShellThatExitsBeforeItsLaunchReturnsIsReportedAndStillClosed) {
    Fixture f;
    f.launcher->beforeReturning([](FakeSession& session) { session.exit(0x0200); });
    UUID id = UUID::random();
    OpenReply reply = f.open(id);
    auto session = f.launcher->session(0);
    EXPECT_EQ(reply.pid, session->pid());
    EXPECT_EQ(reply.error, std::nullopt);
    auto exits = f.client->recordedExits();
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0], std::make_pair(id, std::int32_t(0x0200)));
    EXPECT_EQ(session->closeCount(), 1);
    EXPECT_EQ(f.service->shellCount(), 0);
    EXPECT_EQ(f.lifetime->shells(), 0);
}

TEST(TerminalHelperServiceOpen, LateExitOfAClosedShellLeavesTheReopenedSlotInPlace) {
    Fixture f;
    UUID id = UUID::random();
    ASSERT_NE(f.open(id).pid, 0);
    auto old = f.launcher->session(0);
    f.service->close(id);
    ASSERT_NE(f.open(id).pid, 0);
    auto fresh = f.launcher->session(1);
    EXPECT_EQ(f.lifetime->shells(), 2);

    old->exit(0);
    EXPECT_EQ(f.service->shellCount(), 1);
    EXPECT_EQ(f.lifetime->shells(), 1);
    EXPECT_TRUE(f.client->recordedExits().empty());
    f.service->write(id, {'l', 's'});
    EXPECT_EQ(fresh->recordedWrites(), (std::vector<Bytes>{Bytes{'l', 's'}}));
    EXPECT_TRUE(old->recordedWrites().empty());

    fresh->exit(9);
    auto exits = f.client->recordedExits();
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0], std::make_pair(id, std::int32_t(9)));
    EXPECT_EQ(f.lifetime->shells(), 0);
}

TEST(TerminalHelperServiceRequests, ReachTheRunningSession) {
    Fixture f;
    UUID id = UUID::random();
    ASSERT_NE(f.open(id).pid, 0);
    auto session = f.launcher->session(0);
    f.service->write(id, {1, 2, 3});
    f.service->resize(id, 0, 70000);
    EXPECT_EQ(session->recordedWrites(), std::vector<Bytes>{Bytes({1, 2, 3})});
    using Size = std::pair<std::int64_t, std::int64_t>;
    EXPECT_EQ(session->recordedResizes(), std::vector<Size>{Size(0, 70000)});
    EXPECT_EQ(f.folder(id), "/fake/" + std::to_string(session->pid()));
    EXPECT_EQ(f.busy(id), std::make_pair(true, std::optional<std::string>("vim")));
}

TEST(TerminalHelperServiceRequests, UnknownClosedExitedAndLaunchingIdsFindNoSession) {
    Fixture f;
    UUID closed = UUID::random();
    UUID exited = UUID::random();
    ASSERT_NE(f.open(closed).pid, 0);
    ASSERT_NE(f.open(exited).pid, 0);
    f.service->close(closed);
    f.launcher->session(1)->exit(0);

    auto gate = std::make_shared<Gate>();
    f.launcher->holdLaunchesAt(gate);
    UUID launching = UUID::random();
    std::thread opening([&] { f.open(launching); });
    ASSERT_TRUE(gate->waitForArrivals(1));

    const std::pair<bool, std::optional<std::string>> idle{false, std::nullopt};
    for (const UUID& id : {UUID::random(), closed, exited, launching}) {
        f.service->write(id, {'x'});
        f.service->resize(id, 10, 10);
        EXPECT_EQ(f.folder(id), std::nullopt);
        EXPECT_EQ(f.busy(id), idle);
    }
    gate->open();
    opening.join();
    for (std::size_t index = 0; index < 3; ++index) {
        EXPECT_TRUE(f.launcher->session(index)->recordedWrites().empty());
        EXPECT_TRUE(f.launcher->session(index)->recordedResizes().empty());
    }
    // A close of an unknown identifier changes nothing.
    f.service->close(UUID::random());
    EXPECT_EQ(f.service->shellCount(), 1);
}

TEST(TerminalHelperServiceEvents, OutputAfterCloseIsAcknowledgedAtOnceAndNeverSent) {
    Fixture f;
    UUID id = UUID::random();
    ASSERT_NE(f.open(id).pid, 0);
    auto session = f.launcher->session(0);
    int acknowledged = 0;
    session->emitOutput({'a'}, [&] { ++acknowledged; });
    session->emitFolder("/home");
    EXPECT_EQ(acknowledged, 1);

    f.service->close(id);
    session->emitOutput({'b'}, [&] { ++acknowledged; });
    session->emitFolder("/usr");
    EXPECT_EQ(acknowledged, 2);
    session->exit(0);

    auto outputs = f.client->recordedOutputs();
    ASSERT_EQ(outputs.size(), 1u);
    EXPECT_EQ(outputs[0], std::make_pair(id, Bytes{'a'}));
    EXPECT_EQ(f.client->recordedFolders(),
              (std::vector<std::pair<UUID, std::string>>{{id, "/home"}}));
    EXPECT_TRUE(f.client->recordedExits().empty());
    EXPECT_EQ(f.lifetime->shells(), 0);
}

namespace {

// Remembers where each chunk's bytes live, to show that they were moved, not copied.
class AddressRecordingClient final : public TerminalClient {
public:
    void output(const UUID&, Bytes data, Sent sent) override {
        address = data.data();
        sent();
    }
    void exited(const UUID&, std::int32_t) override {}
    void folderChanged(const UUID&, std::string) override {}
    const std::uint8_t* address = nullptr;
};

} // namespace

TEST(TerminalHelperServiceEvents, OutputBytesAreMovedThroughNotCopied) {
    auto launcher = std::make_shared<FakeLauncher>();
    auto client = std::make_shared<AddressRecordingClient>();
    auto service = std::make_shared<TerminalHelperService>(launcher, client, nullptr);
    service->openShell(UUID::random(), 80, 24, "/", std::nullopt, {},
                       [](std::int32_t, std::optional<std::string>) {});
    Bytes chunk(65536, 'z');
    const std::uint8_t* original = chunk.data();
    launcher->session(0)->emitOutput(std::move(chunk), [] {});
    EXPECT_EQ(client->address, original);
}

TEST(TerminalHelperServiceEvents, WithoutALifetimeTrackerShellsStillRunAndEnd) {
    auto launcher = std::make_shared<FakeLauncher>();
    auto client = std::make_shared<FakeClient>();
    auto service = std::make_shared<TerminalHelperService>(launcher, client, nullptr);
    UUID id = UUID::random();
    std::int32_t pid = 0;
    service->openShell(id, 80, 24, "/", std::nullopt, {},
                       [&](std::int32_t value, std::optional<std::string>) { pid = value; });
    EXPECT_NE(pid, 0);
    launcher->session(0)->exit(3);
    EXPECT_EQ(client->recordedExits().size(), 1u);
    EXPECT_EQ(service->shellCount(), 0);
}

TEST(TerminalHelperServiceCloseAll, HangsUpEveryShellOnceAndForwardsNothingAfterwards) {
    Fixture f;
    UUID a = UUID::random();
    UUID b = UUID::random();
    ASSERT_NE(f.open(a).pid, 0);
    ASSERT_NE(f.open(b).pid, 0);
    f.service->closeAll();
    f.service->closeAll();
    EXPECT_EQ(f.service->shellCount(), 0);
    EXPECT_EQ(f.launcher->session(0)->closeCount(), 1);
    EXPECT_EQ(f.launcher->session(1)->closeCount(), 1);
    // Counts fall only as the shells report their exits.
    EXPECT_EQ(f.lifetime->shells(), 2);
    f.launcher->session(0)->exit(0);
    f.launcher->session(1)->exit(0);
    EXPECT_EQ(f.lifetime->shells(), 0);
    EXPECT_TRUE(f.client->recordedExits().empty());
}

TEST(TerminalHelperServiceCloseAll, TwoServicesAreIndependent) {
    Fixture first;
    auto second =
        std::make_shared<TerminalHelperService>(first.launcher, first.client, first.lifetime);
    UUID id = UUID::random();
    ASSERT_NE(first.open(id).pid, 0);
    std::int32_t pid = 0;
    second->openShell(id, 80, 24, "/", std::nullopt, {},
                      [&](std::int32_t value, std::optional<std::string>) { pid = value; });
    ASSERT_NE(pid, 0);
    first.service->closeAll();
    EXPECT_EQ(first.launcher->session(0)->closeCount(), 1);
    EXPECT_EQ(first.launcher->session(1)->closeCount(), 0);
    EXPECT_EQ(second->shellCount(), 1);
}

TEST(TerminalHelperServiceLifetime, ExitingSessionOutlivesItsServiceWithoutKeepingItAlive) {
    Fixture f;
    UUID id = UUID::random();
    ASSERT_NE(f.open(id).pid, 0);
    auto session = f.launcher->session(0);
    std::weak_ptr<TerminalHelperService> weak = f.service;
    f.service->closeAll();
    f.service.reset();
    EXPECT_TRUE(weak.expired());
    session->exit(0);
    EXPECT_EQ(f.lifetime->shells(), 0);
}

TEST(TerminalHelperServiceConcurrency, ManyThreadsOpenUseAndCloseWithoutLosingCounts) {
    Fixture f;
    f.launcher->makeSessionsExitOnClose();
    constexpr int threads = 4;
    constexpr int rounds = 200;
    std::vector<UUID> shared(8);
    for (UUID& id : shared)
        id = UUID::random();
    std::atomic<int> opened{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            for (int round = 0; round < rounds; ++round) {
                const UUID& id = shared[(round + t) % shared.size()];
                if (f.open(id).pid != 0)
                    ++opened;
                f.service->write(id, {'x'});
                f.service->resize(id, 80, 24);
                f.folder(id);
                f.busy(id);
                f.service->close(id);
            }
        });
    }
    for (auto& worker : workers)
        worker.join();
    f.service->closeAll();
    EXPECT_GT(opened.load(), 0);
    EXPECT_EQ(f.service->shellCount(), 0);
    EXPECT_EQ(f.lifetime->shells(), 0);
    EXPECT_TRUE(f.client->recordedExits().empty());
}
