// What one shell costs through the whole agent and the client library, against a bare read loop
// on a pseudo-terminal of the same machine: output throughput and its processor time, keystroke
// echo, and the time from an open request to the first byte of output; and the output of a kept
// shell, which keeps a history of it on the way.

#include "Agent.hpp"
#include "BareTerminal.hpp"
#include "Bench.hpp"
#include "Client.hpp"

#include <optional>
#include <string>
#include <vector>

namespace veltro::bench {

namespace {

const std::string shell = "/bin/sh";
// Writes one line and ends: its first byte is the first thing on the terminal.
const std::string quickProgram = "/bin/echo";
constexpr int openRounds = 50;
// A kept burst's shell ends by itself; the keep period only makes it a kept one.
constexpr std::int64_t keptBurstKeep = 60;

double agentFirstOutput(Client& client) {
    client.forget();
    auto start = Clock::now();
    client.open(quickProgram);
    client.waitUntil([](const Heard& heard) { return heard.exits == 1 && heard.firstOutput; });
    return microseconds(*client.inspect([](const Heard& heard) { return heard.firstOutput; }) -
                        start);
}

void append(std::vector<double>& to, const std::vector<double>& values) {
    to.insert(to.end(), values.begin(), values.end());
}

// The medians of one side's bursts: throughput, and processor time per MiB.
struct Throughput {
    std::vector<double> rates;
    std::vector<double> costs;

