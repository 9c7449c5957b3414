#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <set>

using namespace veltro;
using namespace veltro::testing;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(file), {}};
}

std::string linkTarget(const std::string& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// The number after `field` in a /proc status or limits file, in the given base.
std::uint64_t field(const std::string& path, const std::string& field, int base) {
    std::string text = readFile(path);
    return std::stoull(text.substr(text.find(field) + field.size()), nullptr, base);
}

// Blocks (or unblocks) signals on the loop's worker, which spawns the shells.
void maskOnWorker(int how) {
    std::promise<void> done;
    EventLoop::shared().offload(
        [how] {
            sigset_t signals;
            sigemptyset(&signals);
            for (int signal : {SIGUSR1, SIGTERM, SIGRTMIN + 3})
                sigaddset(&signals, signal);
            pthread_sigmask(how, &signals, nullptr);
        },
        [&done] { done.set_value(); });
    done.get_future().wait();
}

// A descriptor limit under which exactly `free` more descriptors can be opened.
rlim_t limitLeaving(int free) {
    for (int descriptor = 0;; ++descriptor)
        if (::fcntl(descriptor, F_GETFD) == -1 && free-- == 0)
            return static_cast<rlim_t>(descriptor);
}

auto launch(PTYShellLauncher& launcher, const ShellRequest& request,
            const std::shared_ptr<Recorder>& recorder) {
    return await<ShellSession>(
        [&](auto launched) { launcher.launch(request, recorder->events(), launched); });
}

} // namespace

TEST(PTYSession, ProgramGetsTheTerminalAsControllingTerminalAndNothingElseOfTheAgent) {
    TemporaryFolder temporary;
    std::filesystem::create_directory(temporary / "real");
    std::filesystem::create_directory_symlink(temporary / "real", temporary / "link");
    PTYShellLauncher launcher(testAccount(temporary.path()), testEnvironment());
    launcher.descriptorLimit = 200;
    // cat changes nothing about its signals or descriptors, so it shows what the spawn gave. It
    // is spawned from the worst state the agent could be in: signals blocked on the spawning
    // thread, signals ignored and a descriptor open without close-on-exec.
    ShellRequest request{{}, 132, 43, temporary / "link", "/bin/cat", {}};
    auto recorder = std::make_shared<Recorder>();
    struct sigaction ignore {
    }, hangUp{}, realTime{};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGHUP, &ignore, &hangUp);
    sigaction(SIGRTMAX, &ignore, &realTime);
    maskOnWorker(SIG_BLOCK);
    FileDescriptor leaked{::open("/dev/null", O_RDONLY)};
    auto session = launch(launcher, request, recorder).first;
    maskOnWorker(SIG_UNBLOCK);
    sigaction(SIGRTMAX, &realTime, nullptr);
    sigaction(SIGHUP, &hangUp, nullptr);
    ASSERT_TRUE(session);
    pid_t pid = session->pid();
    std::string proc = "/proc/" + std::to_string(pid);

    // What the spawn gave shows once cat waits in its first read of standard input.
    ASSERT_TRUE(eventually([&] { return readFile(proc + "/syscall").starts_with("0 0x0 "); }));
    std::string tty = linkTarget(proc + "/fd/0");
    std::set<std::string> descriptors;
    for (const auto& entry : std::filesystem::directory_iterator(proc + "/fd")) {
        descriptors.insert(entry.path().filename());
        EXPECT_EQ(linkTarget(entry.path()), tty) << entry.path();
    }
    EXPECT_EQ(descriptors, (std::set<std::string>{"0", "1", "2"}));
    struct stat terminal {};
    ASSERT_EQ(::stat(tty.c_str(), &terminal), 0);
    auto stat = ProcessInfo::stat(pid);
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->session, pid);
    EXPECT_EQ(stat->terminal, terminal.st_rdev);
    EXPECT_EQ(stat->terminalProcessGroup, pid);
    // Of signals 1 to 31 and SIGRTMIN to SIGRTMAX, one bit each, none is blocked or ignored.
    std::uint64_t usable = (1ull << 31) - 1;
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        usable |= 1ull << (signal - 1);
    EXPECT_EQ(field(proc + "/status", "SigBlk:", 16) & usable, 0u);
    EXPECT_EQ(field(proc + "/status", "SigIgn:", 16) & usable, 0u);
    EXPECT_EQ(field(proc + "/limits", "Max open files", 10), 200u);
    EXPECT_EQ(linkTarget(proc + "/cwd"), std::filesystem::canonical(temporary / "real"));
    ShellCommand expected(request.shell, request.folder, launcher.account, launcher.baseEnvironment,
                          {}, "", ShellCommand::isFolder, ShellCommand::localeExists);
    std::string environment;
    for (const auto& [key, value] : expected.environment)
        environment += key + "=" + value + '\0';
    EXPECT_EQ(readFile(proc + "/environ"), environment);

    // An end of file ends cat, and with it the session, without the wait for a forced kill.
    send(session, "\x04");
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->now().exits, std::vector<std::int32_t>{0});
    EXPECT_TRUE(released(session));
}

