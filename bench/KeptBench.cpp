// What kept shells cost: the time from an attach to the last byte of a full history, and the
// agent's memory for each detached shell beyond its history.

#include "Agent.hpp"
#include "BareTerminal.hpp"
#include "Bench.hpp"
#include "Client.hpp"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace veltro::bench {

namespace {

using namespace std::chrono_literals;

const std::string shell = "/bin/sh";
// Long enough that no kept shell is closed for its keep period while it is measured.
constexpr std::int64_t keep = 600;

constexpr std::size_t attachHistory = 1024 * 1024;
// Past the history's size, so that the oldest bytes have already fallen out of it.
constexpr std::size_t attachOutput = attachHistory + attachHistory / 2;
constexpr int attachRounds = 30;

constexpr std::size_t crowd = 100;
constexpr std::size_t crowdHistory = 4096;
constexpr std::size_t crowdOutput = 2 * crowdHistory;
// Closed shells have ended by then, and the agent is done reckoning with their leftovers.
constexpr auto settling = 3s;
// Far more than a loaded machine needs to start, fill or end a hundred shells.
constexpr auto waitingLimit = 30s;

constexpr std::string_view filledMarker = "DONE";

// Writes `bytes` and then filledMarker, and stays silent for good. The marker is spelled in two
// quoted halves so that the terminal's echo of the typed command never contains it.
std::string fillScript(std::size_t bytes) {
    return "stty raw -echo; head -c " + std::to_string(bytes) +
           " /dev/zero; printf 'DO''NE'; exec cat\n";
}

ShellOptions keptWith(std::size_t history) {
    return {.keep = keep, .history = static_cast<std::int64_t>(history)};
}

double milliseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::milli>(duration).count();
}

double kibibytes(double bytes) {
    return bytes / 1024;
}

// Opens a kept shell that fills its history and then goes quiet, and waits until all of it has
// come. The shell is detached when the opening connection ends, here.
UUID filledKeptShell(const Agent& agent) {
    Client opener(agent);
    UUID id = opener.open(shell, keptWith(attachHistory));
    opener.type(id, fillScript(attachOutput));
    opener.waitUntil([](const Heard& heard) { return heard.tail.ends_with(filledMarker); });
    return id;
}

KeptShellInfo keptShell(Client& client, const UUID& id) {
    std::vector<KeptShellInfo> shells = client.list();
    auto found = std::find_if(shells.begin(), shells.end(),
                              [&](const KeptShellInfo& info) { return info.id == id; });
    if (found == shells.end())
        throw std::runtime_error("the kept shell is gone");
    return *found;
}

// On a new connection, from the attach request to the last kept byte.
double attachToLastByte(const Agent& agent, const UUID& id) {
    Client client(agent);
    KeptShellInfo before = keptShell(client, id);
    client.forget();
    auto start = Clock::now();
    std::int64_t offset = client.attach(id);
    auto expected = static_cast<std::size_t>(before.produced - offset);
    client.waitUntil([expected](const Heard& heard) { return heard.bytes >= expected; });
    double elapsed = milliseconds(Clock::now() - start);
    if (offset != before.oldest || expected != attachHistory)
        std::fprintf(stderr, "the attach replayed %zu bytes from %lld, not %zu from %lld\n",
                     expected, static_cast<long long>(offset), attachHistory,
                     static_cast<long long>(before.oldest));
    return elapsed;
}

// Looks at the agent's list until exactly `count` of the kept shells pass `test`, or the time is
// up; answers how many did at the last look.
std::size_t awaitKeptShells(Client& client, std::size_t count,
                            const std::function<bool(const KeptShellInfo&)>& test) {
    auto deadline = Clock::now() + waitingLimit;
    for (;;) {
        std::vector<KeptShellInfo> shells = client.list();
        auto passing = static_cast<std::size_t>(std::count_if(shells.begin(), shells.end(), test));
        if (passing == count || Clock::now() > deadline)
            return passing;
        std::this_thread::sleep_for(20ms);
    }
}

