#pragma once

// The pieces every benchmark of veltro-bench shares: its options, the clock, and one way to
// print a figure. A benchmark is a function taking the options; main.cpp lists them by name.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <string_view>
#include <vector>

namespace veltro::bench {

using Clock = std::chrono::steady_clock;

struct Options {
    // Size of each burst of output.
    std::size_t bytes = 64 * 1024 * 1024;
    // Bursts per measurement; the best one counts, as the one least disturbed by the machine.
    int rounds = 3;
    // Keystrokes whose echo is timed.
    int keystrokes = 2000;
};

struct Benchmark {
    std::string_view name;
    std::string_view summary;
    void (*run)(const Options&);
};

// The benchmarks, each in a file of its own.
void sessionBench(const Options& options);
void serviceBench(const Options& options);

// One measured burst of output: wall time and the reader's processor time.
struct Burst {
    Clock::duration elapsed = Clock::duration::max();
    double processor = 1e300;

    void keepBest(const Burst& other) {
        elapsed = std::min(elapsed, other.elapsed);
        processor = std::min(processor, other.processor);
    }
};

// The yardstick: a shell writes `bytes` of output to a terminal that this process reads in a
// plain loop, with nothing in between.
Burst bareBurst(std::size_t bytes);

inline double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

inline double mebibytesPerSecond(std::size_t bytes, Clock::duration duration) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds(duration);
}

inline double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline void figure(std::string_view label, double value, std::string_view unit) {
    std::printf("  %-44.*s %12.2f %.*s\n", static_cast<int>(label.size()), label.data(), value,
                static_cast<int>(unit.size()), unit.data());
    std::fflush(stdout);
}

} // namespace veltro::bench
