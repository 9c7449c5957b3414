#include "PTYTestSupport.hpp"

#include "sessions/PTYShellLauncher.hpp"
#include "sessions/ShellLaunchError.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>

#include <fstream>
#include <set>
#include <sstream>

using namespace veltro;
using namespace veltro::testing;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream contents;
    contents << file.rdbuf();
    return contents.str();
}

std::string linkTarget(const std::string& path) {
    std::error_code error;
    return std::filesystem::read_symlink(path, error).string();
}

// One hexadecimal signal set of /proc/PID/status, e.g. "SigBlk".
std::uint64_t signalSet(pid_t pid, const std::string& field) {
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    ADD_FAILURE() << "no " << field << " for " << pid;
    return ~0ull;
}

// Signals 1 to 31 and SIGRTMIN to SIGRTMAX, one bit each, as /proc lists them.
std::uint64_t usableSignals() {
    std::uint64_t mask = 0;
    for (int signal = 1; signal <= 31; ++signal)
        mask |= 1ull << (signal - 1);
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal)
        mask |= 1ull << (signal - 1);
    return mask;
}

std::string joinedWithNulls(const std::vector<std::string>& items) {
    std::string joined;
    for (const std::string& item : items) {
        joined += item;
        joined += '\0';
    }
    return joined;
}

// The state a program inherits from the thread and process that spawn it, set to the worst the
// agent could be in, and put back afterwards.
class HostileSignalState {
public:
    HostileSignalState() {
        sigset_t blocked;
        sigemptyset(&blocked);
        sigaddset(&blocked, SIGUSR1);
        sigaddset(&blocked, SIGTERM);
        sigaddset(&blocked, SIGRTMIN + 3);
        pthread_sigmask(SIG_BLOCK, &blocked, &previousMask);
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        sigaction(SIGHUP, &ignore, &previousHangUp);
        sigaction(SIGRTMAX, &ignore, &previousRealTime);
        leakedDescriptor = ::open("/dev/null", O_RDONLY);
    }
    ~HostileSignalState() {
        ::close(leakedDescriptor);
        sigaction(SIGRTMAX, &previousRealTime, nullptr);
        sigaction(SIGHUP, &previousHangUp, nullptr);
        pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
    }

private:
    sigset_t previousMask;
    struct sigaction previousHangUp {};
    struct sigaction previousRealTime {};
    int leakedDescriptor = -1;
};

} // namespace

TEST(PTYSession, ProgramGetsTheTerminalAsControllingTerminalAndNothingElseOfTheAgent) {
    TemporaryFolder temporary;
    auto real = temporary.path / "real";
    auto link = temporary.path / "link";
    std::filesystem::create_directory(real);
    std::filesystem::create_directory_symlink(real, link);
    Environment base = testEnvironment();
    base["OLDPWD"] = "/elsewhere";
    base["BASH_ENV"] = "/elsewhere/rc";
    PTYShellLauncher launcher(testAccount(temporary.path), base);
    ShellRequest request;
    request.columns = 132;
    request.rows = 43;
    request.folder = link;
    // cat changes nothing about its signals or descriptors, so it shows what the spawn gave.
    request.shell = "/bin/cat";
    auto recorder = Recorder::make();

    std::shared_ptr<ShellSession> session;
    {
        HostileSignalState hostile;
        session = launcher.launch(request, recorder->events());
    }
    pid_t pid = session->pid();
    std::string proc = "/proc/" + std::to_string(pid);

    // cat opens its locale files as it starts; what it got from the spawn shows once it waits
    // in its first read of standard input.
    ASSERT_TRUE(eventually([&] { return readFile(proc + "/syscall").starts_with("0 0x0 "); }));
    std::string tty = linkTarget(proc + "/fd/0");
    EXPECT_TRUE(tty.starts_with("/dev/pts/")) << tty;
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
    EXPECT_EQ(stat->processGroup, pid);
    EXPECT_EQ(stat->terminal, terminal.st_rdev);
    EXPECT_EQ(stat->terminalProcessGroup, pid);

    EXPECT_EQ(signalSet(pid, "SigBlk") & usableSignals(), 0u);
    EXPECT_EQ(signalSet(pid, "SigIgn") & usableSignals(), 0u);

    EXPECT_EQ(linkTarget(proc + "/cwd"), std::filesystem::canonical(real));
    EXPECT_EQ(readFile(proc + "/cmdline"), joinedWithNulls({"cat"}));
    ShellCommand expected(request.shell, request.folder, launcher.account, base, {},
                          ShellCommand::preferredLocale(base), ShellCommand::isFolder,
                          ShellCommand::localeExists);
    std::vector<std::string> environment;
    for (const auto& [key, value] : expected.environment)
        environment.push_back(key + "=" + value);
    EXPECT_EQ(readFile(proc + "/environ"), joinedWithNulls(environment));

    FileDescriptor slave(::open(tty.c_str(), O_RDWR | O_NOCTTY));
    ASSERT_TRUE(slave);
    termios attributes{};
    ASSERT_EQ(::tcgetattr(slave.get(), &attributes), 0);
    EXPECT_NE(attributes.c_iflag & IUTF8, 0u);
    winsize size{};
    ASSERT_EQ(::ioctl(slave.get(), TIOCGWINSZ, &size), 0);
    EXPECT_EQ(size.ws_col, 132);
    EXPECT_EQ(size.ws_row, 43);
    slave.reset();

    session->close();
    ASSERT_TRUE(recorder->waitForExit());
    // The folder was a link to the one the kernel reports, which is no change.
    EXPECT_TRUE(recorder->folderChanges().empty());
    EXPECT_TRUE(released(session));
}

