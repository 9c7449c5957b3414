// veltro-bench: measures the agent program, through its socket and the client library, against a
// bare terminal read by this process, side by side in one run.
//
//     veltro-bench [name ...] [--bytes N] [--rounds N] [--keystrokes N] [--agent PATH]
//
// Without names it runs every benchmark of the list below. The agent is the
// veltro-terminal-helper next to this program unless --agent names another, such as an older
// build to compare with.

#include "Bench.hpp"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

using namespace veltro::bench;

namespace {

constexpr std::array benchmarks{
    Benchmark{"output", "output throughput and processor time per MiB", outputBench},
    Benchmark{"echo", "keystroke echo, p50 and p99", echoBench},
    Benchmark{"open", "open request to the first byte of output", openBench},
    Benchmark{"idle", "the agent's wake-ups with 100 idle shells", idleBench},
    Benchmark{"closing", "another connection's echo while 300 shells close", closingBench},
    Benchmark{"kept-output", "output throughput of a kept shell, history on", keptOutputBench},
    Benchmark{"marks-output", "output throughput with command marks on and off", marksOutputBench},
    Benchmark{"attach", "attach to the last byte of 1 MiB of history", attachBench},
    Benchmark{"kept-memory", "the agent's memory per detached kept shell", keptMemoryBench},
    Benchmark{"ssh", "throughput, echo and Ctrl-C through ssh and the proxy", sshBench},
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: veltro-bench [name ...] [--bytes N] [--rounds N] "
                         "[--keystrokes N] [--agent PATH]\nbenchmarks:\n");
    for (const Benchmark& benchmark : benchmarks)
        std::fprintf(stderr, "  %-12.*s %.*s\n", static_cast<int>(benchmark.name.size()),
                     benchmark.name.data(), static_cast<int>(benchmark.summary.size()),
                     benchmark.summary.data());
    std::exit(2);
}

long number(const char* text) {
    char* end = nullptr;
    long value = std::strtol(text, &end, 10);
    if (!text[0] || *end || value <= 0)
        usage();
    return value;
}

std::string agentNextToThisProgram() {
    std::error_code error;
    auto self = std::filesystem::read_symlink("/proc/self/exe", error);
    return (self.parent_path() / "veltro-terminal-helper").string();
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    options.agent = agentNextToThisProgram();
    std::vector<std::string> names;
    for (int index = 1; index < argc; ++index) {
        std::string argument = argv[index];
        bool hasValue = index + 1 < argc;
        if (argument == "--bytes" && hasValue)
            options.bytes = static_cast<std::size_t>(number(argv[++index]));
        else if (argument == "--rounds" && hasValue)
            options.rounds = static_cast<int>(number(argv[++index]));
        else if (argument == "--keystrokes" && hasValue)
            options.keystrokes = static_cast<int>(number(argv[++index]));
        else if (argument == "--agent" && hasValue)
            options.agent = std::filesystem::absolute(argv[++index]).lexically_normal().string();
        else if (argument.starts_with("-"))
            usage();
        else
            names.push_back(argument);
    }
    for (const std::string& name : names) {
        if (std::none_of(benchmarks.begin(), benchmarks.end(),
                         [&](const Benchmark& benchmark) { return benchmark.name == name; }))
            usage();
    }
    std::printf("agent: %s\n", options.agent.c_str());
    int status = 0;
    for (const Benchmark& benchmark : benchmarks) {
        if (!names.empty() && std::find(names.begin(), names.end(), benchmark.name) == names.end())
            continue;
        std::printf("%.*s\n", static_cast<int>(benchmark.name.size()), benchmark.name.data());
        try {
            benchmark.run(options);
        } catch (const std::exception& error) {
            std::fprintf(stderr, "veltro-bench: %.*s: %s\n",
                         static_cast<int>(benchmark.name.size()), benchmark.name.data(),
                         error.what());
            status = 1;
        }
    }
    // Every connection has ended by now; leaving without static destruction keeps the client
    // library's threads, which may still be winding down, from racing the teardown of the
    // objects they use.
    std::fflush(nullptr);
    std::_Exit(status);
}