TEST(PTYShellLauncher, RefusedLaunchExplainsItselfAndLeavesNoDescriptorProcessOrEvent) {
    ASSERT_TRUE(warmedUp());
    TemporaryFolder temporary;
    ShellCommand inMissingFolder = script("");
    inMissingFolder.folder = temporary / "missing";
    PTYShellLauncher launcher(testAccount(temporary.path(), "/nonexistent/login-shell"), {});
    const std::tuple<ShellCommand, int, std::string> cases[] = {
        {command("/nonexistent/shell"), -1, "start /nonexistent/shell: No such file or directory"},
        {inMissingFolder, -1, "start /bin/sh: No such file or directory"},
        // Out of descriptors before the terminal, and once the shell has been spawned.
        {script("sleep 1000"), 0, "open a terminal: Too many open files"},
        {script("sleep 1000"), 2, "start /bin/sh: Too many open files"},
        // No command: the launcher derives the account's missing login shell.
        {command(""), -1, "start /nonexistent/login-shell: No such file or directory"},
    };
    int descriptorsBefore = openDescriptors();
    for (const auto& [command, freeDescriptors, error] : cases) {
        auto recorder = std::make_shared<Recorder>();
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        rlimit lowered{freeDescriptors < 0 ? limit.rlim_cur : limitLeaving(freeDescriptors),
                       limit.rlim_max};
        auto [session, explained] = await<ShellSession>([&](auto launched) {
            ::setrlimit(RLIMIT_NOFILE, &lowered);
            if (command.path.empty())
                launcher.launch({{}, 80, 24, "/", {}, {}}, recorder->events(), launched);
            else
                launcher.start(command, 80, 24, recorder->events(), launched);
        });
        ::setrlimit(RLIMIT_NOFILE, &limit);
        EXPECT_FALSE(session);
        EXPECT_EQ(explained, "Couldn\u2019t " + error);
        EXPECT_EQ(openDescriptors(), descriptorsBefore) << error;
        EXPECT_EQ(childProcesses(), 0) << error;
        EXPECT_TRUE(recorder->now().exits.empty());
    }
}

class RealShell : public ::testing::TestWithParam<std::string> {};

TEST_P(RealShell, LoginShellRunsOnItsTerminalWithTheRequestedSizeAndFolder) {
    TemporaryFolder temporary;
    // zsh would otherwise greet a new user with its set-up menu.
    std::ofstream(temporary / ".zshrc") << "";
    PTYShellLauncher launcher(testAccount(temporary.path(), "/bin/" + GetParam()),
                              testEnvironment());
    auto recorder = std::make_shared<Recorder>();
    auto session = launch(launcher, {{}, 100, 30, temporary.path(), {}, {}}, recorder).first;
    ASSERT_TRUE(session);
    send(session,
         "printf '<%s|%s|%s|%s>\\n' \"$0\" \"$(stty size)\" \"$(pwd -P)\" \"$(stty -a | grep -o "
         "-e '-*iutf8')\"\n");
    std::string expected = "<-" + GetParam() + "|30 100|" +
                           std::filesystem::canonical(temporary.path()).string() + "|iutf8>";
    EXPECT_TRUE(recorder->waitForText(expected)) << recorder->now().output;
    send(session, "exit 5\n");
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->now().exits, std::vector<std::int32_t>{5 << 8});
}

INSTANTIATE_TEST_SUITE_P(Shells, RealShell, ::testing::Values("bash", "dash", "zsh"),
                         [](const auto& info) { return info.param; });
