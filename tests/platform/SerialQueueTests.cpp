#include "platform/SerialQueue.hpp"

#include "platform/Waiting.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <thread>
#include <vector>

namespace veltro {
namespace {

using testing::Counter;
using testing::drain;

TEST(SerialQueue, WorkFromManySubmittersNeverOverlapsAndKeepsEachSubmittersOrder) {
    Executor executor("test", 4);
    SerialQueue queue("test.order", executor);
    constexpr int submitters = 4;
    constexpr int perSubmitter = 500;
    std::atomic<int> running{0};
    std::atomic<bool> overlapped{false};
    std::vector<std::vector<int>> seen(submitters);
    Counter done;

    std::vector<std::thread> threads;
    for (int submitter = 0; submitter < submitters; ++submitter) {
        threads.emplace_back([&, submitter] {
            for (int index = 0; index < perSubmitter; ++index) {
                queue.async([&, submitter, index] {
                    if (running.fetch_add(1) != 0)
                        overlapped = true;
                    seen[submitter].push_back(index);
                    running.fetch_sub(1);
                    done.increment();
                });
            }
        });
    }
    for (auto& thread : threads)
        thread.join();

    ASSERT_TRUE(done.waitFor(submitters * perSubmitter));
    EXPECT_FALSE(overlapped);
    for (const auto& indices : seen) {
        ASSERT_EQ(indices.size(), static_cast<std::size_t>(perSubmitter));
        for (int index = 0; index < perSubmitter; ++index)
            EXPECT_EQ(indices[index], index);
    }
}

TEST(SerialQueue, SyncReturnsTheValueComputedOnTheQueue) {
    Executor executor("test", 2);
    SerialQueue queue("test.sync", executor);
    int value = queue.sync([&] {
        EXPECT_TRUE(queue.isCurrent());
        return 42;
    });
    EXPECT_EQ(value, 42);
    EXPECT_FALSE(queue.isCurrent());
}

TEST(SerialQueue, SyncRunsAfterWorkQueuedBeforeIt) {
    Executor executor("test", 2);
    SerialQueue queue("test.sync-order", executor);
    std::vector<int> order;
    for (int index = 0; index < 100; ++index)
        queue.async([&, index] { order.push_back(index); });
    auto size = queue.sync([&] { return order.size(); });
    EXPECT_EQ(size, 100U);
}

TEST(SerialQueue, SyncPassesAnExceptionToTheCaller) {
    Executor executor("test", 1);
    SerialQueue queue("test.sync-throw", executor);
    EXPECT_THROW(queue.sync([]() -> int { throw std::runtime_error("no"); }), std::runtime_error);
    EXPECT_EQ(queue.sync([] { return 1; }), 1);
}

TEST(SerialQueue, QueuesOnOneExecutorRunSideBySide) {
    Executor executor("test", 2);
    SerialQueue first("test.first", executor);
    SerialQueue second("test.second", executor);
    Counter secondRan;
    // The first queue waits for the second; that only finishes if the two are not serialised
    // with each other.
    first.async([&] { secondRan.waitFor(1); });
    second.async([&] { secondRan.increment(); });
    EXPECT_TRUE(secondRan.waitFor(1));
    drain(first);
}

TEST(SerialQueue, IsCurrentOnlyOnItsOwnQueue) {
    Executor executor("test", 2);
    SerialQueue queue("test.current", executor);
    SerialQueue other("test.other", executor);
    EXPECT_FALSE(queue.isCurrent());
    EXPECT_TRUE(queue.sync([&] { return queue.isCurrent() && !other.isCurrent(); }));
}

TEST(SerialQueue, AsyncAfterRunsLaterOnTheQueueInOrderWithOtherWork) {
    Executor executor("test", 2);
    SerialQueue queue("test.after", executor);
    std::vector<std::string> order;
    Counter done;
    auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::time_point ranAt;
    queue.asyncAfter(std::chrono::milliseconds(100), [&] {
        EXPECT_TRUE(queue.isCurrent());
        ranAt = std::chrono::steady_clock::now();
        order.push_back("later");
        done.increment();
    });
    queue.async([&] { order.push_back("now"); });
    queue.asyncAfter(std::chrono::milliseconds(200), [&] {
        order.push_back("latest");
        done.increment();
    });
    ASSERT_TRUE(done.waitFor(2));
    drain(queue);
    EXPECT_EQ(order, (std::vector<std::string>{"now", "later", "latest"}));
    EXPECT_GE(ranAt - start, std::chrono::milliseconds(100));
}

TEST(SerialQueue, DelayedWorkKeepsTheQueueAlive) {
    Executor executor("test", 1);
    Counter ran;
    {
        SerialQueue queue("test.alive", executor);
        queue.asyncAfter(std::chrono::milliseconds(50), [queue, &ran] {
            EXPECT_TRUE(queue.isCurrent());
            ran.increment();
        });
    }
    EXPECT_TRUE(ran.waitFor(1));
}

TEST(SerialQueue, ShutdownDropsWorkNotStartedAndIsIdempotent) {
    Executor executor("test", 1);
    SerialQueue queue("test.shutdown", executor);
    auto held = std::make_shared<int>(0);
    std::weak_ptr<int> watch = held;
    queue.asyncAfter(std::chrono::hours(1), [held] {});
    held.reset();
    executor.shutdown();
    executor.shutdown();
    EXPECT_TRUE(watch.expired());
}

class SerialQueueDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(SerialQueueDeathTest, SyncFromTheQueueItselfStopsTheProgramNamingTheQueue) {
    EXPECT_DEATH(
        {
            SerialQueue queue("test.self-sync", Executor::sessions());
            queue.sync([&] { queue.sync([] {}); });
        },
        "test\\.self-sync");
}

TEST_F(SerialQueueDeathTest, AssertCurrentOffTheQueueStopsTheProgramNamingOperationAndQueue) {
    EXPECT_DEATH(
        {
            SerialQueue queue("test.assert", Executor::sessions());
            queue.assertCurrent("privateOperation");
        },
        "privateOperation.*test\\.assert");
}

TEST(SerialQueue, AssertCurrentOnTheQueueContinues) {
    SerialQueue queue("test.assert-ok", Executor::sessions());
    EXPECT_EQ(queue.sync([&] {
        queue.assertCurrent("privateOperation");
        return 1;
    }),
              1);
}

TEST(Executor, ProcessExecutorsAreTwoNamedExecutors) {
    EXPECT_NE(&Executor::sessions(), &Executor::connections());
    EXPECT_EQ(&Executor::sessions(), &Executor::sessions());
    EXPECT_FALSE(Executor::sessions().name().empty());
    EXPECT_NE(Executor::sessions().name(), Executor::connections().name());
}

TEST(Executor, ConnectionThreadMayWaitForASessionQueue) {
    SerialQueue session("test.session", Executor::sessions());
    SerialQueue connection("test.connection", Executor::connections());
    int folder = connection.sync([&] { return session.sync([] { return 7; }); });
    EXPECT_EQ(folder, 7);
}

class ExecutorDeathTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(ExecutorDeathTest, ProcessExitsCleanlyWhileAConnectionThreadWaitsForASession) {
    EXPECT_EXIT(
        {
            SerialQueue session("test.exit-session", Executor::sessions());
            SerialQueue connection("test.exit-connection", Executor::connections());
            Counter waiting;
            connection.async([session, &waiting] {
                waiting.increment();
                session.sync([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
            });
            session.asyncAfter(std::chrono::hours(1), [] {});
            waiting.waitFor(1);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
} // namespace veltro
