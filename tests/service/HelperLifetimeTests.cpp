#include "support/Eventually.hpp"

#include "service/HelperLifetime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace veltro;
using namespace veltro::testing;

namespace {

constexpr double shortDelay = 0.05;

// Long enough for any timer of shortDelay to have fired, even on a loaded machine.
void waitPastTheDelay() {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

} // namespace

TEST(HelperLifetime, GoesIdleOnceWhenNothingHappensAtAll) {
    std::atomic<int> idle = 0;
    HelperLifetime lifetime(shortDelay, [&] { ++idle; });
    ASSERT_TRUE(eventually([&] { return idle == 1; }));
    waitPastTheDelay();
    EXPECT_EQ(idle, 1);
}

TEST(HelperLifetime, AnyHeldCountKeepsItAliveAndItsEndSetsAFreshDeadline) {
    using Change = void (HelperLifetime::*)();
    struct Hold {
        Change start;
        Change end;
    };
    for (Hold hold : {Hold{&HelperLifetime::connectionStarted, &HelperLifetime::connectionEnded},
                      Hold{&HelperLifetime::shellStarted, &HelperLifetime::shellEnded},
                      Hold{&HelperLifetime::updateStarted, &HelperLifetime::updateEnded}}) {
        std::atomic<int> idle = 0;
        HelperLifetime lifetime(shortDelay, [&] { ++idle; });
        (lifetime.*hold.start)();
        // Ends from other threads, and one more than starts: a count below zero is idle too.
        std::thread other([&] { (lifetime.*hold.start)(); });
        other.join();
        waitPastTheDelay();
        EXPECT_EQ(idle, 0);
        std::thread first([&] { (lifetime.*hold.end)(); });
        std::thread second([&] { (lifetime.*hold.end)(); });
        first.join();
        second.join();
        (lifetime.*hold.end)();
        ASSERT_TRUE(eventually([&] { return idle == 1; }));
        waitPastTheDelay();
        EXPECT_EQ(idle, 1);
        EXPECT_EQ(lifetime.connections() + lifetime.shells() + lifetime.updates(), -1);
    }
}
