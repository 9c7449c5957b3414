#pragma once

#include <sys/types.h>
#include <time.h>

#include <cstddef>
#include <string>

namespace veltro::bench {

// The agent program under measurement, run as a child of the benchmark in a runtime folder of
// its own. It gets its listening socket the way the service manager hands it over, so that a
// client can connect as soon as the constructor returns.
class Agent {
public:
    // Starts `<program> --agent`; throws when it cannot be started.
    explicit Agent(const std::string& program);
    // Ends the agent as a termination signal does, waits for it and removes its folder. Its log
    // goes to standard error when a benchmark is being abandoned for an error.
    ~Agent();
    Agent(const Agent&) = delete;
    Agent& operator=(const Agent&) = delete;

    const std::string& socketPath() const { return socketPath_; }

    // The processor time of every thread of the agent so far: the sum of utime and stime that
    // /proc/PID/stat shows in clock ticks, read here at nanosecond resolution.
    double processorSeconds() const;
    // The voluntary and involuntary context switches of every thread of the agent so far: each
    // is one wake-up or one preemption.
    long contextSwitches() const;
    // The agent's resident memory now, VmRSS of /proc/PID/status, in bytes.
    std::size_t residentBytes() const;

private:
    std::string folder_;
    std::string socketPath_;
    std::string logPath_;
    pid_t pid_ = -1;
    clockid_t processorClock_{};
};

} // namespace veltro::bench