TEST(PTYSession, QueueIsLabelledWithTheShellsProcessID) {
    auto recorder = Recorder::make();
    auto session = PTYSession::make(scriptCommand("/bin/sh", {"sh", "-c", "exit 0"}), 80, 24,
                                    recorder->events());
    EXPECT_EQ(session->queueLabel(),
              "tech.morvane.veltro.terminal-helper.session." + std::to_string(session->pid()));
    ASSERT_TRUE(recorder->waitForExit());
}

class LaunchFailure : public ::testing::Test {
protected:
    void SetUp() override {
        // One whole session first, so that whatever the process sets up on first use is
        // already there when descriptors are counted.
        ASSERT_TRUE(runToCompletion(scriptCommand("/bin/sh", {"sh", "-c", "exit 0"})));
        ASSERT_TRUE(eventually([] { return !hasChildren(); }));
        descriptorsBefore = settledDescriptorCount();
    }

    void expectFailure(const ShellCommand& command, const std::string& message) {
        auto recorder = Recorder::make();
        try {
            PTYSession::make(command, 80, 24, recorder->events());
            ADD_FAILURE() << "launch succeeded";
        } catch (const ShellLaunchError& error) {
            EXPECT_EQ(error.description, message);
            EXPECT_STREQ(error.what(), message.c_str());
        }
        EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
        EXPECT_FALSE(hasChildren());
        EXPECT_EQ(recorder->kinds.size(), 0u);
    }

    std::size_t descriptorsBefore = 0;
};

TEST_F(LaunchFailure, MissingProgramThrowsItsPathAndTheSystemsReason) {
    expectFailure(scriptCommand("/nonexistent/veltro-shell", {"veltro-shell"}),
                  "Couldn\u2019t start /nonexistent/veltro-shell: No such file or directory");
}

TEST_F(LaunchFailure, FolderThatCannotBeEnteredFailsWithTheChangeOfFoldersError) {
    TemporaryFolder temporary;
    std::ofstream(temporary.path / "file") << "not a folder";
    ShellCommand command = scriptCommand("/bin/sh", {"sh"});
    command.folder = temporary.path / "file";
    expectFailure(command, "Couldn\u2019t start /bin/sh: Not a directory");
    command.folder = temporary.path / "missing";
    expectFailure(command, "Couldn\u2019t start /bin/sh: No such file or directory");
}

