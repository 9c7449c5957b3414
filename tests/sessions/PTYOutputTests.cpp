#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>

using namespace veltro;
using namespace veltro::testing;

namespace {

// Every byte value, in an order that a lost, doubled or swapped chunk would disturb.
Bytes deterministicBytes(std::size_t count) {
    Bytes data(count);
    std::uint64_t state = 0x9E3779B97F4A7C15ull;
    for (auto& byte : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return data;
}

void writeFile(const std::filesystem::path& path, const Bytes& data) {
    std::ofstream file(path, std::ios::binary);
    file.write(reinterpret_cast<const char*>(data.data()),
               static_cast<std::streamsize>(data.size()));
}

// Compares the output with what should come as it arrives, without keeping it.
struct StreamCheck {
    explicit StreamCheck(Bytes expected) : expected(std::move(expected)) {}

    ShellEvents events(const std::shared_ptr<StreamCheck>& self) {
        ShellEvents events;
        events.output = [self](Bytes chunk, ShellEvents::Sent sent) {
            {
                std::lock_guard lock(self->mutex);
                if (chunk.empty() || chunk.size() > PTYSession::readBufferSize)
                    ++self->badChunks;
                if (self->exited || self->received + chunk.size() > self->expected.size() ||
                    !std::equal(chunk.begin(), chunk.end(),
                                self->expected.begin() +
                                    static_cast<std::ptrdiff_t>(self->received)))
                    self->mismatch = true;
                self->received += chunk.size();
                ++self->chunks;
            }
            sent();
        };
        events.folderChanged = [](std::string) {};
        events.exited = [self](std::int32_t status) {
            {
                std::lock_guard lock(self->mutex);
                self->exited = true;
                self->status = status;
                self->receivedAtExit = self->received;
            }
            self->changed.notify_all();
        };
        return events;
    }

    bool waitForExit() {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 10 * patience, [&] { return exited; });
    }

    Bytes expected;
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t received = 0;
    std::size_t receivedAtExit = 0;
    std::size_t chunks = 0;
    std::size_t badChunks = 0;
    bool mismatch = false;
    bool exited = false;
    std::int32_t status = -1;
};

ShellCommand rawCat(const std::filesystem::path& folder, const std::string& file) {
    // Without output processing the terminal passes every byte unchanged.
    return scriptCommand("/bin/sh", {"sh", "-c", "stty raw -echo && cat " + file}, folder);
}

} // namespace

TEST(PTYSession, LargeOutputArrivesWholeAndInOrderBeforeTheExit) {
    TemporaryFolder temporary;
    constexpr std::size_t size = 64 * 1024 * 1024;
    auto check = std::make_shared<StreamCheck>(deterministicBytes(size));
    writeFile(temporary.path / "data", check->expected);

    auto session = PTYSession::make(rawCat(temporary.path, "data"), 80, 24, check->events(check));
    ASSERT_TRUE(check->waitForExit());

    std::lock_guard lock(check->mutex);
    EXPECT_EQ(check->status, 0);
    EXPECT_EQ(check->receivedAtExit, size);
    EXPECT_FALSE(check->mismatch);
    EXPECT_EQ(check->badChunks, 0u);
    // Fast output travels in large chunks.
    EXPECT_LT(check->chunks, size / 4096);
}

