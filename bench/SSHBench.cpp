// One agent reached two ways in the same run: straight through its socket, and as a client on
// another machine reaches it, through ssh on the loopback and `veltro-terminal-helper --proxy`
// on the far side. Output throughput, keystroke echo, and how long Ctrl-C takes to bring the
// prompt back during a flood, when everything on the way is full.

#include "Agent.hpp"
#include "Bench.hpp"
#include "Client.hpp"

#include "support/SSHServer.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veltro::bench {

namespace {

const std::string shell = "/bin/sh";
// The prompt after Ctrl-C, spelled in two quoted halves when it is set so that the terminal's
// echo of the command never contains it.
constexpr std::string_view promptMarker = "<prompt>";
const std::string promptSetting = "PS1='<pro''mpt>'\n";
// Output heard before Ctrl-C: far more than every buffer on the way holds, so they are all full.
constexpr std::size_t floodBeforeInterrupt = 32 * 1024 * 1024;

// The agent's socket as a client on another machine reaches it: a listening socket of this
// process whose one connection becomes ssh's standard input and output, with the proxy on the
// far side. The client library speaks straight into ssh, with no copy of ours in between.
class SSHRoute {
public:
    SSHRoute(const testing::SSHServer& server, const Agent& agent, const std::string& program)
        : path_(folder_ / "ssh.socket"), listening_(listeningSocket(path_)) {
        std::string runtime = std::filesystem::path(agent.socketPath()).parent_path();
        std::vector<std::string> command =
            server.command("exec env XDG_RUNTIME_DIR=" + runtime + " " + program + " --proxy");
        acceptor_ = std::thread([this, command] {
            FileDescriptor connection(::accept4(listening_.get(), nullptr, nullptr, SOCK_CLOEXEC));
            // No connection came: the route is going away unused.
            if (!connection)
                return;
            ssh_ =
                testing::SpawnedProcess(command, connection.get(), connection.get(), STDERR_FILENO);
        });
    }
    // Once the client has gone, ssh ends by itself: the proxy passes the end on, the agent
    // closes, and the proxy ends.
    ~SSHRoute() {
        // Wakes an accept still waiting; nothing is lost if there is none.
        (void)::shutdown(listening_.get(), SHUT_RDWR);
        acceptor_.join();
        if (ssh_.pid() > 0 && ssh_.exitCode() != 0)
            std::fprintf(stderr, "ssh to the proxy did not end with status 0\n");
    }
    SSHRoute(const SSHRoute&) = delete;
    SSHRoute& operator=(const SSHRoute&) = delete;

    const std::string& socketPath() const { return path_; }

private:
    static FileDescriptor listeningSocket(const std::string& path) {
        FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (!socket || path.size() >= sizeof address.sun_path)
            throw std::runtime_error("cannot make a socket at " + path);
        std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
        if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) !=
                0 ||
            ::listen(socket.get(), 1) != 0)
            throw std::runtime_error("cannot listen at " + path + ": " + std::strerror(errno));
        return socket;
    }

    testing::TemporaryFolder folder_;
    std::string path_;
    FileDescriptor listening_;
    testing::SpawnedProcess ssh_;
    std::thread acceptor_;
};

// A shell that floods until Ctrl-C, again and again, and the time from each Ctrl-C to the
// prompt, in milliseconds.
class Interrupts {
public:
    explicit Interrupts(Client& client) : client_(client), id_(client.open(shell)) {
        client_.type(id_, promptSetting);
        client_.waitUntil([](const Heard& heard) { return heard.tail.ends_with(promptMarker); });
    }
    ~Interrupts() { client_.close(id_); }
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    void measure() {
        client_.forget();
        client_.type(id_, "yes\n");
        client_.waitUntil([](const Heard& heard) { return heard.bytes >= floodBeforeInterrupt; });
        auto start = Clock::now();
        client_.type(id_, "\x03");
        client_.waitUntil([](const Heard& heard) { return heard.tail.ends_with(promptMarker); });
        times.push_back(1e3 * seconds(Clock::now() - start));
    }

    std::vector<double> times;

private:
    Client& client_;
    UUID id_;
};

} // namespace

void sshBench(const Options& options) {
    Agent agent(options.agent);
    testing::SSHServer server;
    SSHRoute route(server, agent, options.agent);
    Client direct(agent);
    Client remote(route.socketPath());
    double size = mebibytes(options.bytes);
    std::vector<double> directRates, remoteRates, directEchoes, remoteEchoes;
    Interrupts directInterrupts(direct), remoteInterrupts(remote);
    for (int round = 0; round < options.rounds; ++round) {
        directRates.push_back(size / seconds(agentBurst(agent, direct, options.bytes).elapsed));
        remoteRates.push_back(size / seconds(agentBurst(agent, remote, options.bytes).elapsed));
        for (double latency : agentEchoes(direct, options.keystrokes))
            directEchoes.push_back(latency);
        for (double latency : agentEchoes(remote, options.keystrokes))
            remoteEchoes.push_back(latency);
        directInterrupts.measure();
        remoteInterrupts.measure();
    }
    heading("one agent, straight and through ssh to 127.0.0.1 and the proxy, " +
            std::to_string(options.rounds) + " alternating rounds");
    heading("burst of " + std::to_string(options.bytes) + " bytes from `" +
            burstScript(options.bytes) + "`, median");
    figure("straight to the agent", median(directRates), "MiB/s");
    figure("through ssh and the proxy", median(remoteRates), "MiB/s");
    figure("through ssh / straight", median(remoteRates) / median(directRates), "",
           "(target >= 0.90)");
    heading("one keystroke into `" + std::string(echoScript) + "` until its echo, " +
            std::to_string(directEchoes.size()) + " per side");
    double directMedian = percentile(directEchoes, 0.5);
    double remoteMedian = percentile(remoteEchoes, 0.5);
    figure("p50 straight to the agent", directMedian, "us");
    figure("p50 through ssh and the proxy", remoteMedian, "us");
    figure("p50 through ssh - straight", remoteMedian - directMedian, "us", "(target <= 300 us)");
    figure("p99 straight to the agent", percentile(directEchoes, 0.99), "us");
    figure("p99 through ssh and the proxy", percentile(remoteEchoes, 0.99), "us");
    heading("Ctrl-C during `yes` after " + std::to_string(floodBeforeInterrupt >> 20) +
            " MiB of it, until the prompt, median");
    figure("straight to the agent", median(directInterrupts.times), "ms");
    figure("through ssh and the proxy", median(remoteInterrupts.times), "ms");
}

} // namespace veltro::bench
