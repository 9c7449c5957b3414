// veltro-bench: measures the helper's hot paths against the bare system calls beneath them.
//
//     veltro-bench [name ...] [--bytes N] [--rounds N] [--keystrokes N]
//
// Without names it runs every benchmark of the list below.

#include "Bench.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace veltro::bench;

namespace {

constexpr std::array benchmarks{
    Benchmark{"sessions", "output burst and keystroke echo, session against bare terminal",
              sessionBench},
    Benchmark{"service", "open round trip and output burst through the agent against bare terminal",
              serviceBench},
};

[[noreturn]] void usage() {
    std::fprintf(stderr, "usage: veltro-bench [name ...] [--bytes N] [--rounds N] "
                         "[--keystrokes N]\nbenchmarks:\n");
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

} // namespace

int main(int argc, char** argv) {
    Options options;
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
        else if (argument.starts_with("-"))
            usage();
        else
            names.push_back(argument);
    }
    for (const std::string& name : names) {
        bool known = false;
        for (const Benchmark& benchmark : benchmarks)
            known = known || benchmark.name == name;
        if (!known)
            usage();
    }
    for (const Benchmark& benchmark : benchmarks) {
        if (!names.empty() && std::find(names.begin(), names.end(), benchmark.name) == names.end())
            continue;
        std::printf("%.*s\n", static_cast<int>(benchmark.name.size()), benchmark.name.data());
        benchmark.run(options);
    }
    return 0;
}
