#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <signal.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

// The number printed between "<" and ">" in the output, such as a process id.
pid_t printedNumber(const std::string& text, const std::string& tag) {
    auto start = text.find("<" + tag + "=");
    if (start == std::string::npos)
        return 0;
    return std::stoi(text.substr(start + tag.size() + 2));
}

} // namespace

TEST(PTYSession, CloseHangsUpTheShellAndItsForegroundJobAndReportsTheExit) {
    auto recorder = Recorder::make();
    auto session = PTYSession::make(interactiveCommand("/bin/bash"), 80, 24, recorder->events());
    session->write(bytes("sleep 1000\n"));
    ASSERT_TRUE(eventually([&] { return session->foregroundProcess().busy; }));
    auto stat = ProcessInfo::stat(session->pid());
    ASSERT_TRUE(stat);
    auto members = ProcessInfo::processGroupMembers(stat->terminalProcessGroup);
    ASSERT_EQ(members.size(), 1u);
    auto job = ProcessHandle::open(members.front());
    ASSERT_TRUE(job);

    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    auto status = recorder->exitStatuses().front();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGHUP) << status;
    EXPECT_TRUE(waitForEnd(*job));
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, CloseKillsAShellIgnoringTheHangUpAndItsOtherJobsOnTheTerminal) {
    auto recorder = Recorder::make();
    // The job has a process group of its own, so only the forced kill of the processes on the
    // terminal can reach it.
    auto session = PTYSession::make(
        scriptCommand(
            "/bin/bash",
            {"bash", "-c", "trap '' HUP; set -m; sleep 1000 & printf '<job=%s>' $!; wait"}),
        80, 24, recorder->events());
    ASSERT_TRUE(recorder->waitForText(">"));
    pid_t jobPid = printedNumber(recorder->text(), "job");
    ASSERT_GT(jobPid, 0) << recorder->text();
    auto job = ProcessHandle::open(jobPid);
    ASSERT_TRUE(job);
    auto stat = ProcessInfo::stat(jobPid);
    ASSERT_TRUE(stat);
    EXPECT_NE(stat->processGroup, session->pid());

    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    auto status = recorder->exitStatuses().front();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_TRUE(waitForEnd(*job));
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, CloseTwiceOrAfterTheExitDoesNothingMore) {
    auto recorder = Recorder::make();
    auto session = PTYSession::make(interactiveCommand("/bin/dash"), 80, 24, recorder->events());
    session->write(bytes("printf '<%s>' ready\n"));
    ASSERT_TRUE(recorder->waitForText("<ready>"));
    session->close();
    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    std::size_t chunks = recorder->chunkCount();

    session->close();
    session->write(bytes("echo after\n"));
    session->resize(10, 10);
    // Long enough for the forced kill of the first close to have run as well.
    std::this_thread::sleep_for(PTYSession::killDelay + 500ms);
    EXPECT_EQ(recorder->exitStatuses().size(), 1u);
    EXPECT_EQ(recorder->chunkCount(), chunks);
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, CloseWhileTheOutputIsHeldBackFinishesWithTheReapedStatus) {
    auto recorder = Recorder::make(true);
    auto session = PTYSession::make(
        scriptCommand("/bin/sh", {"sh", "-c",
                                  "stty -echo; for i in 1 2 3 4; do printf \"c$i.\"; read x; done; "
                                  "printf c5.; exit 6"}),
        80, 24, recorder->events());
    for (int part = 1; part <= 4; ++part) {
        ASSERT_TRUE(recorder->waitForText("c" + std::to_string(part) + "."));
        session->write(bytes("\n"));
    }
    ASSERT_TRUE(eventually([&] { return !processExists(session->pid()); }));

    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), std::vector<std::int32_t>{6 << 8});
    // What the shell wrote last was given up with the terminal.
    EXPECT_EQ(recorder->chunkCount(), 4u);
    recorder->acknowledgeAll();
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(recorder->exitStatuses().size(), 1u);
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, UnwrittenInputIsDroppedByClose) {
    auto recorder = Recorder::make();
    // A shell that neither reads its input nor dies of the hang-up.
    auto session = PTYSession::make(
        scriptCommand("/bin/sh", {"sh", "-c", "trap '' HUP; printf '<%s>' ready; sleep 1000"}), 80,
        24, recorder->events());
    ASSERT_TRUE(recorder->waitForText("<ready>"));
    session->write(Bytes(1024 * 1024, 'x'));
    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    auto status = recorder->exitStatuses().front();
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, ManySessionsLeaveNoDescriptorProcessOrSessionBehind) {
    ASSERT_TRUE(runToCompletion(scriptCommand("/bin/sh", {"sh", "-c", "exit 0"})));
    ASSERT_TRUE(eventually([] { return !hasChildren(); }));
    std::size_t descriptorsBefore = settledDescriptorCount();

    std::vector<std::weak_ptr<ShellSession>> sessions;
    std::vector<std::shared_ptr<Recorder>> recorders;
    for (int index = 0; index < 200; ++index) {
        auto recorder = Recorder::make();
        std::shared_ptr<ShellSession> session;
        switch (index % 3) {
        case 0:
            // Closed before the shell has even started.
            session = PTYSession::make(interactiveCommand("/bin/dash"), 80, 24, recorder->events());
            session->close();
            break;
        case 1:
            session = PTYSession::make(interactiveCommand("/bin/dash"), 80, 24, recorder->events());
            session->write(bytes("echo hello; exit\n"));
            break;
        default:
            session = PTYSession::make(scriptCommand("/bin/sh", {"sh", "-c", "printf bye"}), 80, 24,
                                       recorder->events());
            session->close();
            break;
        }
        sessions.push_back(session);
        recorders.push_back(recorder);
        if (index % 20 != 19)
            continue;
        for (auto& waiting : recorders) {
            ASSERT_TRUE(waiting->waitForExit());
        }
    }
    for (auto& recorder : recorders) {
        ASSERT_TRUE(recorder->waitForExit());
        EXPECT_EQ(recorder->exitStatuses().size(), 1u);
    }
    // A closed session lives until its forced kill has run.
    EXPECT_TRUE(eventually([&] {
        return std::all_of(sessions.begin(), sessions.end(),
                           [](const auto& session) { return session.expired(); });
    }));
    EXPECT_TRUE(eventually([&] { return openDescriptorCount() == descriptorsBefore; }))
        << descriptorsBefore << " before, now:\n"
        << descriptorTargets();
    EXPECT_FALSE(hasChildren());
}
