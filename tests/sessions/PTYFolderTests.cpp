#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

std::string resolved(const std::filesystem::path& path) {
    return std::filesystem::canonical(path).string();
}

} // namespace

TEST(PTYSession, ShellThatNeverReportsIsProbedOnceItsOutputGoesQuiet) {
    TemporaryFolder temporary;
    std::filesystem::create_directory(temporary.path / "real");
    std::filesystem::create_directory(temporary.path / "other");
    std::filesystem::create_directory_symlink(temporary.path / "other", temporary.path / "link");
    auto recorder = Recorder::make();
    // Started through a link: the probe's answer, links resolved, is no change.
    std::filesystem::create_directory_symlink(temporary.path / "real", temporary.path / "start");
    auto session = PTYSession::make(interactiveCommand("/bin/dash", temporary.path / "start"), 80,
                                    24, recorder->events());
    session->write(bytes("printf '<%s>' ready\n"));
    ASSERT_TRUE(recorder->waitForText("<ready>"));
    EXPECT_EQ(session->currentFolder(), resolved(temporary.path / "real"));

    session->write(bytes("cd ../link\n"));
    ASSERT_TRUE(recorder->waitFor([&] { return !recorder->folders.empty(); }));
    EXPECT_EQ(recorder->folderChanges(),
              std::vector<std::string>{resolved(temporary.path / "other")});

    // The question asks the kernel each time and announces nothing itself.
    session->write(bytes("cd /usr\n"));
    EXPECT_TRUE(eventually([&] { return session->currentFolder() == "/usr"; }));
    session->write(bytes("exit\n"));
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(session->currentFolder(), std::nullopt);
}

TEST(PTYSession, FolderReportStopsTheProbing) {
    TemporaryFolder temporary;
    std::filesystem::create_directory(temporary.path / "reported");
    auto recorder = Recorder::make();
    auto session = PTYSession::make(interactiveCommand("/bin/dash", temporary.path), 80, 24,
                                    recorder->events());
    // Two reports in one piece of output: only the last one counts.
    session->write(bytes("printf '\\033]7;file://host/elsewhere\\007\\033]7;file://host%s\\007' "
                         "\"$PWD/reported\"\n"));
    std::string reported = resolved(temporary.path / "reported");
    ASSERT_TRUE(recorder->waitFor([&] { return !recorder->folders.empty(); }));
    EXPECT_EQ(recorder->folderChanges(), std::vector<std::string>{reported});

    // The real folder moves without a report: neither the quiet timer nor the question follow.
    session->write(bytes("cd /usr; printf '<%s>' moved\n"));
    ASSERT_TRUE(recorder->waitForText("<moved>"));
    std::this_thread::sleep_for(PTYSession::quietDelay * 3);
    EXPECT_EQ(session->currentFolder(), reported);
    // A report of the folder already known is no change either.
    session->write(bytes("printf '\\033]7;file://host%s\\007<%s>' \"" + reported + "\" again\n"));
    ASSERT_TRUE(recorder->waitForText("<again>"));
    EXPECT_EQ(recorder->folderChanges(), std::vector<std::string>{reported});

    session->write(bytes("exit\n"));
    ASSERT_TRUE(recorder->waitForExit());
}

TEST(PTYSession, ForegroundProcessNamesTheProgramHoldingTheTerminal) {
    auto recorder = Recorder::make();
    auto session = PTYSession::make(interactiveCommand("/bin/dash"), 80, 24, recorder->events());
    session->write(bytes("printf '<%s>' ready\n"));
    ASSERT_TRUE(recorder->waitForText("<ready>"));
    EXPECT_TRUE(eventually([&] { return session->foregroundProcess() == ForegroundProcess{}; }));

    session->write(bytes("sleep 1000\n"));
    EXPECT_TRUE(eventually([&] {
        return session->foregroundProcess() == ForegroundProcess{true, "sleep"};
    }));
    session->write(bytes("\x03"));
    EXPECT_TRUE(eventually([&] { return session->foregroundProcess() == ForegroundProcess{}; }));

    // A pipeline answers with its leader's name.
    session->write(bytes("sleep 1000 | cat\n"));
    EXPECT_TRUE(eventually([&] {
        return session->foregroundProcess() == ForegroundProcess{true, "sleep"};
    }));
    session->write(bytes("\x03"));
    EXPECT_TRUE(eventually([&] { return session->foregroundProcess() == ForegroundProcess{}; }));

    // Once the leader has gone, the first remaining member speaks for the group.
    session->write(bytes("true | sleep 1000\n"));
    EXPECT_TRUE(eventually([&] {
        return session->foregroundProcess() == ForegroundProcess{true, "sleep"};
    }));

    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(session->foregroundProcess(), ForegroundProcess{});
    EXPECT_EQ(session->currentFolder(), std::nullopt);
    EXPECT_TRUE(released(session));
}
