#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

bool diedOf(int signal, const std::vector<std::int32_t>& statuses) {
    return statuses.size() == 1 && WIFSIGNALED(statuses[0]) && WTERMSIG(statuses[0]) == signal;
}

} // namespace

// Every state a session can be closed in, side by side and closed in one turn of the loop, so
// that they share one scan for leftovers and one wait for the forced kill.
TEST(PTYSession, CloseHangsUpKillsWhatIgnoresItAndEndsEachOfManySessionsOnceLeavingNothing) {
    ASSERT_TRUE(warmedUp());
    int descriptorsBefore = openDescriptors();
    std::vector<std::shared_ptr<PTYSession>> sessions;
    std::vector<std::shared_ptr<Recorder>> recorders;
    auto add = [&](const ShellCommand& command, bool withhold = false) {
        recorders.push_back(std::make_shared<Recorder>(withhold));
        sessions.push_back(start(command, recorders.back()));
        return sessions.back().get();
    };

    // A job in the foreground, which the hang-up reaches along with the shell.
    auto foreground = add(command("/bin/bash"));
    send(foreground, "sleep 1000\n");
    ASSERT_TRUE(
        eventually([&] { return onLoop([&] { return foreground->foregroundProcess().busy; }); }));
    auto foregroundJob =
        ProcessHandle::open(ProcessInfo::stat(foreground->pid())->terminalProcessGroup);
    // A shell ignoring the hang-up, with a job in a process group of its own that ignores it too:
    // only the forced kill of what is attached to the terminal reaches them.
    auto ignoring = add(command("/bin/bash", {"bash", "-c",
                                              "trap '' HUP; set -m; sleep 1000 & "
                                              "printf '<%s>' $!; wait"}));
    ASSERT_TRUE(recorders.back()->waitForText(">"));
    auto backgroundJob = printedProcess(recorders.back()->now());
    ASSERT_TRUE(foregroundJob && backgroundJob);
    EXPECT_NE(ProcessInfo::stat(backgroundJob->pid())->processGroup, ignoring->pid());
    // Reaped while four chunks are withheld: what it wrote last is given up with the terminal.
    recorders.push_back(std::make_shared<Recorder>(true));
    sessions.push_back(reapedBehindFourChunks(recorders.back()));
    ASSERT_TRUE(sessions.back());
    // Many more: an interactive shell that exits, a script that ends by itself, an idle shell.
    for (int index = 0; index < 150; ++index) {
        auto session = add(index % 3 == 1 ? script("printf bye") : command("/bin/dash"));
        ASSERT_TRUE(session);
        if (index % 3 == 0)
            send(session, "echo hello; exit\n");
    }

    // Input nothing reads is dropped with the terminal, and whoever waits for it is let go.
    auto drained = std::make_shared<bool>(false);
    onLoop([&] {
        EXPECT_FALSE(ignoring->write(Bytes(2 * PTYSession::inputBacklogLimit, 'x')));
        ignoring->whenInputDrained([drained] { *drained = true; });
        for (auto& session : sessions) {
            session->close();
            session->close();
        }
    });
    for (auto& recorder : recorders)
        ASSERT_TRUE(recorder->waitForExit());
    EXPECT_TRUE(onLoop([&] { return *drained; }));
    onLoop([&] {
        for (auto& session : sessions) {
            session->close();
            EXPECT_TRUE(session->write(Bytes{'x', '\n'}));
            session->resize(10, 10);
        }
    });
    recorders[2]->acknowledge();
    for (auto& session : sessions)
        EXPECT_TRUE(released(session));

    for (auto& recorder : recorders) {
        Seen seen = recorder->now();
        EXPECT_EQ(seen.exits.size(), 1u);
        EXPECT_EQ(seen.afterExit, 0);
    }
    EXPECT_TRUE(diedOf(SIGHUP, recorders[0]->now().exits));
    EXPECT_TRUE(ended(*foregroundJob));
    EXPECT_TRUE(diedOf(SIGKILL, recorders[1]->now().exits));
    EXPECT_TRUE(ended(*backgroundJob));
    EXPECT_EQ(recorders[2]->now().exits, std::vector<std::int32_t>{3 << 8});
    EXPECT_EQ(recorders[2]->now().output, "c1.c2.c3.c4.");
    foregroundJob.reset();
    backgroundJob.reset();
    EXPECT_EQ(openDescriptors(), descriptorsBefore);
    EXPECT_EQ(childProcesses(), 0);
}