    void add(const Burst& burst, double size) {
        rates.push_back(size / seconds(burst.elapsed));
        costs.push_back(1e6 * burst.processor / size);
    }
    double rate() const { return median(rates); }
    double cost() const { return median(costs); }
};

void burstHeading(const Options& options, const std::string& more = "") {
    heading("burst of " + std::to_string(options.bytes) + " bytes from `" +
            burstScript(options.bytes) + "`, median of " + std::to_string(options.rounds) +
            " alternating rounds" + more);
}

} // namespace

// From the open request to the exit of the shell, after all its output has been heard; and the
// agent's processor time in between.
Burst agentBurst(const Agent& agent, Client& client, std::size_t bytes,
                 const ShellOptions& shellOptions, const std::optional<std::string>& script) {
    client.forget();
    double processorStart = agent.processorSeconds();
    auto start = Clock::now();
    UUID id = client.open(shell, shellOptions);
    client.type(id, script.value_or(burstScript(bytes)) + "\n");
    client.waitUntil([](const Heard& heard) { return heard.exits == 1; });
    auto elapsed = Clock::now() - start;
    double processor = agent.processorSeconds() - processorStart;
    // The prompt and the echo of the typed line come on top of the burst.
    std::size_t received = client.inspect([](const Heard& heard) { return heard.bytes; });
    if (received < bytes)
        std::fprintf(stderr, "the client heard %zu of %zu bytes\n", received, bytes);
    return {elapsed, processor};
}

std::vector<double> agentEchoes(Client& client, int keystrokes) {
    UUID id = openEchoShell(client);
    std::vector<double> latencies = client.echoes(id, static_cast<std::size_t>(keystrokes));
    // A shell closed by its client ends without a word to it.
    client.close(id);
    return latencies;
}

void outputBench(const Options& options) {
    Agent agent(options.agent);
    Client client(agent);
    double size = mebibytes(options.bytes);
    Throughput bare, through;
    for (int round = 0; round < options.rounds; ++round) {
        bare.add(bareBurst(options.bytes), size);
        through.add(agentBurst(agent, client, options.bytes), size);
    }
    burstHeading(options);
    figure("bare read loop on a terminal", bare.rate(), "MiB/s");
    figure("through the agent and the client library", through.rate(), "MiB/s");
    figure("through the agent / bare", through.rate() / bare.rate(), "", "(target >= 0.95)");
    figure("bare reader's processor time", bare.cost(), "us/MiB");
    figure("agent's processor time, all threads", through.cost(), "us/MiB");
    figure("agent / bare, by processor time", through.cost() / bare.cost(), "", "(target <= 1.2)");
}

// The same bursts from a kept shell, which copies every chunk into its history on the way, in
// rounds alternating with a shell that keeps nothing and with the bare terminal.
void keptOutputBench(const Options& options) {
    Agent agent(options.agent);
    Client client(agent);
    double size = mebibytes(options.bytes);
    ShellOptions kept{.keep = keptBurstKeep, .history = ShellOptions::defaultKeptHistory};
    Throughput bare, through, keeping;
    for (int round = 0; round < options.rounds; ++round) {
        bare.add(bareBurst(options.bytes), size);
        through.add(agentBurst(agent, client, options.bytes), size);
        keeping.add(agentBurst(agent, client, options.bytes, kept), size);
    }
    burstHeading(options, ", the kept shell with " +
                              std::to_string(ShellOptions::defaultKeptHistory) +
                              " bytes of history");
    figure("bare read loop on a terminal", bare.rate(), "MiB/s");
    figure("through the agent, no history", through.rate(), "MiB/s");
    figure("through the agent, kept shell with history", keeping.rate(), "MiB/s");
    figure("no history / bare", through.rate() / bare.rate(), "");
    figure("with history / bare", keeping.rate() / bare.rate(), "", "(target >= 0.95)");
    figure("with history / no history", keeping.rate() / through.rate(), "");
    figure("bare reader's processor time", bare.cost(), "us/MiB");
    figure("agent's processor time, no history", through.cost(), "us/MiB");
    figure("agent's processor time, with history", keeping.cost(), "us/MiB");
    figure("with history / bare, by processor time", keeping.cost() / bare.cost(), "");
}

// The same bursts from shells with marks against shells without, of zeros and of lines of 4 KiB
// that each hold one command's start and finish: what looking for the marks costs, and what
// reporting them costs.
void marksOutputBench(const Options& options) {
    Agent agent(options.agent);
    Client client(agent);
    double size = mebibytes(options.bytes);
    ShellOptions marked{.marks = true};
    std::string markedLines = "stty raw -echo; yes \"$(printf '\\033]133;C\\007%4080s"
                              "\\033]133;D;0\\007' x)\" | head -c " +
                              std::to_string(options.bytes) + "; exit";
    Throughput plain, plainMarked, lines, linesMarked;
    for (int round = 0; round < options.rounds; ++round) {
        // Each side goes first in every other round, so neither gains from the order.
        bool markedFirst = round % 2 == 1;
        for (bool on : {markedFirst, !markedFirst}) {
            (on ? plainMarked : plain)
                .add(agentBurst(agent, client, options.bytes, on ? marked : ShellOptions{}), size);
            (on ? linesMarked : lines)
                .add(agentBurst(agent, client, options.bytes, on ? marked : ShellOptions{},
                                markedLines),
                     size);
        }
    }
    burstHeading(options, ", and as many bytes of 4 KiB lines with two marks each");
    figure("zeros, marks off", plain.rate(), "MiB/s");
    figure("zeros, marks on", plainMarked.rate(), "MiB/s");
    figure("zeros, marks on / off", plainMarked.rate() / plain.rate(), "", "(target >= 0.97)");
    figure("marked lines, marks off", lines.rate(), "MiB/s");
    figure("marked lines, marks on", linesMarked.rate(), "MiB/s");
    figure("marked lines, marks on / off", linesMarked.rate() / lines.rate(), "",
           "(target >= 0.97)");
    figure("agent's processor time, zeros, marks off", plain.cost(), "us/MiB");
    figure("agent's processor time, zeros, marks on", plainMarked.cost(), "us/MiB");
    figure("agent's processor time, marked lines, marks off", lines.cost(), "us/MiB");
    figure("agent's processor time, marked lines, marks on", linesMarked.cost(), "us/MiB");
}

void echoBench(const Options& options) {
    Agent agent(options.agent);
    Client client(agent);
    std::vector<double> bare, through;
    for (int round = 0; round < options.rounds; ++round) {
        append(bare, bareEchoes(options.keystrokes));
        append(through, agentEchoes(client, options.keystrokes));
    }
    heading("one keystroke into `" + std::string(echoScript) + "` until its echo, " +
            std::to_string(bare.size()) + " per side in " + std::to_string(options.rounds) +
            " alternating rounds");
    double bareMedian = percentile(bare, 0.5);
    double agentMedian = percentile(through, 0.5);
    double bareTail = percentile(bare, 0.99);
    double agentTail = percentile(through, 0.99);
    figure("p50 on a bare terminal", bareMedian, "us");
    figure("p50 through the agent", agentMedian, "us");
    figure("p50 through the agent - bare", agentMedian - bareMedian, "us", "(target <= 40 us)");
    figure("p99 on a bare terminal", bareTail, "us");
    figure("p99 through the agent", agentTail, "us");
    figure("p99 through the agent - bare", agentTail - bareTail, "us");
}

void openBench(const Options& options) {
    Agent agent(options.agent);
    Client client(agent);
    std::vector<double> bare, through;
    for (int round = 0; round < openRounds; ++round) {
        bare.push_back(bareFirstOutput(quickProgram));
        through.push_back(agentFirstOutput(client));
    }
    heading("from an open request of " + quickProgram + " to its first byte of output, median of " +
            std::to_string(openRounds) + " alternating rounds");
    double bareMedian = median(bare);
    double agentMedian = median(through);
    figure("openpty, posix_spawn, first read", bareMedian, "us");
    figure("through the agent and the client library", agentMedian, "us");
    figure("through the agent - bare", agentMedian - bareMedian, "us", "(target <= 1000 us)");
}

} // namespace veltro::bench
