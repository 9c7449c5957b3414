#include "PTYTestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <fstream>
#include <set>
#include <sstream>

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

// The line of a /proc status or limits file that starts with `field`.
std::string line(const std::string& path, const std::string& field) {
    std::istringstream lines(readFile(path));
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(field))
            return line.substr(field.size());
    return {};
}

// Signals 1 to 31 and SIGRTMIN to SIGRTMAX, one bit each, as /proc lists them.
std::uint64_t usableSignals() {
    std::uint64_t mask = (1ull << 31) - 1;
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        mask |= 1ull << (signal - 1);
    return mask;
}

template <class Work> void onWorker(Work work) {
    std::promise<void> done;
    EventLoop::shared().offload(work, [&done] { done.set_value(); });
    done.get_future().wait();
}

// The worst state the agent could spawn from: signals blocked on the spawning thread, signals
// ignored and a descriptor open without close-on-exec.
class HostileState {
public:
    HostileState() {
        onWorker([] {
            sigset_t blocked;
            sigemptyset(&blocked);
            for (int signal : {SIGUSR1, SIGTERM, SIGRTMIN + 3})
                sigaddset(&blocked, signal);
            pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
        });
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGHUP, &ignore, &hangUp);
        sigaction(SIGRTMAX, &ignore, &realTime);
    }
    ~HostileState() {
        sigaction(SIGRTMAX, &realTime, nullptr);
        sigaction(SIGHUP, &hangUp, nullptr);
        onWorker([] {
            sigset_t none;
            sigemptyset(&none);
            pthread_sigmask(SIG_SETMASK, &none, nullptr);
        });
    }

private:
    struct sigaction hangUp {};
    struct sigaction realTime {};
    FileDescriptor leaked{::open("/dev/null", O_RDONLY)};
};

// A descriptor limit under which exactly `free` more descriptors can be opened.
rlim_t limitLeaving(int free) {
    for (int descriptor = 0;; ++descriptor)
        if (::fcntl(descriptor, F_GETFD) == -1 && free-- == 0)
            return static_cast<rlim_t>(descriptor);
}

Outcome<ShellSession> launch(PTYShellLauncher& launcher, const ShellRequest& request,
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
    // cat changes nothing about its signals or descriptors, so it shows what the spawn gave.
    ShellRequest request{{}, 132, 43, temporary / "link", "/bin/cat", {}};
    auto recorder = std::make_shared<Recorder>();
    std::shared_ptr<ShellSession> session;
    {
        HostileState hostile;
        session = launch(launcher, request, recorder).session;
    }
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
    for (const char* set : {"SigBlk:", "SigIgn:"})
        EXPECT_EQ(std::stoull(line(proc + "/status", set), nullptr, 16) & usableSignals(), 0u);
    EXPECT_EQ(std::stoul(line(proc + "/limits", "Max open files")), 200u);

    EXPECT_EQ(linkTarget(proc + "/cwd"), std::filesystem::canonical(temporary / "real"));
    EXPECT_EQ(readFile(proc + "/cmdline"), std::string("cat\0", 4));
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
    std::ofstream(temporary / "file") << "not a folder";
    ShellCommand inFile = script(""), inMissing = script("");
    inFile.folder = temporary / "file";
    inMissing.folder = temporary / "missing";
    PTYShellLauncher launcher(testAccount(temporary.path(), "/nonexistent/login-shell"), {});
    struct Case {
        ShellCommand command;
        int freeDescriptors;
        std::string error;
    };
    const Case cases[] = {
        {command("/nonexistent/shell"), -1,
         "Couldn\u2019t start /nonexistent/shell: No such file or directory"},
        {inFile, -1, "Couldn\u2019t start /bin/sh: Not a directory"},
        {inMissing, -1, "Couldn\u2019t start /bin/sh: No such file or directory"},
        // Out of descriptors before the terminal, and once the shell has been spawned.
        {script("sleep 1000"), 0, "Couldn\u2019t open a terminal: Too many open files"},
        {script("sleep 1000"), 2, "Couldn\u2019t start /bin/sh: Too many open files"},
        // No command: the launcher derives the account's missing login shell.
        {command(""), -1,
         "Couldn\u2019t start /nonexistent/login-shell: No such file or directory"},
    };
    int descriptorsBefore = openDescriptors();
    for (const Case& refused : cases) {
        auto recorder = std::make_shared<Recorder>();
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        rlimit lowered{refused.freeDescriptors < 0 ? limit.rlim_cur
                                                   : limitLeaving(refused.freeDescriptors),
                       limit.rlim_max};
        auto outcome = await<ShellSession>([&](auto launched) {
            ::setrlimit(RLIMIT_NOFILE, &lowered);
            if (refused.command.path.empty())
                launcher.launch({{}, 80, 24, temporary.path(), {}, {}}, recorder->events(),
                                launched);
            else
                launcher.start(refused.command, 80, 24, recorder->events(), launched);
        });
        ::setrlimit(RLIMIT_NOFILE, &limit);
        EXPECT_FALSE(outcome.session);
        EXPECT_EQ(outcome.error, refused.error);
        EXPECT_EQ(openDescriptors(), descriptorsBefore) << refused.error;
        EXPECT_EQ(childProcesses(), 0) << refused.error;
        EXPECT_TRUE(recorder->now().exits.empty());
    }
}

class RealShell : public ::testing::TestWithParam<std::string> {};

TEST_P(RealShell, LoginShellRunsOnItsTerminalWithTheRequestedSizeAndFolder) {
    TemporaryFolder temporary;
    // zsh would otherwise greet a new user with its set-up menu.
    std::ofstream(temporary / ".zshrc") << "";
    PTYShellLauncher launcher(testAccount(temporary.path(), GetParam()), testEnvironment());
    auto recorder = std::make_shared<Recorder>();
    auto session = launch(launcher, {{}, 100, 30, temporary.path(), {}, {}}, recorder).session;
    ASSERT_TRUE(session);
    send(session, "printf '<%s|%s|%s|%s|%s>\\n' \"$0\" \"$(stty size)\" \"$(pwd -P)\" \"$(tty)\" "
                  "\"$(stty -a | tr ' ;' '\\n\\n' | grep iutf8)\"\n");
    ASSERT_TRUE(recorder->waitForText("|iutf8>")) << recorder->now().output;
    // The terminal the shell names is its controlling terminal.
    std::string text = recorder->now().output;
    std::size_t end = text.rfind("|iutf8>"), start = text.rfind('|', end - 1) + 1;
    std::string tty = text.substr(start, end - start);
    struct stat terminal {};
    EXPECT_EQ(::stat(tty.c_str(), &terminal), 0);
    EXPECT_EQ(terminal.st_rdev, ProcessInfo::stat(session->pid())->terminal) << tty;
    EXPECT_NE(text.find("<-" + ShellCommand::lastPathComponent(GetParam()) + "|30 100|" +
                        std::filesystem::canonical(temporary.path()).string() + "|" + tty +
                        "|iutf8>"),
              std::string::npos)
        << text;
    send(session, "exit 5\n");
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->now().exits, std::vector<std::int32_t>{5 << 8});
}

INSTANTIATE_TEST_SUITE_P(Shells, RealShell, ::testing::Values("/bin/bash", "/bin/dash", "/bin/zsh"),
                         [](const auto& info) {
                             return ShellCommand::lastPathComponent(info.param);
                         });
