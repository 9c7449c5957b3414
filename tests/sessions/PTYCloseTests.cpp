#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <signal.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

bool diedOf(int signal, const std::vector<std::int32_t>& statuses) {
    return statuses.size() == 1 && WIFSIGNALED(statuses[0]) && WTERMSIG(statuses[0]) == signal;
}

std::optional<ProcessHandle> printedJob(Recorder& recorder) {
    std::string text = recorder.text();
    return ProcessHandle::open(std::stoi(text.substr(text.find('<') + 1)));
}

} // namespace

TEST(PTYSession, CloseHangsUpTheShellAndItsForegroundJobAndEndsTheSessionOnce) {
    auto recorder = Recorder::make();
    auto session = start(command("/bin/bash"), recorder);
    send(session, "sleep 1000\n");
    ASSERT_TRUE(
        eventually([&] { return onLoop([&] { return session->foregroundProcess().busy; }); }));
    auto job = ProcessHandle::open(ProcessInfo::stat(session->pid())->terminalProcessGroup);
    ASSERT_TRUE(job);

    onLoop([&] {
        session->close();
        session->close();
    });
    ASSERT_TRUE(recorder->waitForExit());
    std::size_t chunks = recorder->chunkCount();
    onLoop([&] {
        session->close();
        EXPECT_TRUE(session->write(Bytes{'x', '\n'}));
        session->resize(10, 10);
    });
    EXPECT_TRUE(released(session));
    EXPECT_TRUE(diedOf(SIGHUP, recorder->exitStatuses()));
    EXPECT_EQ(recorder->chunkCount(), chunks);
    EXPECT_TRUE(ended(*job));
}

TEST(PTYSession, CloseKillsAShellIgnoringTheHangUpAndItsOtherJobsAndDropsItsInput) {
    auto recorder = Recorder::make();
    // The job has a process group of its own, so only the forced kill of what is attached to
    // the terminal reaches it; and nothing reads the input.
    auto session = start(command("/bin/bash", {"bash", "-c",
                                               "trap '' HUP; set -m; sleep 1000 & "
                                               "printf '<%s>' $!; wait"}),
                         recorder);
    ASSERT_TRUE(recorder->waitForText(">"));
    auto job = printedJob(*recorder);
    ASSERT_TRUE(job);
    EXPECT_NE(ProcessInfo::stat(job->pid())->processGroup, session->pid());

    auto drained = std::make_shared<bool>(false);
    onLoop([&] {
        EXPECT_FALSE(session->write(Bytes(2 * PTYSession::inputBacklogLimit, 'x')));
        session->whenInputDrained([drained] { *drained = true; });
        session->close();
    });
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_TRUE(onLoop([&] { return *drained; }));
    EXPECT_TRUE(diedOf(SIGKILL, recorder->exitStatuses()));
    EXPECT_TRUE(ended(*job));
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, ManySessionsClosedAtOnceLeaveNoDescriptorProcessOrSessionBehind) {
    auto warmUp = Recorder::make();
    ASSERT_TRUE(start(script("exit 0"), warmUp) && warmUp->waitForExit());
    ASSERT_TRUE(eventually([] { return !hasChildren(); }));
    std::size_t descriptorsBefore = openDescriptorCount();

    std::vector<std::shared_ptr<PTYSession>> sessions;
    std::vector<std::shared_ptr<Recorder>> recorders;
    for (int index = 0; index < 150; ++index) {
        // An interactive shell that exits, a script that ends by itself, and one closed at once.
        recorders.push_back(Recorder::make());
        sessions.push_back(
            start(index % 3 == 1 ? script("printf bye") : command("/bin/dash"), recorders.back()));
        ASSERT_TRUE(sessions.back());
        if (index % 3 == 0)
            send(sessions.back(), "echo hello; exit\n");
    }
    onLoop([&] {
        for (auto& session : sessions)
            session->close();
    });
    for (auto& session : sessions)
        EXPECT_TRUE(released(session));
    for (auto& recorder : recorders)
        EXPECT_EQ(recorder->exitStatuses().size(), 1u);
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_FALSE(hasChildren());
}
