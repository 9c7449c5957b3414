#include "support/AgentProcess.hpp"
#include "support/ClientRecorder.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

#include "client/TerminalHelperClient.hpp"
#include "ipc/Listener.hpp"
#include "platform/EventLoop.hpp"
#include "platform/FileDescriptor.hpp"
#include "protocol/TerminalService.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>

namespace veltro::testing {
namespace {

using namespace std::chrono_literals;
using ipc::FileIdentity;

void expectLeftAsAnotherAgentIsThere(AgentProcess& agent, const std::string& log) {
    EXPECT_EQ(agent.exitCode(), 0) << readFile(log);
    EXPECT_NE(readFile(log).find("another agent is already listening"), std::string::npos)
        << readFile(log);
}

// One shell of `client`, typed into as a person would, with markers that only the shell's
// answer (not the terminal's echo of the command) contains.
struct Shell {
    std::shared_ptr<TerminalHelperClient> client;
    ClientRecorder& recorder;
    UUID id = UUID::random();

    void open(const std::string& shell = "/bin/bash") {
        auto opened = client->openShell(id, 100, 30, "/", shell, {});
        ASSERT_FALSE(opened.error) << *opened.error;
        ASSERT_GT(opened.pid, 0);
    }
    void type(const std::string& text) { client->write(id, Bytes(text.begin(), text.end())); }
    bool answers(const std::string& text) {
        return eventually([&] { return recorder.saw(id, text); });
    }
};

void expectServesAShell(const std::string& socketPath) {
    EventLoop loop;
    ClientRecorder recorder;
    Shell shell{TerminalHelperClient::connect(loop, recorder.handler(), socketPath), recorder};
    shell.open();
    // The service manager's variables are the agent's, not its shells'.
    shell.type(
        "echo sum-$((6*7)) job-$(env | grep -cE "
        "'^(LISTEN_[A-Z]+|XPC_SERVICE_NAME|JOURNAL_STREAM|INVOCATION_ID|NOTIFY_SOCKET)=')\n");
    EXPECT_TRUE(shell.answers("sum-42 job-0")) << recorder.output(shell.id);
    // The agent ignores signals that would otherwise end it; its shells' programs must not. Of
    // the standard signals only (the low 31 bits of the mask): the C library's spawn leaves its
    // own internal ones ignored. The line is printed only when none is ignored.
    shell.type("sed -n 's/^SigIgn:\\s*[0-9a-f]\\{8\\}[08]0\\{7\\}$/none-ignored-&/p' "
               "/proc/self/status\n");
    EXPECT_TRUE(shell.answers("none-ignored-SigIgn")) << recorder.output(shell.id);

    shell.type("cd /tmp\n");
    EXPECT_TRUE(eventually([&] { return shell.client->currentFolder(shell.id) == "/tmp"; }));

    // ^C reaches the foreground job: the agent blocks the ending signals, its shells must not.
    shell.type("sleep 300\n");
    EXPECT_TRUE(eventually([&] { return shell.client->isBusy(shell.id).name == "sleep"; }));
    shell.type("\x03");
    EXPECT_TRUE(eventually([&] { return !shell.client->isBusy(shell.id).busy; }));

    shell.type("exit 3\n");
    ASSERT_TRUE(eventually([&] { return recorder.exit(shell.id).has_value(); }));
    EXPECT_TRUE(WIFEXITED(*recorder.exit(shell.id)) && WEXITSTATUS(*recorder.exit(shell.id)) == 3);
    shell.client->disconnect();
}

// The service manager's stop sends SIGTERM to the agent alone (KillMode=process): every shell
// must go the way the end of its connection would take it, jobs it left running included.
void expectTerminationLeavesNoProcess(AgentProcess& agent, const std::string& socketPath) {
    EventLoop loop;
    ClientRecorder recorder;
    Shell shell{TerminalHelperClient::connect(loop, recorder.handler(), socketPath), recorder};
    shell.open("/bin/sh");
    shell.type("sleep 300 & echo job-$!-$((40+2))-\n");
    pid_t job = 0;
    ASSERT_TRUE(eventually([&] {
        std::string output = recorder.output(shell.id);
        auto end = output.find("-42-");
        auto start = output.rfind("job-", end);
        return end != std::string::npos && (job = std::atoi(&output[start + 4])) > 0;
    })) << recorder.output(shell.id);

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    auto status = agent.waitForExit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    EXPECT_TRUE(eventually([&] { return recorder.disconnectCount() == 1; }));
    // A job that outlived the agent would sleep on far past this patience; one that was killed
    // may take a moment to leave, or stay a zombie until its new parent reaps it.
    EXPECT_TRUE(eventually([&] {
        std::string state = readFile("/proc/" + std::to_string(job) + "/stat");
        return state.empty() || state.find(") Z") != std::string::npos;
    })) << "the shell's job "
        << job << " outlived the agent";
}

TEST(AgentEndToEnd, AgentBindsAPrivateSocketServesAShellAndEndsForIdlenessRemovingTheSocket) {
    Runtime runtime;
    AgentProcess agent(runtime.log, {{"XDG_RUNTIME_DIR", runtime.folder.path()},
                                     {"JOURNAL_STREAM", "8:12345"},
                                     {"INVOCATION_ID", "0123456789abcdef"}});
    ASSERT_TRUE(runtime.listening()) << readFile(runtime.log);
    struct stat info {};
    ASSERT_EQ(::stat(runtime.socket.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A second agent finds the first listening, says so and leaves it alone.
    std::string secondLog = runtime.folder / "second.log";
    AgentProcess second(secondLog, {{"XDG_RUNTIME_DIR", runtime.folder.path()}});
    expectLeftAsAnotherAgentIsThere(second, secondLog);

    expectServesAShell(runtime.socket);
    EXPECT_EQ(agent.exitCode(), 0) << readFile(runtime.log);
    // Only the two logs and the lock kept for the next agent: no socket, nor its moved-aside name.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(runtime.folder.path()), {}), 3)
        << "the agent left its socket behind";
}

// Signals that no one should send the agent but anyone of its user can leave it serving; a
// termination signal ends it in order.
TEST(AgentEndToEnd, StraySignalsAreIgnoredATerminationSignalClosesEveryShellAndRemovesTheSocket) {
    Runtime runtime;
    AgentProcess agent(runtime.log, {{"XDG_RUNTIME_DIR", runtime.folder.path()}});
    ASSERT_TRUE(runtime.listening()) << readFile(runtime.log);
    for (int stray : {SIGUSR1, SIGUSR2, SIGALRM})
        ASSERT_EQ(::kill(agent.pid(), stray), 0);
    expectTerminationLeavesNoProcess(agent, runtime.socket);
    EXPECT_NE(::access(runtime.socket.c_str(), F_OK), 0);
}

// Agents started together beside a leftover socket file each find that nothing listens there;
// only the one that holds the lock beside the socket may replace the file. And an agent never
// takes away a socket file that it did not bind, not even when it ends for idleness.
TEST(AgentEndToEnd, OfAgentsStartedTogetherBesideALeftoverSocketOneListensAndTouchesNoOtherFile) {
    Runtime runtime;
    Environment job{{"XDG_RUNTIME_DIR", runtime.folder.path()}};
    // A socket file that nothing listens on, as an agent killed outright leaves it.
    ASSERT_TRUE(ipc::bindListeningSocket(runtime.socket));
    FileIdentity stale = FileIdentity::of(runtime.socket);
    {
        // An agent in the middle of binding holds the lock: the leftover is its to replace.
        FileDescriptor lock(
            ::open((runtime.socket + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
        ASSERT_EQ(::flock(lock.get(), LOCK_EX | LOCK_NB), 0);
        AgentProcess agent(runtime.log, job);
        expectLeftAsAnotherAgentIsThere(agent, runtime.log);
        EXPECT_TRUE(FileIdentity::of(runtime.socket).sameAs(stale));
    }

    std::vector<std::string> logs;
    std::vector<std::unique_ptr<AgentProcess>> agents;
    for (int index = 0; index < 6; ++index) {
        logs.push_back(runtime.folder / ("agent-" + std::to_string(index) + ".log"));
        agents.push_back(std::make_unique<AgentProcess>(logs.back(), job));
    }
    auto running = [&] {
        return std::ranges::count_if(agents, [](auto& agent) { return !agent->waitForExit(0s); });
    };
    ASSERT_TRUE(eventually([&] { return running() == 1; })) << running() << " agents run";
    std::size_t winner = 0;
    for (std::size_t index = 0; index < agents.size(); ++index) {
        if (agents[index]->waitForExit(0s))
            expectLeftAsAnotherAgentIsThere(*agents[index], logs[index]);
        else
            winner = index;
    }
    ASSERT_TRUE(runtime.listening()) << readFile(logs[winner]);
    EventLoop loop;
    ClientRecorder recorder;
    EXPECT_EQ(
        TerminalHelperClient::connect(loop, recorder.handler(), runtime.socket)->agentVersion(),
        TerminalService::protocolVersion);

    // Something that takes no lock replaces the file under the agent, which then ends idle.
    ::unlink(runtime.socket.c_str());
    FileDescriptor newcomer = ipc::bindListeningSocket(runtime.socket);
    FileIdentity replaced = FileIdentity::of(runtime.socket);
    EXPECT_EQ(agents[winner]->exitCode(), 0) << readFile(logs[winner]);
    EXPECT_TRUE(FileIdentity::of(runtime.socket).sameAs(replaced))
        << "the agent removed a socket file it did not bind";
    EXPECT_FALSE(std::filesystem::exists(runtime.socket + ".ending"));
}

TEST(AgentEndToEnd, RuntimeFolderOpenToOthersIsRefusedWithStatusOne) {
    TemporaryFolder runtime(0755);
    std::string log = runtime / "agent.log";
    AgentProcess agent(log, {{"XDG_RUNTIME_DIR", runtime.path()}});
    EXPECT_EQ(agent.exitCode(), 1);
    EXPECT_NE(readFile(log).find(runtime.path()), std::string::npos) << readFile(log);
}

// Started by the service manager: the socket comes on descriptor 3 and XPC_SERVICE_NAME selects
// agent mode. The socket is systemd's and outlives every agent: a client that connects after
// one has ended waits in it for the next.
TEST(AgentEndToEnd, SocketHandedOverBySystemdIsServedKeptAndWaitsForTheNextAgent) {
    Runtime runtime;
    runtime.socket = runtime.folder / "handed-over.sock";
    // Bound and listening as systemd's socket unit makes it.
    FileDescriptor socket = ipc::bindListeningSocket(runtime.socket);
    Environment job{{"XDG_RUNTIME_DIR", runtime.folder.path()},
                    {"XPC_SERVICE_NAME", TerminalService::agentLabel()},
                    {"JOURNAL_STREAM", "8:12345"},
                    {"NOTIFY_SOCKET", runtime.folder / "notify"},
                    {"LISTEN_FDNAMES", "agent"}};
    {
        AgentProcess agent(runtime.log, job, socket.get(), {});
        expectServesAShell(runtime.socket);
        EXPECT_EQ(agent.exitCode(), 0) << readFile(runtime.log);
    }
    EXPECT_EQ(::access(runtime.socket.c_str(), F_OK), 0) << "systemd's socket file was removed";

    EventLoop loop;
    ClientRecorder recorder;
    auto waiting = std::async(std::launch::async, [&] {
        return TerminalHelperClient::connect(loop, recorder.handler(), runtime.socket);
    });
    EXPECT_EQ(waiting.wait_for(500ms), std::future_status::timeout);
    AgentProcess next(runtime.log, job, socket.get(), {});
    ASSERT_EQ(waiting.wait_for(20s), std::future_status::ready) << readFile(runtime.log);
    EXPECT_EQ(waiting.get()->agentVersion(), TerminalService::protocolVersion);
    expectTerminationLeavesNoProcess(next, runtime.socket);
    EXPECT_EQ(::access(runtime.socket.c_str(), F_OK), 0) << "systemd's socket file was removed";
}

std::string capture(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    for (int ch; pipe && (ch = std::fgetc(pipe)) != EOF;)
        output.push_back(static_cast<char>(ch));
    if (pipe)
        ::pclose(pipe);
    return output;
}

// None of these registers anything or opens a socket (the helper without arguments only says
// how it is loaded on Linux); a missing helper is said plainly, with how to start one.
TEST(ProgramsEndToEnd, HelpNoArgumentsAndAMissingHelperAreAnsweredWithoutSideEffects) {
    for (auto [program, argument, printed, ending] : {
             std::tuple{VELTRO_HELPER_PATH, "--help", "Usage: veltro-terminal-helper",
                        "\nstatus-0\n"},
             std::tuple{VELTRO_TERMINAL_PATH, "--help", "Usage: veltro-terminal", "\nstatus-0\n"},
             std::tuple{VELTRO_TERMINAL_PATH, "", "veltro-terminal: no terminal helper",
                        " --agent\nstatus-1\n"},
             std::tuple{VELTRO_HELPER_PATH, "", "Veltro Terminal Helper: signed without a team",
                        "make local again.\nstatus-0\n"},
         }) {
        TemporaryFolder home;
        std::string command = "cd " + home.path() + "; env HOME=. XDG_CONFIG_HOME=. " +
                              "XDG_RUNTIME_DIR=" + home.path() + " " + program + " " + argument +
                              " </dev/null 2>&1; echo status-$?";
        std::string output = capture(command);
        EXPECT_EQ(output.rfind(printed, 0), 0u) << output;
        EXPECT_TRUE(output.ends_with(ending)) << output;
        EXPECT_TRUE(std::filesystem::is_empty(home.path())) << command;
    }
}

// One private tmux server whose only window plays the person's terminal.
class Tmux {
public:
    explicit Tmux(std::string socket) : socket(std::move(socket)) {}
    ~Tmux() { run("kill-server"); }

    int run(const std::string& arguments) {
        return std::system(("tmux -S '" + socket + "' " + arguments + " >/dev/null 2>&1").c_str());
    }
    std::string screen() {
        return capture("tmux -S '" + socket + "' capture-pane -p -t main 2>/dev/null");
    }
    bool waitFor(const std::string& text) {
        return eventually([&] { return screen().find(text) != std::string::npos; }, 20s);
    }
    void type(const std::string& keys) {
        run("send-keys -t main -l '" + keys + "'");
        run("send-keys -t main Enter");
    }

private:
    std::string socket;
};

TEST(TerminalCommand, RunsAShellInTheTerminalFollowsResizesAndExitsWithTheShellsCode) {
    if (std::system("tmux -V >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "tmux is not installed";
    Runtime runtime;
    AgentProcess agent(runtime.log, {{"XDG_RUNTIME_DIR", runtime.folder.path()}});
    ASSERT_TRUE(runtime.listening()) << readFile(runtime.log);

    Tmux tmux(runtime.folder / "tmux.sock");
    std::string command =
        "env -u TMUX XDG_RUNTIME_DIR=" + runtime.folder.path() + " " + VELTRO_TERMINAL_PATH +
        " --shell /bin/bash --env PS1=ready: --env MARK=m-ok;"
        " echo command-ended-\\$?; echo raw-\\$(stty -a | grep -c -e -icanon); sleep 60";
    ASSERT_EQ(tmux.run("new-session -d -s main -x 100 -y 30 \"" + command + "\""), 0);
    ASSERT_TRUE(tmux.waitFor("ready:")) << tmux.screen() << readFile(runtime.log);

    tmux.type("echo out-$((3*4)) $MARK");
    EXPECT_TRUE(tmux.waitFor("out-12 m-ok")) << tmux.screen();
    tmux.type("stty size");
    EXPECT_TRUE(tmux.waitFor("30 100")) << tmux.screen();
    tmux.run("resize-window -t main -x 120 -y 40");
    tmux.type("clear; stty size");
    EXPECT_TRUE(tmux.waitFor("40 120")) << tmux.screen();

    tmux.type("exit 5");
    EXPECT_TRUE(tmux.waitFor("command-ended-5")) << tmux.screen();
    EXPECT_TRUE(tmux.waitFor("raw-0")) << "the terminal was left in raw mode:\n" << tmux.screen();
}

} // namespace
} // namespace veltro::testing
