#include "platform/ReadSource.hpp"

#include "platform/FileDescriptor.hpp"
#include "platform/Waiting.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

namespace veltro {
namespace {

using testing::Counter;
using testing::drain;

struct Pipe {
    Pipe() {
        std::array<int, 2> fds{};
        EXPECT_EQ(::pipe(fds.data()), 0);
        readEnd.reset(fds[0]);
        writeEnd.reset(fds[1]);
    }

    void write(std::string_view bytes) const {
        ASSERT_EQ(::write(writeEnd.get(), bytes.data(), bytes.size()),
                  static_cast<ssize_t>(bytes.size()));
    }

    std::string readSome(std::size_t most) const {
        std::string bytes(most, '\0');
        ssize_t count = ::read(readEnd.get(), bytes.data(), most);
        bytes.resize(count > 0 ? static_cast<std::size_t>(count) : 0);
        return bytes;
    }

    FileDescriptor readEnd;
    FileDescriptor writeEnd;
};

// Long enough for a wrongly delivered event to show up; never a bound on how fast anything is.
void pause() {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

class DescriptorSourceTest : public ::testing::Test {
protected:
    Executor executor{"test", 2};
    SerialQueue queue{"test.source", executor};
    Pipe pipe;
};

TEST_F(DescriptorSourceTest, DataLeftAfterAHandlerIsAnotherEvent) {
    std::string received;
    Counter events;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setEventHandler([&] {
            received += pipe.readSome(1);
            events.increment();
        });
        source->activate();
    });
    pipe.write("abcd");
    ASSERT_TRUE(events.waitFor(4));
    EXPECT_EQ(queue.sync([&] { return received; }), "abcd");
    queue.sync([&] { source->cancel(); });
}

TEST_F(DescriptorSourceTest, SuspendedSourceDeliversNothingUntilEverySuspensionIsResumed) {
    Counter events;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setEventHandler([&] {
            pipe.readSome(64);
            events.increment();
        });
        source->activate();
        source->suspend();
        source->suspend();
    });
    pipe.write("x");
    pause();
    drain(queue);
    EXPECT_EQ(events.value(), 0);

    queue.sync([&] { source->resume(); });
    pause();
    drain(queue);
    EXPECT_EQ(events.value(), 0);

    queue.sync([&] { source->resume(); });
    EXPECT_TRUE(events.waitFor(1));
    queue.sync([&] { source->cancel(); });
}

TEST_F(DescriptorSourceTest, SourceSuspendedBeforeActivationWaitsForResume) {
    Counter events;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    pipe.write("x");
    queue.sync([&] {
        source->setEventHandler([&] {
            pipe.readSome(64);
            events.increment();
        });
        source->suspend();
        source->activate();
    });
    pause();
    drain(queue);
    EXPECT_EQ(events.value(), 0);
    queue.sync([&] { source->resume(); });
    EXPECT_TRUE(events.waitFor(1));
    queue.sync([&] { source->cancel(); });
}

TEST_F(DescriptorSourceTest, CancelFromTheEventHandlerRunsTheCancelHandlerOnceAfterIt) {
    std::vector<std::string> order;
    Counter cancelled;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setEventHandler([&] {
            EXPECT_TRUE(queue.isCurrent());
            order.push_back("event");
            // Data stays unread: only the cancellation keeps another event away.
            source->cancel();
            source->cancel();
            EXPECT_TRUE(source->isCancelled());
        });
        source->setCancelHandler([&] {
            EXPECT_TRUE(queue.isCurrent());
            order.push_back("cancel");
            cancelled.increment();
        });
        source->activate();
    });
    pipe.write("data");
    ASSERT_TRUE(cancelled.waitFor(1));
    pause();
    drain(queue);
    EXPECT_EQ(order, (std::vector<std::string>{"event", "cancel"}));
}

TEST_F(DescriptorSourceTest, CancelHandlerRunsOnceInEveryStateOfTheSource) {
    enum class State { neverActivated, waiting, suspended, suspendedWithEventPending, ready };
    for (auto state : {State::neverActivated, State::waiting, State::suspended,
                       State::suspendedWithEventPending, State::ready}) {
        Pipe local;
        Counter cancelled;
        Counter events;
        auto source = std::make_unique<ReadSource>(queue, local.readEnd.get());
        queue.sync([&] {
            source->setEventHandler([&] {
                EXPECT_EQ(cancelled.value(), 0) << "an event after the cancel handler";
                local.readSome(64);
                events.increment();
            });
            source->setCancelHandler([&] { cancelled.increment(); });
            if (state == State::ready)
                local.write("x");
            if (state == State::suspended || state == State::suspendedWithEventPending)
                source->suspend();
            if (state != State::neverActivated)
                source->activate();
        });
        if (state == State::suspendedWithEventPending) {
            local.write("x");
            pause();
        }
        queue.sync([&] {
            source->cancel();
            EXPECT_TRUE(source->isCancelled());
            EXPECT_EQ(cancelled.value(), 0) << "the cancel handler runs later, on the queue";
        });
        EXPECT_TRUE(cancelled.waitFor(1));
        pause();
        drain(queue);
        EXPECT_EQ(cancelled.value(), 1) << static_cast<int>(state);
        if (state != State::ready) {
            EXPECT_EQ(events.value(), 0) << static_cast<int>(state);
        }
    }
}

