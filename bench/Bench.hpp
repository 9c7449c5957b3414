#pragma once

// The pieces every benchmark of veltro-bench shares: its options, the clock, and one way to
// print a figure. A benchmark is a function taking the options; main.cpp lists them by name.

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

namespace veltro::bench {

using Clock = std::chrono::steady_clock;

struct Options {
    // Size of each burst of output.
    std::size_t bytes = 64 * 1024 * 1024;
    // Alternating rounds of each measurement; the median of each side counts, so that a busy
    // moment of the machine weighs on neither side alone.
    int rounds = 5;
    // Keystrokes whose echo is timed, per round and side.
    int keystrokes = 2000;
    // The agent program to measure, started as `<agent> --agent`.
    std::string agent;
};

struct Benchmark {
    std::string_view name;
    std::string_view summary;
    void (*run)(const Options& options);
};

// The benchmarks, each measuring the agent against a bare terminal in the same run.
void outputBench(const Options& options);
void echoBench(const Options& options);
void openBench(const Options& options);
void idleBench(const Options& options);
void closingBench(const Options& options);
void keptOutputBench(const Options& options);
void marksOutputBench(const Options& options);
void attachBench(const Options& options);
void keptMemoryBench(const Options& options);
void sshBench(const Options& options);

inline double seconds(Clock::duration duration) {
    return std::chrono::duration<double>(duration).count();
}

inline double microseconds(Clock::duration duration) {
    return std::chrono::duration<double, std::micro>(duration).count();
}

inline double mebibytes(std::size_t bytes) {
    return static_cast<double>(bytes) / (1024.0 * 1024.0);
}

// The value below which `fraction` of the values lie (nearest rank).
inline double percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

inline double median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

inline void heading(const std::string& text) {
    std::printf("  %s\n", text.c_str());
    std::fflush(stdout);
}

inline void figure(std::string_view label, double value, std::string_view unit,
                   std::string_view target = "") {
    std::printf("    %-46.*s %12.2f %-7.*s %.*s\n", static_cast<int>(label.size()), label.data(),
                value, static_cast<int>(unit.size()), unit.data(), static_cast<int>(target.size()),
                target.data());
    std::fflush(stdout);
}

} // namespace veltro::bench
