#include "platform/TimerSource.hpp"

#include "platform/Waiting.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace veltro {
namespace {

using testing::Counter;
using testing::drain;
using Clock = std::chrono::steady_clock;

void pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

class TimerSourceTest : public ::testing::Test {
protected:
    Executor executor{"test", 2};
    SerialQueue queue{"test.timer", executor};
    TimerSource timer{queue};
    Counter fired;
    Counter cancelled;
    Clock::time_point firedAt;

    void activate() {
        queue.sync([&] {
            timer.setEventHandler([&] {
                EXPECT_TRUE(queue.isCurrent());
                firedAt = Clock::now();
                fired.increment();
            });
            timer.setCancelHandler([&] { cancelled.increment(); });
            timer.activate();
        });
    }

    void cancel() {
        queue.sync([&] { timer.cancel(); });
        ASSERT_TRUE(cancelled.waitFor(1));
    }
};

TEST_F(TimerSourceTest, RescheduledBeforeFiringFiresOnceAtTheLaterDeadline) {
    activate();
    auto later = queue.sync([&] {
        auto now = Clock::now();
        timer.schedule(now + std::chrono::milliseconds(50));
        timer.schedule(now + std::chrono::milliseconds(200));
        return now + std::chrono::milliseconds(200);
    });
    ASSERT_TRUE(fired.waitFor(1));
    pause();
    drain(queue);
    EXPECT_EQ(fired.value(), 1);
    EXPECT_GE(queue.sync([&] { return firedAt; }), later);
    cancel();
}

TEST_F(TimerSourceTest, EarlierDeadlineReplacesALaterOne) {
    activate();
    queue.sync([&] {
        timer.schedule(Clock::now() + std::chrono::hours(1));
        timer.schedule(Clock::now() + std::chrono::milliseconds(10));
    });
    EXPECT_TRUE(fired.waitFor(1));
    cancel();
    EXPECT_EQ(fired.value(), 1);
}

TEST_F(TimerSourceTest, ActivatedButNeverScheduledNeverFires) {
    activate();
    pause();
    cancel();
    drain(queue);
    EXPECT_EQ(fired.value(), 0);
    EXPECT_EQ(cancelled.value(), 1);
}

TEST_F(TimerSourceTest, DeadlineSetBeforeActivationCountsFromActivation) {
    queue.sync([&] { timer.schedule(Clock::now()); });
    pause();
    EXPECT_EQ(fired.value(), 0);
    activate();
    EXPECT_TRUE(fired.waitFor(1));
    cancel();
}

TEST_F(TimerSourceTest, FiredTimerCanBeScheduledAgain) {
    activate();
    queue.sync([&] { timer.schedule(Clock::now()); });
    ASSERT_TRUE(fired.waitFor(1));
    queue.sync([&] { timer.schedule(Clock::now() + std::chrono::milliseconds(10)); });
    EXPECT_TRUE(fired.waitFor(2));
    cancel();
}

TEST_F(TimerSourceTest, CancelledPendingTimerNeverFiresAndReleasesItsHandlers) {
    auto owner = std::make_shared<int>(1);
    std::weak_ptr<int> watch = owner;
    queue.sync([&] {
        timer.setEventHandler([owner, this] { fired.increment(); });
        timer.setCancelHandler([owner, this] { cancelled.increment(); });
        timer.activate();
        timer.schedule(Clock::now() + std::chrono::milliseconds(100));
    });
    owner.reset();
    queue.sync([&] {
        timer.cancel();
        timer.schedule(Clock::now());
    });
    ASSERT_TRUE(cancelled.waitFor(1));
    pause();
    drain(queue);
    EXPECT_EQ(fired.value(), 0);
    EXPECT_EQ(cancelled.value(), 1);
    EXPECT_TRUE(watch.expired());
}

TEST_F(TimerSourceTest, CancelFromTheEventHandlerRunsTheCancelHandlerAfterIt) {
    std::vector<std::string> order;
    queue.sync([&] {
        timer.setEventHandler([&] {
            order.push_back("event");
            timer.cancel();
        });
        timer.setCancelHandler([&] {
            order.push_back("cancel");
            cancelled.increment();
        });
        timer.activate();
        timer.schedule(Clock::now());
    });
    ASSERT_TRUE(cancelled.waitFor(1));
    drain(queue);
    EXPECT_EQ(order, (std::vector<std::string>{"event", "cancel"}));
}

TEST_F(TimerSourceTest, NeverActivatedTimerStillRunsItsCancelHandler) {
    queue.sync([&] {
        timer.setCancelHandler([&] { cancelled.increment(); });
        timer.schedule(Clock::now());
        timer.cancel();
    });
    EXPECT_TRUE(cancelled.waitFor(1));
    drain(queue);
    EXPECT_EQ(fired.value(), 0);
}

} // namespace
} // namespace veltro
