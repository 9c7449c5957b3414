#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <signal.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

// Lets the loop run what is queued on it: a read the session should not have issued would
// have delivered its chunk by then.
void letTheLoopTurn() {
    for (int turn = 0; turn < 10; ++turn)
        onLoop([] {});
}

using Statuses = std::vector<std::int32_t>;

} // namespace

TEST(PTYSession, ReceiverWithholdingAcknowledgementsGetsFourChunksUntilItAcknowledgesOne) {
    TemporaryFolder temporary;
    std::string data = patterned(4 * 1024 * 1024);
    std::ofstream(temporary / "data", std::ios::binary) << data;
    auto recorder = std::make_shared<Recorder>(true);
    // Without output processing the terminal passes every byte unchanged.
    auto session = start(script("stty raw -echo && exec cat data", temporary.path()), recorder);
    for (std::size_t chunks : {4u, 5u}) {
        ASSERT_TRUE(
            recorder->waitFor([&](const Seen& seen) { return seen.chunks.size() >= chunks; }));
        letTheLoopTurn();
        EXPECT_EQ(recorder->now().chunks.size(), chunks);
        recorder->acknowledge(1);
    }
    recorder->acknowledge();
    ASSERT_TRUE(recorder->waitForExit());
    Seen seen = recorder->now();
    EXPECT_EQ(seen.exits, Statuses{0});
    EXPECT_TRUE(seen.output == data);
    for (std::size_t chunk : seen.chunks)
        EXPECT_TRUE(chunk > 0 && chunk <= PTYSession::readBufferSize) << chunk;
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, ShellThatExitsWhileFourChunksAreUnacknowledgedIsReportedAfterItsLastOutput) {
    auto recorder = std::make_shared<Recorder>(true);
    auto session = reapedBehindFourChunks(recorder);
    ASSERT_TRUE(session);
    letTheLoopTurn();
    EXPECT_TRUE(recorder->now().exits.empty());
    EXPECT_EQ(recorder->now().chunks.size(), 4u);
    recorder->acknowledge();
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_TRUE(released(session));
    Seen seen = recorder->now();
    EXPECT_EQ(seen.exits, Statuses{3 << 8});
    EXPECT_EQ(seen.output, "c1.c2.c3.c4.c5.");
    EXPECT_EQ(seen.afterExit, 0);
}

TEST(PTYSession, ExitIsReportedOnceAfterTheLastOutputWithTheRawWaitStatus) {
    struct Case {
        std::string script, output;
        std::int32_t status;
    };
    for (const Case& exit : {Case{"exit 3", "", 3 << 8}, Case{"kill -TERM $$", "", SIGTERM},
                             Case{"stty -opost; printf tail-of-output", "tail-of-output", 0}}) {
        for (int round = 0; round < 10; ++round) {
            auto recorder = std::make_shared<Recorder>();
            auto session = start(script(exit.script), recorder);
            ASSERT_TRUE(recorder->waitForExit());
            EXPECT_TRUE(released(session));
            Seen seen = recorder->now();
            EXPECT_EQ(seen.exits, Statuses{exit.status}) << exit.script;
            EXPECT_EQ(seen.output, exit.output);
            EXPECT_EQ(seen.afterExit, 0);
        }
    }
}

TEST(PTYSession, ExitIsReportedWhileABackgroundJobStillHoldsTheTerminal) {
    auto recorder = std::make_shared<Recorder>();
    // The job ignores the hang-up, so the terminal never reaches end of file while it lives.
    auto session = start(script("trap '' HUP; sleep 1000 & printf '<%s>' $!; exit 4"), recorder);
    ASSERT_TRUE(recorder->waitForText(">"));
    auto job = printedProcess(recorder->now());
    ASSERT_TRUE(job);
    EXPECT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->now().exits, Statuses{4 << 8});
    EXPECT_TRUE(job->exists());
    job->signal(SIGKILL);
    EXPECT_TRUE(ended(*job));
}
