#include "support/Eventually.hpp"

#include "platform/EventLoop.hpp"
#include "service/HelperLifetime.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace veltro;
using namespace veltro::testing;

// Long enough for any timer of 0.05 s to have fired, even on a loaded machine.
static void waitPastTheDelay() {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
}

// One lifetime holds nothing, each other one holds one kind of count, all side by side so that
// the test waits past the delay only twice.
TEST(HelperLifetime, GoesIdleOnceWhenNothingIsHeldAndAnyHeldCountsEndSetsAFreshDeadline) {
    EventLoop loop;
    using Change = void (HelperLifetime::*)();
    struct Hold {
        Change start;
        Change end;
        std::atomic<int> idle;
        std::unique_ptr<HelperLifetime> lifetime;
    };
    Hold holds[] = {
        {&HelperLifetime::connectionStarted, &HelperLifetime::connectionEnded, 0, nullptr},
        {&HelperLifetime::shellStarted, &HelperLifetime::shellEnded, 0, nullptr},
        {&HelperLifetime::updateStarted, &HelperLifetime::updateEnded, 0, nullptr}};
    std::atomic<int> unheldIdle = 0;
    HelperLifetime unheld(loop, 0.05, [&] { ++unheldIdle; });
    for (Hold& hold : holds) {
        hold.lifetime =
            std::make_unique<HelperLifetime>(loop, 0.05, [&idle = hold.idle] { ++idle; });
        (*hold.lifetime.*hold.start)();
        // Ends from other threads, and one more than starts: a count below zero is idle too.
        std::thread other([&] { (*hold.lifetime.*hold.start)(); });
        other.join();
    }
    waitPastTheDelay();
    ASSERT_TRUE(eventually([&] { return unheldIdle == 1; }));
    for (Hold& hold : holds) {
        EXPECT_EQ(hold.idle, 0);
        std::thread first([&] { (*hold.lifetime.*hold.end)(); });
        std::thread second([&] { (*hold.lifetime.*hold.end)(); });
        first.join();
        second.join();
        (*hold.lifetime.*hold.end)();
    }
    for (Hold& hold : holds)
        ASSERT_TRUE(eventually([&] { return hold.idle == 1; }));
    waitPastTheDelay();
    EXPECT_EQ(unheldIdle, 1);
    for (Hold& hold : holds) {
        EXPECT_EQ(hold.idle, 1);
        auto& lifetime = *hold.lifetime;
        EXPECT_EQ(lifetime.connections() + lifetime.shells() + lifetime.updates(), -1);
    }
}