// Opens `count` kept shells that each write `bytes` and then go quiet, and waits until the agent
// has counted all of it.
std::vector<UUID> quietKeptShells(Client& client, std::size_t count, std::size_t history,
                                  std::size_t bytes) {
    std::vector<UUID> ids;
    for (std::size_t index = 0; index < count; ++index) {
        ids.push_back(client.open(shell, keptWith(history)));
        client.type(ids.back(), fillScript(bytes));
    }
    std::set<UUID> ours(ids.begin(), ids.end());
    auto filled = [&](const KeptShellInfo& info) {
        return ours.contains(info.id) && info.produced >= static_cast<std::int64_t>(bytes);
    };
    if (awaitKeptShells(client, count, filled) != count)
        throw std::runtime_error("the kept shells did not write their output in time");
    return ids;
}

// Closes every kept shell of `client` and waits until the agent lists none.
void closeKeptShells(const Agent& agent, Client& client, const std::vector<UUID>& ids) {
    for (const UUID& id : ids)
        client.close(id);
    Client observer(agent);
    auto any = [](const KeptShellInfo&) { return true; };
    if (std::size_t left = awaitKeptShells(observer, 0, any))
        throw std::runtime_error(std::to_string(left) + " closed kept shells are still listed");
}

// How many kept shells are detached and still running.
std::size_t detachedShells(const Agent& agent) {
    Client client(agent);
    std::vector<KeptShellInfo> shells = client.list();
    return static_cast<std::size_t>(
        std::count_if(shells.begin(), shells.end(),
                      [](const KeptShellInfo& info) { return !info.attached && !info.exited; }));
}

} // namespace

void attachBench(const Options& options) {
    Agent agent(options.agent);
    UUID id = filledKeptShell(agent);
    std::vector<double> bare, attached;
    for (int round = 0; round < attachRounds; ++round) {
        bare.push_back(milliseconds(bareBurst(attachHistory).elapsed));
        attached.push_back(attachToLastByte(agent, id));
    }
    heading("attach with from = nil on a new connection to the last of " +
            std::to_string(attachHistory) + " kept bytes, " + std::to_string(attachRounds) +
            " alternating rounds");
    figure("bare terminal, a burst of as many bytes, p50", median(bare), "ms");
    figure("attach to the last byte, p50", median(attached), "ms", "(target <= 20 ms)");
    figure("attach to the last byte, p90", percentile(attached, 0.9), "ms");
}

// The agent after `crowd` kept shells have come and gone, against the same agent holding as
// many detached ones: what the first phase left in the agent's heap counts on both sides.
void keptMemoryBench(const Options& options) {
    Agent agent(options.agent);
    {
        Client client(agent);
        closeKeptShells(agent, client, quietKeptShells(client, crowd, crowdHistory, crowdOutput));
    }
    std::this_thread::sleep_for(settling);
    std::size_t none = agent.residentBytes();
    {
        Client client(agent);
        quietKeptShells(client, crowd, crowdHistory, crowdOutput);
    }
    std::this_thread::sleep_for(settling);
    std::size_t holding = agent.residentBytes();
    if (std::size_t detached = detachedShells(agent); detached != crowd)
        std::fprintf(stderr, "%zu of %zu kept shells are detached and running\n", detached, crowd);
    double perShell =
        (static_cast<double>(holding) - static_cast<double>(none)) / static_cast<double>(crowd) -
        static_cast<double>(crowdHistory);
    heading(std::to_string(crowd) + " detached idle kept shells of " + shell + " with " +
            std::to_string(crowdHistory) + " bytes of history each, full, against none");
    figure("agent's resident memory, none kept", kibibytes(static_cast<double>(none)), "KiB");
    figure("agent's resident memory, with them", kibibytes(static_cast<double>(holding)), "KiB");
    figure("per detached shell beyond its history", kibibytes(perShell), "KiB",
           "(target <= 64 KiB)");
}

} // namespace veltro::bench
