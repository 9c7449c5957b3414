#include "AgentProcess.hpp"

#include "client/TerminalHelperClient.hpp"
#include "protocol/TerminalService.hpp"
#include "protocol/UUID.hpp"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
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
    Recorder& recorder;
    UUID id = UUID::random();

    void open(const std::string& folder) {
        auto opened = client->openShell(id, 100, 30, folder, "/bin/bash", {});
        ASSERT_FALSE(opened.error) << *opened.error;
        ASSERT_GT(opened.pid, 0);
    }
    void type(const std::string& line) { client->write(id, bytes(line + "\n")); }
};

void expectServesAShell(const std::string& socketPath, const std::string& folder) {
    Recorder recorder;
    auto client = TerminalHelperClient::connect(recorder.handler(), socketPath);
    ShellDriver shell{client, recorder};
    shell.open(folder);

    shell.type("echo sum-$((6*7))");
    EXPECT_TRUE(recorder.waitForOutput("sum-42")) << recorder.output();

    shell.type("echo job-$(env | grep -cE "
               "'^(LISTEN_[A-Z]+|XPC_SERVICE_NAME|JOURNAL_STREAM|INVOCATION_ID|NOTIFY_SOCKET)=')");
    EXPECT_TRUE(recorder.waitForOutput("job-0")) << recorder.output();

    shell.type("cd /tmp");
    EXPECT_TRUE(eventually([&] { return client->currentFolder(shell.id) == "/tmp"; }));

    shell.type("sleep 4");
    EXPECT_TRUE(eventually([&] {
        auto busy = client->isBusy(shell.id);
        return busy.busy && busy.name == "sleep";
    }));
    EXPECT_TRUE(eventually([&] { return !client->isBusy(shell.id).busy; }));

    shell.type("exit 3");
    auto status = recorder.waitForExit();
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

    Recorder recorder;
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

// [2, "identify", [veltroBundleID]] and [0, 1, "hello", [1]] in MessagePack: what a client
// application says first.
std::string openingMessages() {
    std::string identifier = TerminalService::veltroBundleID();
    std::string message = "\x93\x02\xa8identify\x91";
    message += static_cast<char>(0xa0 | identifier.size());
    message += identifier;
    message += std::string("\x94\x00\x01\xa5hello\x91\x01", 11);
    return message;
}

// The peer of another user, in a forked child of this multi-threaded process: it makes system
// calls directly (a closed connection must not raise SIGPIPE), without allocating or going through
// the wrappers that sanitizers intercept. Exit status 0: the agent closed the connection without a
// word; 1: it answered; 2: no setuid; 3: no connect.
[[noreturn]] void runForeignPeer(const sockaddr_un& address, const std::string& message) {
    if (::syscall(SYS_setresgid, 65534, 65534, 65534) != 0 ||
        ::syscall(SYS_setresuid, 65534, 65534, 65534) != 0)
        ::syscall(SYS_exit_group, 2);
    long fd = ::syscall(SYS_socket, AF_UNIX, SOCK_STREAM, 0);
    if (::syscall(SYS_connect, fd, &address, sizeof address) != 0)
        ::syscall(SYS_exit_group, 3);
    ::syscall(SYS_sendto, fd, message.data(), message.size(), MSG_NOSIGNAL, nullptr, 0);
    pollfd entry{static_cast<int>(fd), POLLIN, 0};
    timespec timeout{20, 0};
    if (::syscall(SYS_ppoll, &entry, 1, &timeout, nullptr, 0) <= 0)
        ::syscall(SYS_exit_group, 1);
    char buffer[64];
    long count = ::syscall(SYS_read, fd, buffer, sizeof buffer);
    ::syscall(SYS_exit_group, count <= 0 ? 0 : 1);
    __builtin_unreachable();
}

TEST(AgentEndToEnd, PeersOfAnotherUserOrWithAnotherIdentifierAreRefused) {
    TemporaryFolder runtime(0711);
    std::string socketPath = runtime.path() + "/open.sock";
    std::string log = runtime.path() + "/agent.log";
    FileDescriptor socket = listeningSocketAt(socketPath, 0666);
    AgentProcess agent({.arguments = {"--agent"},
                        .environment = {{"XDG_RUNTIME_DIR", runtime.path()}},
                        .listeningSocket = socket.get(),
                        .logPath = log});

    EXPECT_ANY_THROW({
        Recorder recorder;
        auto client =
            TerminalHelperClient::connect(recorder.handler(), socketPath, "com.example.intruder");
        // Should the library not notice at once, the agent still ends the connection.
        EXPECT_TRUE(eventually([&] { return recorder.disconnected(); }));
        client->openShell(UUID::random(), 80, 24, "/", std::nullopt, {});
    });

    if (::geteuid() != 0) {
        GTEST_LOG_(INFO) << "not root: the other-user peer is not tried";
    } else {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
        std::string message = openingMessages();
        pid_t child = ::fork();
        if (child == 0)
            runForeignPeer(address, message);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status)) << "the peer died of signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0) << "2: no setuid, 3: no connect, 1: it was answered";
    }

    // The agent itself is unharmed and still serves its own user.
    Recorder recorder;
    auto client = TerminalHelperClient::connect(recorder.handler(), socketPath);
    EXPECT_EQ(client->hello(1), 1);
    client->disconnect();
    expectEndsForIdleness(agent, log);
}

} // namespace
} // namespace veltro::testing
