#include "platform/ProcessInfo.hpp"

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
#include <cstdlib>
#include <filesystem>
#include <string>

using namespace veltro;
using veltro::testing::TemporaryFolder;

namespace {

// A child that sleeps until it is killed, optionally in a folder, in a process group of its
// own, or as the leader of a new session on a terminal.
class Sleeper {
public:
    struct Options {
        std::string folder;
        bool ownGroup;
        std::string terminal;
    };

    static Options inFolder(std::string folder) { return {std::move(folder), false, {}}; }
    static Options groupLeader() { return {"/", true, {}}; }
    static Options onTerminal(std::string terminal) { return {"/", false, std::move(terminal)}; }

    explicit Sleeper(const Options& options = inFolder("/")) {
        posix_spawn_file_actions_t files;
        posix_spawn_file_actions_init(&files);
        posix_spawn_file_actions_addchdir_np(&files, options.folder.c_str());
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        short flags = 0;
        if (options.ownGroup)
            flags |= POSIX_SPAWN_SETPGROUP;
        if (!options.terminal.empty()) {
            flags |= POSIX_SPAWN_SETSID;
            posix_spawn_file_actions_addopen(&files, 0, options.terminal.c_str(), O_RDWR, 0);
        }
        posix_spawnattr_setflags(&attributes, flags);
        posix_spawnattr_setpgroup(&attributes, 0);
        std::array<char*, 3> arguments{const_cast<char*>("sleep"), const_cast<char*>("1000"),
                                       nullptr};
        int error = posix_spawn(&pid, "/bin/sleep", &files, &attributes, arguments.data(), environ);
        posix_spawnattr_destroy(&attributes);
        posix_spawn_file_actions_destroy(&files);
        if (error != 0)
            pid = -1;
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

bool contains(const std::vector<pid_t>& pids, pid_t pid) {
    return std::find(pids.begin(), pids.end(), pid) != pids.end();
}

// Puts the thread's name back after a test has renamed it.
class ThreadName {
public:
    ThreadName() { ::prctl(PR_GET_NAME, saved.data()); }
    ~ThreadName() { ::prctl(PR_SET_NAME, saved.data()); }

    void set(const char* name) { ::prctl(PR_SET_NAME, name); }

private:
    std::array<char, 17> saved{};
};

} // namespace

TEST(ProcessInfo, CurrentFolderIsTheProcesssWorkingFolderLinksResolved) {
    TemporaryFolder temporary;
    std::filesystem::path root = temporary.path();
    std::filesystem::create_directory(root / "real");
    std::filesystem::create_directory_symlink(root / "real", root / "link");
    Sleeper sleeper(Sleeper::inFolder(root / "link"));
    ASSERT_GT(sleeper.pid, 0);
    EXPECT_EQ(ProcessInfo::currentFolder(sleeper.pid),
              std::filesystem::canonical(root / "real").string());
}

TEST(ProcessInfo, RemovedFolderIsNoAnswerButAFolderNamedLikeOneIs) {
    TemporaryFolder temporary;
    std::filesystem::path root = temporary.path();
    auto removed = root / "gone";
    auto lookalike = root / "kept (deleted)";
    std::filesystem::create_directory(removed);
    std::filesystem::create_directory(lookalike);
    Sleeper inRemoved(Sleeper::inFolder(removed));
    Sleeper inLookalike(Sleeper::inFolder(lookalike));
    ASSERT_GT(inRemoved.pid, 0);
    ASSERT_GT(inLookalike.pid, 0);
    std::filesystem::remove(removed);

    EXPECT_EQ(ProcessInfo::currentFolder(inRemoved.pid), std::nullopt);
    EXPECT_EQ(ProcessInfo::currentFolder(inLookalike.pid),
              std::filesystem::canonical(lookalike).string());
}

TEST(ProcessInfo, ProcessThatIsGoneHasNoFolderNameOrStat) {
    Sleeper sleeper;
    pid_t pid = sleeper.pid;
    sleeper.end();
    EXPECT_EQ(ProcessInfo::currentFolder(pid), std::nullopt);
    EXPECT_EQ(ProcessInfo::name(pid), std::nullopt);
    EXPECT_FALSE(ProcessInfo::stat(pid));
}

TEST(ProcessInfo, NameIsTheShortCommandNameWithoutItsNewline) {
    Sleeper sleeper;
    EXPECT_EQ(ProcessInfo::name(sleeper.pid), "sleep");
}

TEST(ProcessInfo, StatIsParsedAfterTheLastParenthesisOfTheName) {
    ThreadName name;
    name.set("a) 1 2 (b\n) c");
    auto stat = ProcessInfo::stat(::getpid());
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->processGroup, ::getpgrp());
    EXPECT_EQ(stat->session, ::getsid(0));
    EXPECT_EQ(ProcessInfo::name(::getpid()), "a) 1 2 (b\n) c");
}

TEST(ProcessInfo, ProcessGroupListingHoldsExactlyItsMembers) {
    Sleeper leader(Sleeper::groupLeader());
    Sleeper other;
    ASSERT_GT(leader.pid, 0);
    EXPECT_EQ(ProcessInfo::processGroupMembers(leader.pid), std::vector<pid_t>{leader.pid});
    auto ours = ProcessInfo::processGroupMembers(::getpgrp());
    EXPECT_TRUE(contains(ours, ::getpid()));
    EXPECT_TRUE(contains(ours, other.pid));
    EXPECT_FALSE(contains(ours, leader.pid));
}

TEST(ProcessInfo, OneScanListsTheProcessesOfEveryShellBySessionOrTerminal) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    FileDescriptor masterSide(master);
    FileDescriptor slaveSide(slave);
    std::array<char, 1024> path{};
    ASSERT_EQ(::ttyname_r(slave, path.data(), path.size()), 0);
    struct stat terminal {};
    ASSERT_EQ(::fstat(slave, &terminal), 0);

