#include "service/FakeConnection.hpp"
#include "service/Fakes.hpp"

#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"

#include <gtest/gtest.h>

#include <thread>

using namespace veltro;
using namespace veltro::testing;

namespace {

struct Accepted {
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::shared_ptr<HelperLifetime> lifetime = std::make_shared<HelperLifetime>(3600.0, [] {});
    // Never resumed: the delegate does not look at the listener it is called for.
    std::shared_ptr<xpc::Listener> listener = xpc::Listener::anonymous();

    std::shared_ptr<FakeConnection> accept(TerminalHelperListenerDelegate& delegate) {
        auto connection = std::make_shared<FakeConnection>();
        EXPECT_TRUE(delegate.shouldAcceptNewConnection(*listener, connection));
        return connection;
    }

    std::int32_t open(FakeConnection& connection, const UUID& id) {
        std::int32_t pid = 0;
        connection.exported->openShell(
            id, 80, 24, "/", std::nullopt, {},
            [&](std::int32_t value, std::optional<std::string>) { pid = value; });
        return pid;
    }
};

struct LogEntry {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
};

class RecordingSink final : public LogSink {
public:
    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override {
        std::lock_guard guard(mutex);
        entries.push_back(
            {level, std::string(subsystem), std::string(category), std::string(message)});
    }
    std::mutex mutex;
    std::vector<LogEntry> entries;
};

} // namespace

TEST(TerminalHelperListenerDelegate, AcceptSetsUpTheConnectionInOrderAndCountsItBeforeResuming) {
    Accepted a;
    TerminalHelperListenerDelegate delegate("identifier \"tech.morvane.veltro\"", a.launcher,
                                            a.lifetime);
    auto connection = std::make_shared<FakeConnection>();
    std::int64_t countedAtResume = -1;
    connection->onResume = [&] { countedAtResume = a.lifetime->connections(); };
    EXPECT_TRUE(delegate.shouldAcceptNewConnection(*a.listener, connection));
    EXPECT_EQ(connection->setup,
              (std::vector<std::string>{"requirement", "exported", "invalidation", "interruption",
                                        "resume"}));
    EXPECT_EQ(connection->requirement, "identifier \"tech.morvane.veltro\"");
    EXPECT_EQ(countedAtResume, 1);
    ASSERT_NE(connection->exported, nullptr);
}

TEST(TerminalHelperListenerDelegate, WithoutARequirementNoneIsSet) {
    Accepted a;
    TerminalHelperListenerDelegate delegate(std::nullopt, a.launcher, a.lifetime);
    auto connection = a.accept(delegate);
    EXPECT_EQ(connection->requirement, std::nullopt);
    EXPECT_EQ(connection->setup.front(), "exported");
}

TEST(TerminalHelperListenerDelegate, InterruptedThenInvalidatedEndsTheConnectionOnce) {
    Accepted a;
    a.launcher->makeSessionsExitOnClose();
    TerminalHelperListenerDelegate delegate(std::nullopt, a.launcher, a.lifetime);
    auto connection = a.accept(delegate);
    ASSERT_NE(a.open(*connection, UUID::random()), 0);
    EXPECT_EQ(a.lifetime->connections(), 1);
    EXPECT_EQ(a.lifetime->shells(), 1);

    std::thread interrupted([&] { connection->interruption(); });
    std::thread invalidated([&] { connection->invalidation(); });
    interrupted.join();
    invalidated.join();
    connection->invalidation();

    EXPECT_EQ(a.lifetime->connections(), 0);
    EXPECT_EQ(a.lifetime->shells(), 0);
    EXPECT_EQ(a.launcher->session(0)->closeCount(), 1);
    EXPECT_EQ(a.open(*connection, UUID::random()), 0);
}

TEST(TerminalHelperListenerDelegate, TwoConnectionsGetIndependentServices) {
    Accepted a;
    TerminalHelperListenerDelegate delegate(std::nullopt, a.launcher, a.lifetime);
    auto first = a.accept(delegate);
    auto second = a.accept(delegate);
    EXPECT_NE(first->exported, second->exported);
    UUID id = UUID::random();
    ASSERT_NE(a.open(*first, id), 0);
    ASSERT_NE(a.open(*second, id), 0);
    EXPECT_EQ(a.lifetime->connections(), 2);

    first->invalidation();
    EXPECT_EQ(a.launcher->session(0)->closeCount(), 1);
    EXPECT_EQ(a.launcher->session(1)->closeCount(), 0);
    EXPECT_EQ(a.lifetime->connections(), 1);
}

TEST(TerminalHelperListenerDelegate, WithoutALifetimeTrackerConnectionsAreServedUncounted) {
    Accepted a;
    TerminalHelperListenerDelegate delegate(std::nullopt, a.launcher, nullptr);
    auto connection = a.accept(delegate);
    EXPECT_NE(a.open(*connection, UUID::random()), 0);
    connection->invalidation();
    EXPECT_EQ(a.launcher->session(0)->closeCount(), 1);
}

TEST(TerminalHelperListenerDelegate, ServiceReportsThroughItsOwnConnection) {
    Accepted a;
    TerminalHelperListenerDelegate delegate(std::nullopt, a.launcher, a.lifetime);
    auto connection = a.accept(delegate);
    ASSERT_NE(a.open(*connection, UUID::random()), 0);
    int sent = 0;
    a.launcher->session(0)->emitOutput({'h', 'i'}, [&] { ++sent; });
    a.launcher->session(0)->exit(0);
    EXPECT_EQ(connection->journal->read(),
              (std::vector<std::string>{"output", "barrier", "exited"}));
    connection->runBarriers();
    EXPECT_EQ(sent, 1);
}

TEST(TerminalHelperListenerDelegateForAgent, AdHocSignerLogsTheWeakRequirementAsAnError) {
    auto sink = std::make_shared<RecordingSink>();
    auto delegate =
        TerminalHelperListenerDelegate::forAgent(nullptr, PeerRequirement::Signer::adHoc(), sink);
    std::string requirement = PeerRequirement::requirement(PeerRequirement::Signer::adHoc(),
                                                           TerminalService::veltroBundleID(), true);
    EXPECT_EQ(delegate->requirement, requirement);
    ASSERT_EQ(sink->entries.size(), 1u);
    EXPECT_EQ(sink->entries[0].level, LogLevel::error);
    EXPECT_EQ(sink->entries[0].subsystem, TerminalService::helperBundleID());
    EXPECT_EQ(sink->entries[0].category, "service");
    EXPECT_EQ(sink->entries[0].message,
              "The helper is signed ad hoc, so it can only check its client's identifier, "
              "which anything can claim: " +
                  requirement);
    EXPECT_NE(delegate->launcher, nullptr);
}

TEST(TerminalHelperListenerDelegateForAgent, TeamSignerLogsTheRequirementAtInfoLevel) {
    auto sink = std::make_shared<RecordingSink>();
    auto signer = PeerRequirement::Signer::team(std::string(TerminalService::teamID));
    auto delegate = TerminalHelperListenerDelegate::forAgent(nullptr, signer, sink);
    std::string requirement =
        PeerRequirement::requirement(signer, TerminalService::veltroBundleID(), true);
    EXPECT_EQ(delegate->requirement, requirement);
    ASSERT_EQ(sink->entries.size(), 1u);
    EXPECT_EQ(sink->entries[0].level, LogLevel::info);
    EXPECT_EQ(sink->entries[0].message, "Clients must meet: " + requirement);
}
