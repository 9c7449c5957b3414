#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

using namespace veltro;
using namespace veltro::testing;

namespace {

Bytes readBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

} // namespace

TEST(PTYSession, InputLargerThanTheTerminalsBufferArrivesWholeAndInOrder) {
    TemporaryFolder temporary;
    constexpr std::size_t size = 1024 * 1024;
    // Raw mode, so that no byte of the input is taken as a signal, an edit or an end of line.
    auto recorder = Recorder::make();
    auto session = PTYSession::make(
        scriptCommand("/bin/sh",
                      {"sh", "-c",
                       "stty raw -echo -iexten && printf '<%s>' ready && head -c " +
                           std::to_string(size) + " > received && printf '<%s>' done"},
                      temporary.path),
        80, 24, recorder->events());
    ASSERT_TRUE(recorder->waitForText("<ready>"));

    Bytes data(size);
    for (std::size_t index = 0; index < size; ++index)
        data[index] = static_cast<std::uint8_t>((index * 7919) ^ (index >> 11));
    // Parts of every size, each queued behind the ones before while the terminal is full.
    for (std::size_t offset = 0, part = 1; offset < size; part = part * 3 % 8191 + 1) {
        std::size_t length = std::min(part, size - offset);
        session->write(Bytes(data.begin() + static_cast<std::ptrdiff_t>(offset),
                             data.begin() + static_cast<std::ptrdiff_t>(offset + length)));
        offset += length;
    }
    session->write({});

    ASSERT_TRUE(recorder->waitForText("<done>"));
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), std::vector<std::int32_t>{0});
    EXPECT_TRUE(readBytes(temporary.path / "received") == data);
}

TEST(PTYSession, ResizeIsClampedAndTakesEffectBetweenTheWritesAroundIt) {
    auto recorder = Recorder::make();
    auto session = PTYSession::make(interactiveCommand("/bin/dash"), 80, 24, recorder->events());
    std::string printSize = "printf '<%s>\\n' \"$(stty size)\"\n";

    session->resize(0, 0);
    session->write(bytes(printSize));
    EXPECT_TRUE(recorder->waitForText("<1 1>")) << recorder->text();
    session->resize(70000, 50);
    session->write(bytes(printSize));
    EXPECT_TRUE(recorder->waitForText("<50 65535>")) << recorder->text();
    session->resize(120, 40);
    session->write(bytes(printSize));
    EXPECT_TRUE(recorder->waitForText("<40 120>")) << recorder->text();

    session->write(bytes("exit\n"));
    ASSERT_TRUE(recorder->waitForExit());
}
