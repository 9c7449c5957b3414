#include "service/Fakes.hpp"

#include "service/HelperLifetime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace veltro;
using namespace veltro::testing;

namespace {

// Counts idle actions; the tracker is built with the delay each test needs.
struct IdleCounter {
    std::shared_ptr<std::atomic<int>> count = std::make_shared<std::atomic<int>>(0);
    HelperLifetime::Idle action() {
        return [count = count] { ++*count; };
    }
    int value() const { return count->load(); }
};

// Long enough that a test's own few calls always come first, even on a loaded machine.
constexpr double patientDelay = 2.0;
constexpr double shortDelay = 0.05;

void waitLongerThan(double delay) {
    std::this_thread::sleep_for(std::chrono::duration<double>(delay * 2 + 0.2));
}

} // namespace

TEST(HelperLifetime, TrackerThatReceivesNoCallGoesIdleOnce) {
    IdleCounter idle;
    auto lifetime = std::make_shared<HelperLifetime>(shortDelay, idle.action());
    ASSERT_TRUE(eventually([&] { return idle.value() == 1; }));
    waitLongerThan(shortDelay);
    EXPECT_EQ(idle.value(), 1);
}

TEST(HelperLifetime, StartWithinTheDelayKeepsItAliveAndTheEndArmsAFreshTimer) {
    IdleCounter idle;
    auto lifetime = std::make_shared<HelperLifetime>(patientDelay, idle.action());
    lifetime->connectionStarted();
    waitLongerThan(patientDelay);
    EXPECT_EQ(idle.value(), 0);
    lifetime->connectionEnded();
    ASSERT_TRUE(eventually([&] { return idle.value() == 1; }));
    EXPECT_EQ(lifetime->connections(), 0);
}

TEST(HelperLifetime, LastOfTwoConcurrentEndsLeavesOneLiveTimer) {
    IdleCounter idle;
    auto lifetime = std::make_shared<HelperLifetime>(shortDelay, idle.action());
    ASSERT_TRUE(eventually([&] { return idle.value() == 1; }));
    lifetime->connectionStarted();
    lifetime->shellStarted();
    std::thread shell([&] { lifetime->shellEnded(); });
    std::thread connection([&] { lifetime->connectionEnded(); });
    shell.join();
    connection.join();
    ASSERT_TRUE(eventually([&] { return idle.value() == 2; }));
    waitLongerThan(shortDelay);
    EXPECT_EQ(idle.value(), 2);
}

TEST(HelperLifetime, AnUpdateKeepsItAliveWithoutConnectionsOrShells) {
    IdleCounter idle;
    auto lifetime = std::make_shared<HelperLifetime>(patientDelay, idle.action());
    lifetime->updateStarted();
    waitLongerThan(patientDelay);
    EXPECT_EQ(idle.value(), 0);
    EXPECT_EQ(lifetime->updates(), 1);
    lifetime->updateEnded();
    ASSERT_TRUE(eventually([&] { return idle.value() == 1; }));
}

TEST(HelperLifetime, NegativeCountsCountAsIdle) {
    IdleCounter idle;
    auto lifetime = std::make_shared<HelperLifetime>(patientDelay, idle.action());
    lifetime->connectionEnded();
    lifetime->connectionStarted();
    EXPECT_EQ(lifetime->connections(), 0);
    ASSERT_TRUE(eventually([&] { return idle.value() == 1; }));

    lifetime->shellEnded();
    lifetime->shellEnded();
    lifetime->shellStarted();
    EXPECT_EQ(lifetime->shells(), -1);
    // One shell open, yet the count says idle.
    ASSERT_TRUE(eventually([&] { return idle.value() == 2; }));
}

TEST(HelperLifetime, EveryChangeThatLeavesItIdleVoidsEarlierTimers) {
    IdleCounter idle;
    auto lifetime = std::make_shared<HelperLifetime>(patientDelay, idle.action());
    // Each pair leaves the tracker idle and arms a timer, voiding the previous ones; only the
    // last may fire.
    for (int i = 0; i < 50; ++i) {
        lifetime->shellStarted();
        lifetime->shellEnded();
    }
    ASSERT_TRUE(eventually([&] { return idle.value() == 1; }));
    waitLongerThan(patientDelay);
    EXPECT_EQ(idle.value(), 1);
}

TEST(HelperLifetime, TimersKeepTheTrackerAliveAfterItsOwnerLetsGo) {
    IdleCounter idle;
    {
        HelperLifetime lifetime(shortDelay, idle.action());
        lifetime.connectionStarted();
        lifetime.connectionEnded();
    }
    ASSERT_TRUE(eventually([&] { return idle.value() >= 1; }));
}