TEST_F(DescriptorSourceTest, HandlersAreReleasedAfterTheCancelHandlerRan) {
    auto owner = std::make_shared<int>(1);
    std::weak_ptr<int> watch = owner;
    Counter cancelled;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setEventHandler([owner] {});
        source->setCancelHandler([owner, &cancelled] { cancelled.increment(); });
        source->activate();
    });
    owner.reset();
    EXPECT_FALSE(watch.expired());
    queue.sync([&] { source->cancel(); });
    ASSERT_TRUE(cancelled.waitFor(1));
    drain(queue);
    EXPECT_TRUE(watch.expired());
}

TEST_F(DescriptorSourceTest, DroppingAnUncancelledSourceReleasesItsHandlersWithoutRunningThem) {
    auto owner = std::make_shared<int>(1);
    std::weak_ptr<int> watch = owner;
    Counter ran;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setEventHandler([owner, &ran] { ran.increment(); });
        source->setCancelHandler([owner, &ran] { ran.increment(); });
        source->activate();
    });
    owner.reset();
    source.reset();
    pipe.write("x");
    pause();
    drain(queue);
    EXPECT_TRUE(watch.expired());
    EXPECT_EQ(ran.value(), 0);
}

TEST_F(DescriptorSourceTest, DescriptorStaysOpenAndKeepsItsBlockingMode) {
    int flagsBefore = ::fcntl(pipe.readEnd.get(), F_GETFL);
    Counter cancelled;
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setCancelHandler([&] { cancelled.increment(); });
        source->activate();
    });
    EXPECT_EQ(::fcntl(pipe.readEnd.get(), F_GETFL), flagsBefore);
    queue.sync([&] { source->cancel(); });
    ASSERT_TRUE(cancelled.waitFor(1));
    source.reset();
    drain(queue);
    EXPECT_EQ(::fcntl(pipe.readEnd.get(), F_GETFL), flagsBefore);
    pipe.write("still open");
    EXPECT_EQ(pipe.readSome(64), "still open");
}

TEST_F(DescriptorSourceTest, WriteSourceFiresWhileThereIsRoom) {
    Counter events;
    Counter cancelled;
    auto source = std::make_unique<WriteSource>(queue, pipe.writeEnd.get());
    queue.sync([&] {
        source->setEventHandler([&] {
            source->cancel();
            events.increment();
        });
        source->setCancelHandler([&] { cancelled.increment(); });
        source->activate();
    });
    EXPECT_TRUE(events.waitFor(1));
    EXPECT_TRUE(cancelled.waitFor(1));
}

TEST_F(DescriptorSourceTest, EndOfFileIsAnEvent) {
    Counter events;
    std::string lastRead = "unset";
    auto source = std::make_unique<ReadSource>(queue, pipe.readEnd.get());
    queue.sync([&] {
        source->setEventHandler([&] {
            lastRead = pipe.readSome(64);
            source->cancel();
            events.increment();
        });
        source->activate();
    });
    pipe.writeEnd.reset();
    ASSERT_TRUE(events.waitFor(1));
    EXPECT_EQ(queue.sync([&] { return lastRead; }), "");
}

TEST_F(DescriptorSourceTest, ManyIdleSourcesLeaveTheQueueFree) {
    std::vector<Pipe> pipes(50);
    std::vector<std::unique_ptr<ReadSource>> sources;
    Counter events;
    Counter cancelled;
    for (auto& each : pipes)
        sources.push_back(std::make_unique<ReadSource>(queue, each.readEnd.get()));
    queue.sync([&] {
        for (std::size_t index = 0; index < sources.size(); ++index) {
            sources[index]->setEventHandler([&, index] {
                pipes[index].readSome(64);
                events.increment();
            });
            sources[index]->setCancelHandler([&] { cancelled.increment(); });
            sources[index]->activate();
        }
    });
    pipes[17].write("x");
    ASSERT_TRUE(events.waitFor(1));
    pause();
    drain(queue);
    EXPECT_EQ(events.value(), 1);
    queue.sync([&] {
        for (auto& source : sources)
            source->cancel();
    });
    EXPECT_TRUE(cancelled.waitFor(static_cast<int>(sources.size())));
}

TEST_F(DescriptorSourceTest, ReadAndWriteSourcesCanWatchOneDescriptor) {
    std::array<int, 2> fds{};
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()), 0);
    FileDescriptor near(fds[0]);
    FileDescriptor far(fds[1]);
    Counter readable;
    Counter writable;
    ReadSource reader(queue, near.get());
    WriteSource writer(queue, near.get());
    queue.sync([&] {
        reader.setEventHandler([&] {
            reader.cancel();
            readable.increment();
        });
        writer.setEventHandler([&] {
            writer.cancel();
            writable.increment();
        });
        reader.activate();
        writer.activate();
    });
    EXPECT_TRUE(writable.waitFor(1));
    ASSERT_EQ(::write(far.get(), "x", 1), 1);
    EXPECT_TRUE(readable.waitFor(1));
    drain(queue);
}

class DescriptorSourceDeathTest : public DescriptorSourceTest {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(DescriptorSourceDeathTest, ActivatingOffTheQueueStopsTheProgram) {
    EXPECT_DEATH(
        {
            ReadSource source(queue, pipe.readEnd.get());
            source.activate();
        },
        "activate.*test\\.source");
}

} // namespace
} // namespace veltro
