#include "AgentProcess.hpp"

#include "client/TerminalHelperClient.hpp"
#include "protocol/TerminalService.hpp"
#include "protocol/UUID.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <future>

namespace veltro::testing {
namespace {

const std::string label = TerminalService::agentLabel();

// Generous: the agent ends 10 seconds after its last connection, on a machine shared by many.
constexpr auto idleExitBound = 60000ms;

Bytes bytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// The commands of one shell, as a person would type them, with a marker that only the
// shell's answer (not the terminal's echo of the command) contains.
struct ShellDriver {
    std::shared_ptr<TerminalHelperClient> client;
    ClientRecorder& recorder;
    UUID id = UUID::random();

    void open(const std::string& folder, const std::string& shell = "/bin/bash") {
        auto opened = client->openShell(id, 100, 30, folder, shell, {});
        ASSERT_FALSE(opened.error) << *opened.error;
        ASSERT_GT(opened.pid, 0);
    }
    void type(const std::string& line) { client->write(id, bytes(line + "\n")); }
    bool answers(const std::string& text) {
        return eventually([&] { return recorder.saw(id, text); });
    }
    std::optional<std::int32_t> exitStatus() {
        if (!eventually([&] { return recorder.exit(id).has_value(); }))
            return std::nullopt;
        return recorder.exit(id);
    }
};

void expectServesAShell(const std::string& socketPath, const std::string& folder) {
    ClientRecorder recorder;
    auto client = TerminalHelperClient::connect(recorder.handler(), socketPath);
    ShellDriver shell{client, recorder};
    shell.open(folder);

    shell.type("echo sum-$((6*7))");
    EXPECT_TRUE(shell.answers("sum-42")) << recorder.output(shell.id);

    shell.type("echo job-$(env | grep -cE "
               "'^(LISTEN_[A-Z]+|XPC_SERVICE_NAME|JOURNAL_STREAM|INVOCATION_ID|NOTIFY_SOCKET)=')");
    EXPECT_TRUE(shell.answers("job-0")) << recorder.output(shell.id);

    shell.type("cd /tmp");
    EXPECT_TRUE(eventually([&] { return client->currentFolder(shell.id) == "/tmp"; }));

    shell.type("sleep 4");
    EXPECT_TRUE(eventually([&] {
        auto busy = client->isBusy(shell.id);
        return busy.busy && busy.name == "sleep";
    }));
    EXPECT_TRUE(eventually([&] { return !client->isBusy(shell.id).busy; }));

    shell.type("exit 3");
    auto status = shell.exitStatus();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 3);
    client->disconnect();
}

void expectEndsForIdleness(AgentProcess& agent, const std::string& log) {
    auto status = agent.waitForExit(idleExitBound);
    ASSERT_TRUE(status) << "the agent did not end for idleness; its log:\n" << readFile(log);
    EXPECT_TRUE(WIFEXITED(*status)) << readFile(log);
    EXPECT_EQ(WEXITSTATUS(*status), 0) << readFile(log);
}

TEST(AgentEndToEnd, AgentBindsItsSocketServesAShellAndEndsForIdlenessRemovingTheSocket) {
    TemporaryFolder runtime;
    std::string socketPath = runtime.path() + "/" + TerminalService::machServiceName();
    std::string log = runtime.path() + "/agent.log";
    AgentProcess agent({.environment = {{"XDG_RUNTIME_DIR", runtime.path()},
                                        {"JOURNAL_STREAM", "8:12345"},
                                        {"INVOCATION_ID", "0123456789abcdef"}},
                        .logPath = log});
    ASSERT_TRUE(eventually([&] { return someoneListens(socketPath); })) << readFile(log);
    struct stat info {};
    ASSERT_EQ(::stat(socketPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A second agent finds the first listening, says so and leaves it alone.
    std::string secondLog = runtime.path() + "/second.log";
    AgentProcess second(
        {.environment = {{"XDG_RUNTIME_DIR", runtime.path()}}, .logPath = secondLog});
    auto secondStatus = second.waitForExit(20000ms);
    ASSERT_TRUE(secondStatus);
    EXPECT_TRUE(WIFEXITED(*secondStatus) && WEXITSTATUS(*secondStatus) == 0);
    EXPECT_NE(readFile(secondLog).find("already listening"), std::string::npos);

    expectServesAShell(socketPath, runtime.path());
    expectEndsForIdleness(agent, log);
    EXPECT_NE(::access(socketPath.c_str(), F_OK), 0) << "the agent left its socket file behind";
}

TEST(AgentEndToEnd, RuntimeFolderOpenToOthersIsRefusedWithStatusOne) {
    TemporaryFolder runtime(0755);
    std::string log = runtime.path() + "/agent.log";
    AgentProcess agent({.environment = {{"XDG_RUNTIME_DIR", runtime.path()}}, .logPath = log});
    auto status = agent.waitForExit(20000ms);
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status));
    EXPECT_EQ(WEXITSTATUS(*status), 1);
    EXPECT_NE(readFile(log).find(runtime.path()), std::string::npos) << readFile(log);
}

// Started by the service manager: the socket comes ready-made on descriptor 3 and the job's
// label in XPC_SERVICE_NAME selects agent mode without "--agent". A client that connects after
// the agent has ended waits in the socket and is served by the next agent.
TEST(AgentEndToEnd, SocketHandedOverBySystemdIsServedKeptAndWaitsForTheNextAgent) {
    TemporaryFolder runtime;
    std::string socketPath = runtime.path() + "/handed-over.sock";
    std::string log = runtime.path() + "/agent.log";
    FileDescriptor socket = listeningSocketAt(socketPath);
    std::map<std::string, std::string> job{{"XDG_RUNTIME_DIR", runtime.path()},
                                           {"XPC_SERVICE_NAME", label},
                                           {"JOURNAL_STREAM", "8:12345"},
                                           {"NOTIFY_SOCKET", runtime.path() + "/notify"},
                                           {"LISTEN_FDNAMES", "agent"}};
    {
        AgentProcess agent(
            {.arguments = {}, .environment = job, .listeningSocket = socket.get(), .logPath = log});
        expectServesAShell(socketPath, runtime.path());
        expectEndsForIdleness(agent, log);
    }
    EXPECT_EQ(::access(socketPath.c_str(), F_OK), 0) << "systemd's socket file was removed";

    ClientRecorder recorder;
    auto waiting = std::async(std::launch::async, [&] {
        return TerminalHelperClient::connect(recorder.handler(), socketPath);
    });
    EXPECT_EQ(waiting.wait_for(500ms), std::future_status::timeout);
    AgentProcess next(
        {.arguments = {}, .environment = job, .listeningSocket = socket.get(), .logPath = log});
    ASSERT_EQ(waiting.wait_for(20000ms), std::future_status::ready) << readFile(log);
    auto client = waiting.get();
    EXPECT_EQ(client->agentVersion(), 1);
    client->disconnect();
    expectEndsForIdleness(next, log);
}

// The service manager's stop sends SIGTERM to the agent alone (KillMode=process): every shell
// must go the way the end of its connection would take it, jobs it left running included.
TEST(AgentEndToEnd, TerminationSignalClosesEveryShellAndLeavesNoProcessBehind) {
    TemporaryFolder runtime;
    std::string socketPath = runtime.path() + "/" + TerminalService::machServiceName();
    std::string log = runtime.path() + "/agent.log";
    AgentProcess agent({.environment = {{"XDG_RUNTIME_DIR", runtime.path()}}, .logPath = log});
    ASSERT_TRUE(eventually([&] { return someoneListens(socketPath); })) << readFile(log);
    ClientRecorder recorder;
    auto client = TerminalHelperClient::connect(recorder.handler(), socketPath);
    ShellDriver shell{client, recorder};
    shell.open("/", "/bin/sh");
    shell.type("sleep 300 & echo job-$!-$((40+2))");
    // The answer, not the echo of the command: "job-" and digits, then "-42".
    auto jobOf = [](const std::string& text) -> pid_t {
        for (auto end = text.find("-42"); end != std::string::npos;
             end = text.find("-42", end + 1)) {
            auto start = text.rfind("job-", end);
            std::string digits =
                start == std::string::npos ? "" : text.substr(start + 4, end - start - 4);
            if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos)
                return std::stoi(digits);
        }
        return 0;
    };
    pid_t job = 0;
    ASSERT_TRUE(eventually([&] { return (job = jobOf(recorder.output(shell.id))) > 0; }))
        << recorder.output(shell.id);