TEST_F(LaunchFailure, LauncherThrowsTheSessionsErrorUnchanged) {
    TemporaryFolder temporary;
    PTYShellLauncher launcher(testAccount(temporary.path, "/nonexistent/login-shell"),
                              testEnvironment());
    ShellRequest request;
    request.folder = temporary.path;
    auto recorder = Recorder::make();
    try {
        launcher.launch(request, recorder->events());
        ADD_FAILURE() << "launch succeeded";
    } catch (const ShellLaunchError& error) {
        EXPECT_EQ(error.description,
                  "Couldn\u2019t start /nonexistent/login-shell: No such file or directory");
    }
    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    EXPECT_FALSE(hasChildren());
}

// ---- Real shells

class RealShell : public ::testing::TestWithParam<std::string> {};

TEST_P(RealShell, NamedShellRunsOnItsTerminalWithTheRequestedSizeAndFolder) {
    TemporaryFolder temporary;
    PTYShellLauncher launcher(testAccount(temporary.path), testEnvironment());
    ShellRequest request;
    request.columns = 100;
    request.rows = 30;
    request.folder = temporary.path;
    request.shell = GetParam();
    auto recorder = Recorder::make();
    auto session = launcher.launch(request, recorder->events());

    session->write(bytes("printf '<%s|%s|%s|%s>\\n' \"$(stty size)\" \"$(pwd -P)\" \"$(tty)\" "
                         "\"$(stty -a | tr ' ;' '\\n\\n' | grep iutf8)\"\n"));
    std::string tty = linkTarget("/proc/" + std::to_string(session->pid()) + "/fd/0");
    std::string expected =
        "<30 100|" + std::filesystem::canonical(temporary.path).string() + "|" + tty + "|iutf8>";
    EXPECT_TRUE(recorder->waitForText(expected)) << recorder->text();

    auto stat = ProcessInfo::stat(session->pid());
    ASSERT_TRUE(stat);
    EXPECT_EQ(stat->session, session->pid());
    struct stat terminal {};
    ASSERT_EQ(::stat(tty.c_str(), &terminal), 0);
    EXPECT_EQ(stat->terminal, terminal.st_rdev);

    session->write(bytes("exit 5\n"));
    ASSERT_TRUE(recorder->waitForExit());
    EXPECT_EQ(recorder->exitStatuses(), std::vector<std::int32_t>{5 << 8});
}

TEST_P(RealShell, LoginShellIsStartedUnderALeadingDashName) {
    TemporaryFolder temporary;
    // zsh would otherwise greet a new user with its set-up menu.
    std::ofstream(temporary.path / ".zshrc") << "";
    PTYShellLauncher launcher(testAccount(temporary.path, GetParam()), testEnvironment());
    ShellRequest request;
    request.columns = 80;
    request.rows = 24;
    request.folder = temporary.path;
    auto recorder = Recorder::make();
    auto session = launcher.launch(request, recorder->events());

    session->write(bytes("printf '<%s>\\n' \"$0\"\n"));
    std::string name = "-" + ShellCommand::lastPathComponent(GetParam());
    EXPECT_TRUE(recorder->waitForText("<" + name + ">")) << recorder->text();
    session->close();
    ASSERT_TRUE(recorder->waitForExit());
}

INSTANTIATE_TEST_SUITE_P(Shells, RealShell, ::testing::Values("/bin/bash", "/bin/dash", "/bin/zsh"),
                         [](const auto& info) {
                             return ShellCommand::lastPathComponent(info.param);
                         });

TEST(PTYSession, WindowSizeIsClampedToOneThrough65535) {
    struct Case {
        std::int64_t columns, rows;
        std::string expected;
    };
    for (const Case& size : {Case{0, 0, "<1 1>"}, Case{-5, 100000, "<65535 1>"},
                             Case{100000, 100000, "<65535 65535>"}}) {
        auto recorder = Recorder::make();
        auto session = PTYSession::make(
            scriptCommand("/bin/sh", {"sh", "-c", "printf '<%s>' \"$(stty size)\""}), size.columns,
            size.rows, recorder->events());
        ASSERT_TRUE(recorder->waitForExit());
        EXPECT_NE(recorder->text().find(size.expected), std::string::npos) << recorder->text();
    }
}
