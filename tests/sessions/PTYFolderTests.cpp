#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

std::string resolved(const std::string& path) {
    return std::filesystem::canonical(path).string();
}

using Folders = std::vector<std::string>;

} // namespace

TEST(PTYSession, FolderIsProbedOnceOutputGoesQuietUntilTheShellReportsIt) {
    TemporaryFolder temporary;
    for (const char* name : {"real", "other", "reported"})
        std::filesystem::create_directory(temporary / name);
    std::filesystem::create_directory_symlink(temporary / "other", temporary / "link");
    std::filesystem::create_directory_symlink(temporary / "real", temporary / "start");
    auto recorder = std::make_shared<Recorder>();
    // Started through a link: the probe's answer, links resolved, is no change.
    auto session = start(command("/bin/dash", {}, temporary / "start"), recorder);
    auto currentFolder = [&] { return onLoop([&] { return session->currentFolder(); }); };
    send(session, "printf '<%s>' ready\n");
    ASSERT_TRUE(recorder->waitForText("<ready>"));
    EXPECT_EQ(currentFolder(), resolved(temporary / "real"));
    send(session, "cd ../link\n");
    ASSERT_TRUE(recorder->waitFor([](const Seen& seen) { return !seen.folders.empty(); }));
    EXPECT_EQ(recorder->now().folders, Folders{resolved(temporary / "other")});
    // The question asks the kernel each time.
    send(session, "cd /usr\n");
    EXPECT_TRUE(eventually([&] { return currentFolder() == "/usr"; }));

    // Two reports in one piece of output: only the last one counts, and from then on only
    // reports do. The real folder moves for longer than the quiet delay, and a report of the
    // folder already known follows: neither the timer, the question nor that report move it.
    std::string reported = resolved(temporary / "reported");
    send(session, "printf '\\033]7;file://h/elsewhere\\007\\033]7;file://h%s\\007' '" + reported +
                      "'; cd /; sleep 0.5; printf '\\033]7;file://h%s\\007<%s>' '" + reported +
                      "' again\n");
    ASSERT_TRUE(recorder->waitForText("<again>"));
    EXPECT_EQ(currentFolder(), reported);
    Folders changes = recorder->now().folders;
    EXPECT_EQ(changes.back(), reported);
    EXPECT_EQ(std::count(changes.begin(), changes.end(), reported), 1);
    send(session, "exit\n");
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(currentFolder(), std::nullopt);
}

TEST(PTYSession, ForegroundProcessNamesTheProgramHoldingTheTerminal) {
    auto recorder = std::make_shared<Recorder>();
    auto session = start(command("/bin/dash"), recorder);
    auto holds = [&](const ForegroundProcess& expected) {
        return eventually(
            [&] { return onLoop([&] { return session->foregroundProcess(); }) == expected; });
    };
    EXPECT_TRUE(holds({}));
    // A command, then a pipeline by its leader's name, then one whose leader has gone by its
    // first remaining member's.
    for (const char* line : {"sleep 1000\n", "sleep 1000 | cat\n", "true | sleep 1000\n"}) {
        send(session, line);
        EXPECT_TRUE(holds({true, "sleep"})) << line;
        send(session, "\x03");
        EXPECT_TRUE(holds({})) << line;
    }
    onLoop([&] { session->close(); });
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(onLoop([&] { return session->foregroundProcess(); }), ForegroundProcess{});
}