TEST(PTYSession, ReceiverWithholdingAcknowledgementsGetsFourChunksUntilItAcknowledgesOne) {
    TemporaryFolder temporary;
    Bytes data = deterministicBytes(4 * 1024 * 1024);
    writeFile(temporary.path / "data", data);
    auto recorder = Recorder::make(true);
    auto session = PTYSession::make(rawCat(temporary.path, "data"), 80, 24, recorder->events());

    ASSERT_TRUE(recorder->waitFor([&] { return recorder->chunkSizes.size() >= 4; }));
    // Give a reader that ignored the limit every chance to show it.
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder->chunkCount(), 4u);

    recorder->acknowledgeOne();
    ASSERT_TRUE(recorder->waitFor([&] { return recorder->chunkSizes.size() >= 5; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(recorder->chunkCount(), 5u);

    recorder->acknowledgeAll();
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->text(), std::string(data.begin(), data.end()));
    for (std::size_t chunk : recorder->chunkSizes) {
        EXPECT_GT(chunk, 0u);
        EXPECT_LE(chunk, PTYSession::readBufferSize);
    }
}

TEST(PTYSession, ShellThatExitsWhileFourChunksAreUnacknowledgedIsReportedAfterItsLastOutput) {
    auto recorder = Recorder::make(true);
    // Each part of the output waits for a line of input, so each becomes a chunk of its own.
    auto session = PTYSession::make(
        scriptCommand("/bin/sh", {"sh", "-c",
                                  "stty -echo; for i in 1 2 3 4; do printf \"c$i.\"; read x; done; "
                                  "printf c5.; exit 3"}),
        80, 24, recorder->events());
    for (int part = 1; part <= 4; ++part) {
        ASSERT_TRUE(recorder->waitForText("c" + std::to_string(part) + "."));
        session->write(bytes("\n"));
    }
    // The shell is reaped while its last output waits behind the unacknowledged chunks.
    ASSERT_TRUE(eventually([&] { return !processExists(session->pid()); }));
    std::this_thread::sleep_for(200ms);
    EXPECT_TRUE(recorder->exitStatuses().empty());
    EXPECT_EQ(recorder->chunkCount(), 4u);

    recorder->acknowledgeOne();
    ASSERT_TRUE(recorder->waitForText("c5."));
    recorder->acknowledgeAll();
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), std::vector<std::int32_t>{768});
    EXPECT_EQ(recorder->text(), "c1.c2.c3.c4.c5.");
    EXPECT_EQ(recorder->kinds.back(), Recorder::Kind::exited);
}

TEST(PTYSession, ExitIsReportedOnceWithTheRawWaitStatus) {
    struct Case {
        std::string script;
        std::int32_t status;
    };
    for (const Case& exit :
         {Case{"exit 3", 768}, Case{"kill -TERM $$", 15}, Case{"printf last; exit 0", 0}}) {
        auto recorder = Recorder::make();
        auto session = PTYSession::make(scriptCommand("/bin/sh", {"sh", "-c", exit.script}), 80, 24,
                                        recorder->events());
        ASSERT_TRUE(recorder->waitForExit());
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(recorder->exitStatuses(), std::vector<std::int32_t>{exit.status}) << exit.script;
    }
}

TEST(PTYSession, OutputWrittenJustBeforeTheExitIsDelivered) {
    for (int round = 0; round < 20; ++round) {
        auto recorder = Recorder::make();
        auto session = PTYSession::make(
            scriptCommand("/bin/sh", {"sh", "-c", "stty -opost; printf 'tail-of-output'"}), 80, 24,
            recorder->events());
        ASSERT_TRUE(recorder->waitForExit());
        EXPECT_EQ(recorder->text(), "tail-of-output");
        EXPECT_EQ(recorder->kinds.back(), Recorder::Kind::exited);
    }
}

TEST(PTYSession, ExitIsReportedWhileABackgroundJobStillHoldsTheTerminal) {
    auto recorder = Recorder::make();
    // The job ignores the hang-up, so the terminal never reaches end of file while it lives.
    auto session = PTYSession::make(
        scriptCommand("/bin/sh",
                      {"sh", "-c", "trap '' HUP; sleep 1000 & printf '<%s>' $!; exit 4"}),
        80, 24, recorder->events());
    ASSERT_TRUE(recorder->waitForText(">"));
    std::string text = recorder->text();
    pid_t job = std::stoi(text.substr(text.find('<') + 1));
    auto handle = ProcessHandle::open(job);
    ASSERT_TRUE(handle);

    EXPECT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), std::vector<std::int32_t>{4 << 8});
    EXPECT_TRUE(handle->exists());
    handle->signal(SIGKILL);
    EXPECT_TRUE(waitForEnd(*handle));
}
