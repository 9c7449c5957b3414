#include "platform/ProcessInfo.hpp"

#include "support/ProcessCounts.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <string>

using namespace veltro;
using veltro::testing::TemporaryFolder;

namespace {

// A child that sleeps until it is killed: in `folder`, in a process group of its own, or as the
// leader of a new session on `terminal`. posix_spawn returns once the child runs `sleep`, so
// whatever the test asks about it next is already in place.
struct Sleeper {
    explicit Sleeper(const std::string& folder = "/", bool ownGroup = false,
                     const std::string& terminal = {}) {
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addchdir_np(&files, folder.c_str());
        if (!terminal.empty())
            posix_spawn_file_actions_addopen(&files, 0, terminal.c_str(), O_RDWR, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        posix_spawnattr_setflags(&attributes,
                                 static_cast<short>((ownGroup ? POSIX_SPAWN_SETPGROUP : 0) |
                                                    (terminal.empty() ? 0 : POSIX_SPAWN_SETSID)));
        std::array<char*, 3> arguments{const_cast<char*>("sleep"), const_cast<char*>("1000"),
                                       nullptr};
        if (posix_spawn(&pid, "/bin/sleep", &files, &attributes, arguments.data(), environ) != 0)
            pid = -1;
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
    }
    ~Sleeper() { end(); }
    Sleeper(const Sleeper&) = delete;
    Sleeper& operator=(const Sleeper&) = delete;

    void end() {
        if (pid <= 0)
            return;
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
        pid = -1;
    }

    pid_t pid = -1;
};

} // namespace

TEST(ProcessInfo, FolderIsResolvedAndAbsentOnceRemovedOrTheProcessIsGone) {
    TemporaryFolder temporary;
    std::filesystem::path root = std::filesystem::canonical(temporary.path());
    std::filesystem::create_directory(root / "real");
    std::filesystem::create_directory_symlink(root / "real", root / "link");
    std::filesystem::create_directory(root / "gone");
    std::filesystem::create_directory(root / "kept (deleted)");
    Sleeper inLink(root / "link");
    Sleeper inRemoved(root / "gone");
    Sleeper inLookalike(root / "kept (deleted)");
    ASSERT_GT(inLookalike.pid, 0);
    std::filesystem::remove(root / "gone");

    EXPECT_EQ(ProcessInfo::currentFolder(inLink.pid), (root / "real").string());
    EXPECT_EQ(ProcessInfo::currentFolder(inRemoved.pid), std::nullopt);
    EXPECT_EQ(ProcessInfo::currentFolder(inLookalike.pid), (root / "kept (deleted)").string());
    EXPECT_EQ(ProcessInfo::name(inLink.pid), "sleep");
    pid_t gone = inLink.pid;
    inLink.end();
    EXPECT_EQ(ProcessInfo::currentFolder(gone), std::nullopt);
    EXPECT_EQ(ProcessInfo::name(gone), std::nullopt);
    EXPECT_FALSE(ProcessInfo::stat(gone));
}

TEST(ProcessInfo, StatIsParsedAfterTheLastParenthesisOfAnyName) {
    std::array<char, 17> saved{};
    ::prctl(PR_GET_NAME, saved.data());
    ::prctl(PR_SET_NAME, "a) 1 2 (b\n) c");
    auto stat = ProcessInfo::stat(::getpid());
    auto name = ProcessInfo::name(::getpid());
    ::prctl(PR_SET_NAME, saved.data());
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->processGroup, ::getpgrp());
    EXPECT_EQ(stat->session, ::getsid(0));
    EXPECT_EQ(name, "a) 1 2 (b\n) c");
}

// The kill of a closed shell's leftovers relies on both listings.
TEST(ProcessInfo, GroupsAndShellsListExactlyTheirProcessesBySessionOrTerminal) {
    Sleeper leader("/", true);
    Sleeper other;
    ASSERT_GT(leader.pid, 0);
    EXPECT_EQ(ProcessInfo::processGroupMembers(leader.pid), std::vector<pid_t>{leader.pid});
    auto ours = ProcessInfo::processGroupMembers(::getpgrp());
    EXPECT_EQ(std::ranges::count(ours, ::getpid()), 1);
    EXPECT_EQ(std::ranges::count(ours, other.pid), 1);
    EXPECT_EQ(std::ranges::count(ours, leader.pid), 0);

    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FileDescriptor masterSide(master);
    FileDescriptor slaveSide(slave);
    std::array<char, 1024> path{};
    ASSERT_EQ(::ttyname_r(slave, path.data(), path.size()), 0);
    struct stat terminal {};
    ASSERT_EQ(::fstat(slave, &terminal), 0);
    Sleeper shell("/", false, path.data());
    ASSERT_GT(shell.pid, 0);
    const ProcessInfo::Attachment attachments[] = {
        {shell.pid, 0}, {-1, terminal.st_rdev}, {other.pid, 0}, {-1, 0}};
    using Pids = std::vector<pid_t>;
    std::vector<Pids> listed;
    for (const auto& processes : ProcessInfo::attachedProcesses(attachments)) {
        listed.emplace_back();
        for (const ProcessInfo::Listed& process : processes) {
            listed.back().push_back(process.pid);
            EXPECT_EQ(process.stat.session, shell.pid);
        }
    }
    EXPECT_EQ(listed, (std::vector<Pids>{{shell.pid}, {shell.pid}, {}, {}}));
    EXPECT_EQ(ProcessInfo::stat(shell.pid)->terminal, terminal.st_rdev);
}

// A handle reaches only the process it was opened for: with no descriptor left for a pidfd, a
// listed process is held by its start time, so that a process that got the id since the listing
// is never signalled; once reaped, whoever gets the id next is out of every handle's reach.
TEST(ProcessHandle, SignalsReachOnlyTheHeldProcessWithOrWithoutAPidfdAndOnlyWhileItExists) {
    Sleeper sleeper;
    auto stat = ProcessInfo::stat(sleeper.pid);
    ASSERT_TRUE(stat);
    EXPECT_GE(stat->startTime, ProcessInfo::stat(::getpid())->startTime);
    ProcessInfo::Listed seen{sleeper.pid, *stat};
    ProcessInfo::Listed later = seen;
    ++later.stat.startTime;
    auto byPid = ProcessHandle::open(sleeper.pid);
    ASSERT_TRUE(byPid && byPid->holdsDescriptor());
    EXPECT_TRUE(ProcessHandle::open(seen)->holdsDescriptor());
    EXPECT_FALSE(ProcessHandle::open(later));

    rlimit limit = veltro::testing::leaveFreeDescriptors(0);
    auto held = ProcessHandle::open(seen);
    auto other = ProcessHandle::open(later);
    ::setrlimit(RLIMIT_NOFILE, &limit);
    ASSERT_TRUE(held && other);
    EXPECT_FALSE(held->holdsDescriptor());
    EXPECT_FALSE(other->signal(SIGKILL));
    EXPECT_TRUE(held->exists());
    EXPECT_TRUE(held->signal(SIGKILL));
    int status = 0;
    ASSERT_EQ(::waitpid(sleeper.pid, &status, 0), sleeper.pid);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    EXPECT_FALSE(held->exists());
    EXPECT_FALSE(byPid->exists());
    EXPECT_FALSE(byPid->signal(SIGKILL));
    EXPECT_FALSE(ProcessHandle::open(sleeper.pid));
    sleeper.pid = -1;
}
