#include "ipc/ConnectionTestSupport.hpp"
#include "support/AgentProcess.hpp"
#include "support/SSHServer.hpp"

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

// A value of a "Name: value" or "name value" file under /proc, or -1.
long procField(pid_t pid, const std::string& file, const std::string& name) {
    std::ifstream lines("/proc/" + std::to_string(pid) + "/" + file);
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with(name))
            return std::atol(line.c_str() + name.size());
    return -1;
}

// This build's proxy for the runtime folder `runtime`, run through ssh on the test's server as a
// client on another machine runs it: ssh's standard input and output are one socket, whose
// other end speaks the raw protocol here. ssh's errors go to ssh.log and the proxy's pid (the
// shell's, since both exec in its place) to proxy.pid, both in `runtime`.
struct RemoteClient {
    RemoteClient(const SSHServer& server, const std::string& runtime)
        : runtime(runtime), peer(startSSH(server)) {}

    std::string runtime;
    SpawnedProcess ssh;
    RawPeer peer;
    UUID id = UUID::random();

    std::string errors() const { return readFile(runtime + "/ssh.log"); }
    pid_t proxy() const { return std::atoi(readFile(runtime + "/proxy.pid").c_str()); }

    FileDescriptor startSSH(const SSHServer& server) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("cannot make a socket pair for ssh");
        FileDescriptor theirs(ends[1]);
        FileDescriptor errors(::open((runtime + "/ssh.log").c_str(),
                                     O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        ssh = SpawnedProcess(server.command("exec /bin/sh -c 'echo $$ >" + runtime +
                                            "/proxy.pid; exec env XDG_RUNTIME_DIR=" + runtime +
                                            " " VELTRO_HELPER_PATH " --proxy'"),
                             theirs.get(), theirs.get(), errors.get());
        return FileDescriptor(ends[0]);
    }
    // Says hello and opens a shell; answers its pid, or -1.
    pid_t openShell() {
        peer.identify();
        peer.send(encodeRequest(1, "hello", TerminalService::protocolVersion));
        auto hello = peer.receive();
        if (!hello || (*hello)[3].as<std::int64_t>() != TerminalService::protocolVersion)
            return -1;
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
    RemoteClient client(server, runtime.path());
    ASSERT_GT(client.openShell(), 0) << client.errors() << readFile(server.log());
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
    EXPECT_EQ(client.ssh.exitCode(), 0) << client.errors();
    EXPECT_EQ(client.errors(), "");
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
        RemoteClient client(server, runtime);
        EXPECT_EQ(client.ssh.exitCode(), 1) << client.errors();
        std::string errors = client.errors();
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
    RemoteClient client(server, runtime.folder.path());
    pid_t shell = client.openShell();
    ASSERT_GT(shell, 0) << client.errors();
    // Against its own start, as a sanitizer's shadow memory makes the whole figure far larger.
    long startKiB = procField(client.proxy(), "status", "VmRSS:");
    ASSERT_GT(startKiB, 0);
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
    long grownKiB = procField(client.proxy(), "status", "VmRSS:") - startKiB;
    EXPECT_LT(grownKiB, 2 * 1024) << "the proxy holds more than its two 256 KiB buffers";

    // The agent ends: what it sent still arrives, then the end, and the proxy ends with 0.
    agent.signal(SIGTERM);
    while (client.peer.receive())
        ;
    EXPECT_EQ(client.ssh.exitCode(), 0) << client.errors();
    EXPECT_TRUE(agent.waitForExit()) << readFile(runtime.log);
}

} // namespace
} // namespace veltro::testing
