#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace veltro;
using namespace veltro::testing;

TEST(PTYSession, InputPastTheBacklogLimitArrivesWholeAndInOrderOnceTheProgramReads) {
    TemporaryFolder temporary;
    ASSERT_EQ(::mkfifo((temporary / "go").c_str(), 0600), 0);
    constexpr std::size_t size = 3 * PTYSession::inputBacklogLimit;
    // Raw, so that no byte is taken as a signal, an edit or an end of line; the program starts
    // reading only once told through the pipe.
    auto recorder = std::make_shared<Recorder>();
    auto session = start(script("stty raw -echo -iexten && printf '<%s>' ready && read x < go && "
                                "head -c " +
                                    std::to_string(size) + " > received && printf '<%s>' done",
                                temporary.path()),
                         recorder);
    ASSERT_TRUE(recorder->waitForText("<ready>"));

    std::string data = patterned(size);
    auto drained = std::make_shared<bool>(false);
    bool alwaysAccepted = onLoop([&] {
        bool accepted = true;
        // Parts of every size, each queued behind the ones before while the terminal is full.
        for (std::size_t offset = 0, part = 1; offset < size;
             offset += part, part = part * 3 % 65521 + 1) {
            std::string_view piece = std::string_view(data).substr(offset, part);
            accepted = session->write(Bytes(piece.begin(), piece.end())) && accepted;
        }
        session->whenInputDrained([drained] { *drained = true; });
        return accepted;
    });
    EXPECT_FALSE(alwaysAccepted);
    EXPECT_FALSE(onLoop([&] { return *drained; }));

    std::ofstream(temporary / "go") << "\n";
    ASSERT_TRUE(recorder->waitForText("<done>"));
    EXPECT_TRUE(onLoop([&] { return *drained; }));
    std::ifstream received(temporary / "received", std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(received), {}) == data);
}

TEST(PTYSession, WindowSizeIsClampedToOneThrough65535AtTheStartAndOnResize) {
    auto recorder = std::make_shared<Recorder>();
    auto session = start(command("/bin/dash"), recorder, -5, 100000);
    const std::string printSize = "printf '<%s>\\n' \"$(stty size)\"\n";
    send(session, printSize);
    EXPECT_TRUE(recorder->waitForText("<65535 1>"));
    // Each resize takes effect between the writes around it.
    for (auto [columns, rows, expected] :
         {std::tuple(70000, 0, "<1 65535>"), std::tuple(120, 40, "<40 120>")}) {
        onLoop([&] {
            session->resize(columns, rows);
            session->write(Bytes(printSize.begin(), printSize.end()));
        });
        EXPECT_TRUE(recorder->waitForText(expected)) << recorder->now().output;
    }
    send(session, "exit\n");
    ASSERT_TRUE(recorder->waitForExit());
}