    Sleeper shell(Sleeper::onTerminal(path.data()));
    Sleeper other;
    ASSERT_GT(shell.pid, 0);
    const ProcessInfo::Attachment attachments[] = {
        {shell.pid, 0}, {-1, terminal.st_rdev}, {other.pid, 0}, {-1, 0}};
    using Pids = std::vector<pid_t>;
    EXPECT_EQ(ProcessInfo::attachedProcesses(attachments),
              (std::vector<Pids>{{shell.pid}, {shell.pid}, {}, {}}));
    auto stat = ProcessInfo::stat(shell.pid);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->terminal, terminal.st_rdev);
    EXPECT_EQ(stat->session, shell.pid);
}

TEST(ProcessHandle, SignalsReachTheHeldProcessOnlyWhileItExists) {
    Sleeper sleeper;
    auto handle = ProcessHandle::open(sleeper.pid);
    ASSERT_TRUE(handle);
    EXPECT_EQ(handle->pid(), sleeper.pid);
    EXPECT_TRUE(handle->exists());
    EXPECT_TRUE(handle->signal(SIGKILL));
    int status = 0;
    ASSERT_EQ(::waitpid(sleeper.pid, &status, 0), sleeper.pid);
    sleeper.pid = -1;
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    // Reaped: whoever gets the process id next is out of the handle's reach.
    EXPECT_FALSE(handle->exists());
    EXPECT_FALSE(handle->signal(SIGKILL));
}

TEST(ProcessHandle, ProcessThatIsGoneCannotBeHeld) {
    Sleeper sleeper;
    pid_t pid = sleeper.pid;
    sleeper.end();
    EXPECT_FALSE(ProcessHandle::open(pid));
    EXPECT_FALSE(ProcessHandle::open(0));
}

TEST(ProcessInfo, InvalidUTF8IsReplacedSequenceBySequence) {
    const std::string replacement = "\xEF\xBF\xBD";
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("caf\xC3\xA9 \xF0\x9F\x90\xA2"),
              "caf\xC3\xA9 \xF0\x9F\x90\xA2");
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("a\xC3"), "a" + replacement);
    // A sequence cut short is one replacement, and the byte that cut it is kept.
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("\xE2\x82"
                                                "A"),
              replacement + "A");
    // Overlong forms, surrogates and values past U+10FFFF: one replacement per byte.
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("\xC0\xAF"), replacement + replacement);
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("\xED\xA0\x80"),
              replacement + replacement + replacement);
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("\xF4\x90\x80\x80"),
              replacement + replacement + replacement + replacement);
    EXPECT_EQ(ProcessInfo::replacingInvalidUTF8("\xFF"
                                                "b"),
              replacement + "b");
}
