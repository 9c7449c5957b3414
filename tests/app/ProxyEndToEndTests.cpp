#include "ipc/ConnectionTestSupport.hpp"
#include "support/AgentProcess.hpp"
#include "support/Eventually.hpp"
#include "support/SSHServer.hpp"
#include "support/TemporaryFolder.hpp"

#include "protocol/TerminalInterfaces.hpp"
#include "protocol/TerminalService.hpp"
#include "protocol/UUID.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <csignal>
#include <fstream>
#include <thread>

namespace veltro::testing {
namespace {

using namespace std::chrono_literals;
using ipctest::RawPeer;

// What ssh runs on the server: this build's proxy for the runtime folder, its pid written to
// `pidFile` first (the shell's pid is the proxy's, since both exec in its place).
std::string proxyCommand(const std::string& runtime, const std::string& pidFile = "/dev/null") {
    return "exec /bin/sh -c 'echo $$ >" + pidFile + "; exec env XDG_RUNTIME_DIR=" + runtime +
           " " VELTRO_HELPER_PATH " --proxy'";
}

// A value of a "Name: value" or "name value" file under /proc, or -1.
long procField(pid_t pid, const std::string& file, const std::string& name) {
    std::ifstream lines("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(name))
            return std::atol(line.c_str() + name.size());
    return -1;
}

// ssh running `remoteCommand` on the test's server, its standard input and output one socket
// whose other end speaks the raw protocol as a client on another machine does, its errors
// appended to `log`.
struct RemoteClient {
    RemoteClient(const SSHServer& server, const std::string& remoteCommand, const std::string& log)
        : peer(startSSH(server.command(remoteCommand), log)) {}

    SpawnedProcess ssh;
    RawPeer peer;
    UUID id = UUID::random();

    FileDescriptor startSSH(const std::vector<std::string>& command, const std::string& log) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("cannot make a socket pair for ssh");
        FileDescriptor theirs(ends[1]);
        FileDescriptor errors(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        ssh = SpawnedProcess(command, theirs.get(), theirs.get(), errors.get());
        return FileDescriptor(ends[0]);
    }
    bool greet() {
        peer.identify();
        peer.send(encodeRequest(1, "hello", TerminalService::protocolVersion));
        auto answer = peer.receive();
        return answer && (*answer)[3].as<std::int64_t>() == TerminalService::protocolVersion;
    }
    pid_t openShell() {
        peer.send(encodeRequest(2, "openShell", id, std::int64_t{80}, std::int64_t{24}, "/",
                                std::optional<std::string>("/bin/sh"), Environment{}));
        auto answer = peer.receive();
        return answer ? (*answer)[3].via.array.ptr[0].as<pid_t>() : -1;
    }
    void type(const std::string& text) {
        peer.send(encodeNotification(
            "write", id,
            ByteView(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())));
    }
    // The shell's output until it exits, and its wait status; nothing if the connection ends.
    std::optional<int> outputUntilExit(std::string& output) {
        while (auto message = peer.receive()) {
            std::string method = (*message)[1].as<std::string>();
            const msgpack::object& params = (*message)[2];
            if (method == "output")
                output.append(params.via.array.ptr[1].via.bin.ptr,
                              params.via.array.ptr[1].via.bin.size);
            if (method == "exited")
                return params.via.array.ptr[1].as<int>();
        }
        return std::nullopt;
    }
};

TEST(ProxyEndToEnd, StartsTheAgentCarriesAShellAndEndsWithZeroWhenTheAgentClosesAfterInputEnds) {
    SSHServer server;
    TemporaryFolder runtime;
    std::string log = runtime / "ssh.log";
    RemoteClient client(server, proxyCommand(runtime.path()), log);
    ASSERT_TRUE(client.greet()) << readFile(log) << readFile(server.log());
    ASSERT_GT(client.openShell(), 0);
    // The agent outlives this ssh connection: its shells must not think they run under it.
    client.type("echo sum-$((6*7)) ssh-${SSH_CONNECTION:-none}\nexit 3\n");
    std::string output;
    auto status = client.outputUntilExit(output);
    EXPECT_NE(output.find("sum-42 ssh-none"), std::string::npos) << output;
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 3) << *status;

    // The client is done: the proxy passes the end of its input on, and the agent closes.
    ASSERT_EQ(::shutdown(client.peer.fd(), SHUT_WR), 0);
    EXPECT_FALSE(client.peer.receive());
    EXPECT_EQ(client.ssh.exitCode(), 0) << readFile(log);
    EXPECT_EQ(readFile(log), "");
}

TEST(ProxyEndToEnd, AnUnsafeRuntimeFolderOrAnAgentThatCannotStartIsOneLineAndStatusOne) {
    SSHServer server;
    TemporaryFolder open(0755);
    // A file that is not a socket where the socket belongs: connecting is refused, and the
    // agent the proxy starts cannot bind.
    TemporaryFolder occupied;
    std::ofstream(occupied / TerminalService::socketName()) << "not a socket";
    for (auto [runtime, reason] : {std::pair{open.path(), "group or others may access it"},
                                   std::pair{occupied.path(), "--agent exited with status 1"}}) {
        std::string log = occupied / "ssh.log";
        std::filesystem::remove(log);
        RemoteClient client(server, proxyCommand(runtime), log);
        EXPECT_EQ(client.ssh.exitCode(), 1) << readFile(log);
        std::string errors = readFile(log);
        EXPECT_EQ(std::ranges::count(errors, '\n'), 1) << errors;
        EXPECT_NE(errors.find(runtime), std::string::npos) << errors;
        EXPECT_NE(errors.find(reason), std::string::npos) << errors;
    }
}

// The agent's flow control must reach through the proxy and ssh: a client that stops reading
// stops the shell, and the proxy holds no more than its buffers meanwhile.
TEST(ProxyEndToEnd, AClientThatStopsReadingHoldsAFloodingShellAndTheProxyStaysSmall) {
    SSHServer server;
    Runtime runtime;
    AgentProcess agent(runtime.log, {{"XDG_RUNTIME_DIR", runtime.folder.path()}});
    ASSERT_TRUE(runtime.listening()) << readFile(runtime.log);
    std::string log = runtime.folder / "ssh.log";
    std::string pidFile = runtime.folder / "proxy.pid";
    RemoteClient client(server, proxyCommand(runtime.folder.path(), pidFile), log);
    ASSERT_TRUE(client.greet()) << readFile(log);
    pid_t proxy = std::atoi(readFile(pidFile).c_str());
    // Against its own start, as a sanitizer's shadow memory makes the whole figure far larger.
    long startKiB = procField(proxy, "status", "VmRSS:");
    ASSERT_GT(startKiB, 0);
    pid_t shell = client.openShell();
    ASSERT_GT(shell, 0);
    client.type("exec yes flood\n");

    // Nothing is read from here on. The shell stops once everything on the way is full.
    auto written = [&] { return procField(shell, "io", "wchar:"); };
    ASSERT_TRUE(eventually([&] {
        if (readFile("/proc/" + std::to_string(shell) + "/comm") != "yes\n")
            return false;
        long before = written();
        std::this_thread::sleep_for(300ms);
        return before > 0 && written() == before;
    })) << "the shell went on writing to a client that reads nothing";
    // What the shell wrote all waits somewhere between it and the client: the agent's four
    // chunks, the proxy's buffer, ssh's channel windows and the socket buffers on the way.
    EXPECT_LT(written(), 32l << 20);
    long grownKiB = procField(proxy, "status", "VmRSS:") - startKiB;
    EXPECT_LT(grownKiB, 2 * 1024) << "the proxy holds more than its two 256 KiB buffers";

    // The agent ends: what it sent still arrives, then the end, and the proxy ends with 0.
    agent.signal(SIGTERM);
    while (client.peer.receive())
        ;
    EXPECT_EQ(client.ssh.exitCode(), 0) << readFile(log);
    EXPECT_TRUE(agent.waitForExit()) << readFile(runtime.log);
}

} // namespace
} // namespace veltro::testing
