// What the whole agent path costs: the round trip of an open request, and one shell's output
// burst through session, service, connection and client library, against a bare read loop on a
// pseudo-terminal of the same machine, measured in the same run.

#include "Bench.hpp"

#include "client/TerminalHelperClient.hpp"
#include "platform/FileDescriptor.hpp"
#include "service/InProcessTerminalHelper.hpp"
#include "sessions/PTYSession.hpp"
#include "sessions/PTYShellLauncher.hpp"
#include "sessions/UserAccount.hpp"

#include <fcntl.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

extern char** environ;

namespace veltro::bench {

namespace {

constexpr std::size_t burstBytes = 256 * 1024 * 1024;
constexpr int openRounds = 50;

// The same output as the bare loop's script, written by the shell the agent opened.
std::string burstScript(std::size_t bytes) {
    return "stty raw -echo; exec head -c " + std::to_string(bytes) + " /dev/zero";
}

// What the client hears: bytes of output and whether the shell has ended.
struct Received {
    std::mutex mutex;
    std::condition_variable changed;
    std::size_t bytes = 0;
    bool exited = false;

    TerminalHelperClient::Handler handler() {
        TerminalHelperClient::Handler handler;
        handler.output = [this](const UUID&, Bytes data) {
            std::lock_guard lock(mutex);
            bytes += data.size();
        };
        handler.exited = [this](const UUID&, std::int32_t) {
            {
                std::lock_guard lock(mutex);
                exited = true;
            }
            changed.notify_all();
        };
        return handler;
    }

    void reset() {
        std::lock_guard lock(mutex);
        bytes = 0;
        exited = false;
    }

    std::size_t waitForExit() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return exited; });
        return bytes;
    }
};

const std::optional<std::string> shell = std::string("/bin/sh");

// From the open request to the client's receipt of the shell's exit, after all its output.
Clock::duration serviceBurst(TerminalHelperClient& client, Received& received, std::size_t bytes) {
    received.reset();
    UUID id = UUID::random();
    auto start = Clock::now();
    auto opened = client.openShell(id, 80, 24, "/", shell, {});
    if (opened.pid <= 0)
        throw std::runtime_error("open failed: " + opened.error.value_or(""));
    std::string line = burstScript(bytes) + "\n";
    client.write(id, Bytes(line.begin(), line.end()));
    std::size_t total = received.waitForExit();
    auto elapsed = Clock::now() - start;
    // The shell's prompt and the echo of the line come before the burst.
    if (total < bytes)
        std::fprintf(stderr, "client received %zu of %zu bytes\n", total, bytes);
    return elapsed;
}

double openRoundTrip(TerminalHelperClient& client) {
    std::vector<double> latencies;
    for (int round = 0; round < openRounds; ++round) {
        UUID id = UUID::random();
        auto start = Clock::now();
        auto opened = client.openShell(id, 80, 24, "/", shell, {});
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        if (opened.pid <= 0)
            throw std::runtime_error("open failed: " + opened.error.value_or(""));
        client.close(id);
    }
    return median(latencies);
}

} // namespace

void serviceBench(const Options& options) {
    auto launcher = std::make_shared<PTYShellLauncher>(UserAccount::current(),
                                                       Environment{{"PATH", "/usr/bin:/bin"}});
    InProcessTerminalHelper helper(launcher, nullptr);
    Received received;
    auto client = TerminalHelperClient::connect(received.handler(), helper.endpoint());

    std::printf("  open request to reply with /bin/sh, median of %d\n", openRounds);
    figure("open round trip", openRoundTrip(*client), "us");

    Clock::duration bare = Clock::duration::max();
    Clock::duration service = Clock::duration::max();
    // Alternating, so that a busy moment of the machine falls on both sides alike.
    for (int round = 0; round < options.rounds; ++round) {
        bare = std::min(bare, bareBurst(burstBytes).elapsed);
        service = std::min(service, serviceBurst(*client, received, burstBytes));
    }
    double bareRate = mebibytesPerSecond(burstBytes, bare);
    double serviceRate = mebibytesPerSecond(burstBytes, service);
    std::printf("  output burst of %zu bytes, best of %d\n", burstBytes, options.rounds);
    figure("bare read loop on a terminal", bareRate, "MiB/s");
    figure("session, service, connection, client", serviceRate, "MiB/s");
    figure("through the agent / bare", serviceRate / bareRate, "");
    client->disconnect();
}

} // namespace veltro::bench
