#include "platform/ProcessSource.hpp"

#include "platform/FileDescriptor.hpp"
#include "platform/Waiting.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <thread>

namespace veltro {
namespace {

using testing::Counter;
using testing::drain;

// A child that lives until its end of a pipe is closed. Forking in a threaded test program is
// fine because the child only reads and exits.
struct Child {
    Child() {
        std::array<int, 2> fds{};
        EXPECT_EQ(::pipe(fds.data()), 0);
        pid = ::fork();
        if (pid == 0) {
            ::close(fds[1]);
            char byte = 0;
            static_cast<void>(::read(fds[0], &byte, 1));
            ::_exit(3);
        }
        ::close(fds[0]);
        release.reset(fds[1]);
    }

    void end() { release.reset(); }

    // Blocks until the child has exited, leaving it unreaped.
    void awaitExitWithoutReaping() const {
        siginfo_t info{};
        ASSERT_EQ(::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT), 0);
    }

    int reap() const {
        int status = 0;
        EXPECT_EQ(::waitpid(pid, &status, 0), pid);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    pid_t pid = -1;
    FileDescriptor release;
};

class ProcessSourceTest : public ::testing::Test {
protected:
    Executor executor{"test", 2};
    SerialQueue queue{"test.process", executor};
    Counter fired;
    Counter cancelled;

    void activate(ProcessSource& source) {
        queue.sync([&] {
            source.setEventHandler([&] {
                EXPECT_TRUE(queue.isCurrent());
                fired.increment();
            });
            source.setCancelHandler([&] { cancelled.increment(); });
            source.activate();
        });
    }

    void cancel(ProcessSource& source) {
        queue.sync([&] { source.cancel(); });
        ASSERT_TRUE(cancelled.waitFor(1));
    }
};

TEST_F(ProcessSourceTest, FiresOnceWhenALiveChildExitsAndLeavesItUnreaped) {
    Child child;
    ProcessSource source(queue, child.pid);
    activate(source);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drain(queue);
    EXPECT_EQ(fired.value(), 0);

    child.end();
    ASSERT_TRUE(fired.waitFor(1));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drain(queue);
    EXPECT_EQ(fired.value(), 1);
    EXPECT_EQ(child.reap(), 3);
    cancel(source);
}

TEST_F(ProcessSourceTest, FiresForAChildThatExitedBeforeTheSourceWasMade) {
    Child child;
    child.end();
    child.awaitExitWithoutReaping();
    ProcessSource source(queue, child.pid);
    activate(source);
    EXPECT_TRUE(fired.waitFor(1));
    EXPECT_EQ(child.reap(), 3);
    cancel(source);
}

TEST_F(ProcessSourceTest, FiresForAProcessThatNoLongerExists) {
    Child child;
    child.end();
    child.reap();
    ProcessSource source(queue, child.pid);
    activate(source);
    EXPECT_TRUE(fired.waitFor(1));
    cancel(source);
    EXPECT_EQ(fired.value(), 1);
}

TEST_F(ProcessSourceTest, NothingFiresBeforeActivation) {
    Child child;
    child.end();
    child.awaitExitWithoutReaping();
    ProcessSource source(queue, child.pid);
    queue.sync([&] { source.setEventHandler([&] { fired.increment(); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    drain(queue);
    EXPECT_EQ(fired.value(), 0);
    activate(source);
    EXPECT_TRUE(fired.waitFor(1));
    child.reap();
    cancel(source);
}

TEST_F(ProcessSourceTest, CancelBeforeTheExitRunsOnlyTheCancelHandlerAndReleasesHandlers) {
    Child child;
    auto owner = std::make_shared<int>(1);
    std::weak_ptr<int> watch = owner;
    ProcessSource source(queue, child.pid);
    queue.sync([&] {
        source.setEventHandler([owner, this] { fired.increment(); });
        source.setCancelHandler([owner, this] { cancelled.increment(); });
        source.activate();
    });
    owner.reset();
    cancel(source);
    child.end();
    child.reap();
    drain(queue);
    EXPECT_EQ(fired.value(), 0);
    EXPECT_TRUE(watch.expired());
}

} // namespace
} // namespace veltro
