// What many shells cost the agent: wake-ups while they all sit idle at their prompts, and how
// long another connection's keystrokes wait while a crowd of them closes at once.

#include "Agent.hpp"
#include "BareTerminal.hpp"
#include "Bench.hpp"
#include "Client.hpp"

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace veltro::bench {

namespace {

using namespace std::chrono_literals;

const std::string shell = "/bin/sh";
constexpr std::size_t idleShells = 100;
constexpr std::size_t closingShells = 300;
// Long enough for every shell to have finished starting and the agent to have done with them.
constexpr auto settling = 1500ms;
constexpr auto idleWindow = 10s;
// The client hears nothing of shells it closed itself, so this is long enough for every shell
// to end and for the agent's reckoning with leftover processes, two seconds after a close.
constexpr auto closingWindow = 3s;
constexpr auto quietWindow = 2s;

// Opens `count` shells and waits until each has shown its prompt.
std::vector<UUID> openShells(Client& client, std::size_t count) {
    std::vector<UUID> ids;
    for (std::size_t index = 0; index < count; ++index)
        ids.push_back(client.open(shell));
    client.waitUntil([count](const Heard& heard) { return heard.speaking.size() == count; });
    return ids;
}

double milliseconds(double microseconds) {
    return microseconds / 1000;
}

} // namespace

void idleBench(const Options& options) {
    Agent agent(options.agent);
    Client client(agent);
    openShells(client, idleShells);
    std::this_thread::sleep_for(settling);
    long before = agent.contextSwitches();
    std::this_thread::sleep_for(idleWindow);
    long wakeUps = agent.contextSwitches() - before;
    heading(std::to_string(idleShells) + " shells of " + shell + " idle at their prompts, for " +
            std::to_string(idleWindow.count()) + " s");
    figure("agent's context switches, all threads", static_cast<double>(wakeUps), "", "(target 0)");
}

void closingBench(const Options& options) {
    Agent agent(options.agent);
    Client typist(agent);
    Client crowd(agent);
    UUID echo = openEchoShell(typist);
    std::vector<UUID> ids = openShells(crowd, closingShells);

    typist.startEchoes(echo);
    std::this_thread::sleep_for(quietWindow);
    std::vector<double> quiet = typist.takeEchoes();

    auto start = Clock::now();
    for (const UUID& id : ids)
        crowd.close(id);
    std::this_thread::sleep_until(start + closingWindow);
    std::vector<double> closing = typist.stopEchoes();

    heading("one connection types into `" + std::string(echoScript) + "` while another closes " +
            std::to_string(closingShells) + " shells of " + shell + " at once");
    figure("echo p50, nothing closing", milliseconds(percentile(quiet, 0.5)), "ms");
    figure("echo p50 while closing", milliseconds(percentile(closing, 0.5)), "ms");
    figure("worst echo, nothing closing", milliseconds(percentile(quiet, 1)), "ms");
    figure("worst echo while closing", milliseconds(percentile(closing, 1)), "ms",
           "(target <= 100 ms)");
    figure("keystrokes timed while closing", static_cast<double>(closing.size()), "");
}

} // namespace veltro::bench