    ASSERT_EQ(::kill(agent.pid(), SIGTERM), 0);
    auto status = agent.waitForExit(20000ms);
    ASSERT_TRUE(status) << readFile(log);
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGTERM) << *status;
    EXPECT_TRUE(eventually([&] { return recorder.disconnectCount() == 1; }));
    auto gone = [](pid_t pid) {
        std::string state = readFile("/proc/" + std::to_string(pid) + "/stat");
        return state.empty() || state.find(") Z") != std::string::npos;
    };
    EXPECT_TRUE(gone(job)) << "the shell's job " << job << " outlived the agent";
    EXPECT_NE(::access(socketPath.c_str(), F_OK), 0);
}

TEST(AgentEndToEnd, HelpAndVersionOfBothProgramsSayOnlyThat) {
    struct Case {
        std::string program;
        std::string argument;
        std::string begins;
    };
    for (const Case& c : {Case{VELTRO_HELPER_PATH, "--help", "Usage: veltro-terminal-helper"},
                          Case{VELTRO_HELPER_PATH, "--version", "veltro-terminal-helper 1."},
                          Case{VELTRO_TERMINAL_PATH, "--help", "Usage: veltro-terminal"},
                          Case{VELTRO_TERMINAL_PATH, "--version", "veltro-terminal 1."}}) {
        TemporaryFolder home;
        std::string command = "env HOME=" + home.path() + " XDG_CONFIG_HOME=" + home.path() +
                              " XDG_RUNTIME_DIR=" + home.path() + " " + c.program + " " +
                              c.argument + " 2>" + home.path() + "/stderr";
        FILE* output = ::popen(command.c_str(), "r");
        ASSERT_NE(output, nullptr);
        std::string text;
        for (int ch; (ch = std::fgetc(output)) != EOF;)
            text.push_back(static_cast<char>(ch));
        int status = ::pclose(output);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << command;
        EXPECT_EQ(text.rfind(c.begins, 0), 0u) << text;
        EXPECT_EQ(readFile(home.path() + "/stderr"), "") << command;
        // Nothing registered, no socket: the folder holds only what the test put there.
        auto entries = std::distance(std::filesystem::directory_iterator(home.path()), {});
        EXPECT_EQ(entries, 1) << command;
    }
}

} // namespace
} // namespace veltro::testing
