#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>

using namespace veltro;
using namespace veltro::testing;

namespace {

// Every byte value, in an order that a lost, doubled or swapped chunk would disturb.
std::string deterministicBytes(std::size_t count) {
    std::string data(count, '\0');
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (char& byte : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<char>(state >> 24);
    }
    return data;
}

// Lets the loop run what is queued on it: a read the session should not have issued would
// have delivered its chunk by then.
void letTheLoopTurn() {
    for (int turn = 0; turn < 10; ++turn)
        onLoop([] {});
}

using Kind = Recorder::Kind;
using Statuses = std::vector<std::int32_t>;

} // namespace

TEST(PTYSession, ReceiverWithholdingAcknowledgementsGetsFourChunksUntilItAcknowledgesOne) {
    TemporaryFolder temporary;
    std::string data = deterministicBytes(4 * 1024 * 1024);
    std::ofstream(temporary / "data", std::ios::binary) << data;
    auto recorder = Recorder::make(true);
    // Without output processing the terminal passes every byte unchanged.
    auto session = start(script("stty raw -echo && exec cat data", temporary.path()), recorder);
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->chunkSizes.size() >= 4; }));
    letTheLoopTurn();
    EXPECT_EQ(recorder->chunkCount(), 4u);
    recorder->acknowledge(1);
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->chunkSizes.size() >= 5; }));
    letTheLoopTurn();
    EXPECT_EQ(recorder->chunkCount(), 5u);

    recorder->acknowledge();
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), Statuses{0});
    EXPECT_TRUE(recorder->text() == data);
    for (std::size_t chunk : recorder->read([&] { return recorder->chunkSizes; }))
        EXPECT_TRUE(chunk > 0 && chunk <= PTYSession::readBufferSize) << chunk;
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, ShellThatExitsWhileFourChunksAreUnacknowledgedIsReportedAfterItsLastOutput) {
    for (bool closed : {false, true}) {
        auto recorder = Recorder::make(true);
        auto session = start(fourChunksThenExit(3), recorder);
        ASSERT_TRUE(reapedBehindFourChunks(session, *recorder));
        letTheLoopTurn();
        EXPECT_TRUE(recorder->exitStatuses().empty());
        EXPECT_EQ(recorder->chunkCount(), 4u);

        if (closed) {
            // Closed meanwhile: what the shell wrote last is given up with the terminal.
            onLoop([&] { session->close(); });
            ASSERT_TRUE(recorder->waitForExit());
        } else {
            recorder->acknowledge(1);
            ASSERT_TRUE(recorder->waitForText("c5."));
        }
        recorder->acknowledge();
        EXPECT_TRUE(released(session));
        EXPECT_EQ(recorder->exitStatuses(), Statuses{3 << 8});
        EXPECT_EQ(recorder->text(), closed ? "c1.c2.c3.c4." : "c1.c2.c3.c4.c5.");
        EXPECT_EQ(recorder->read([&] { return recorder->kinds.back(); }), Kind::exited);
    }
}

TEST(PTYSession, ExitIsReportedOnceAfterTheLastOutputWithTheRawWaitStatus) {
    struct Case {
        std::string script, output;
        std::int32_t status;
    };
    for (const Case& exit : {Case{"exit 3", "", 3 << 8}, Case{"kill -TERM $$", "", SIGTERM},
                             Case{"stty -opost; printf tail-of-output", "tail-of-output", 0}}) {
        for (int round = 0; round < 10; ++round) {
            auto recorder = Recorder::make();
            auto session = start(script(exit.script), recorder);
            ASSERT_TRUE(recorder->waitForExit());
            EXPECT_TRUE(released(session));
            EXPECT_EQ(recorder->exitStatuses(), Statuses{exit.status}) << exit.script;
            EXPECT_EQ(recorder->text(), exit.output);
            EXPECT_EQ(recorder->read([&] { return recorder->kinds.back(); }), Kind::exited);
        }
    }
}

TEST(PTYSession, ExitIsReportedWhileABackgroundJobStillHoldsTheTerminal) {
    auto recorder = Recorder::make();
    // The job ignores the hang-up, so the terminal never reaches end of file while it lives.
    auto session = start(script("trap '' HUP; sleep 1000 & printf '<%s>' $!; exit 4"), recorder);
    ASSERT_TRUE(recorder->waitForText(">"));
    std::string text = recorder->text();
    auto job = ProcessHandle::open(std::stoi(text.substr(text.find('<') + 1)));
    ASSERT_TRUE(job);

    EXPECT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), Statuses{4 << 8});
    EXPECT_TRUE(job->exists());
    job->signal(SIGKILL);
    EXPECT_TRUE(ended(*job));
}
