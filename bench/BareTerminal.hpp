#pragma once

// The yardstick of every benchmark: a program on a pseudo-terminal of its own, read by this
// process in a plain loop with nothing in between. The scripts are shared with the agent's side,
// so that the two sides differ only in who reads the terminal.

#include "Bench.hpp"

#include "platform/FileDescriptor.hpp"

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace veltro::bench {

// The bare reader reads as much at once as the agent does.
constexpr std::size_t readSize = 64 * 1024;

// Writes `bytes` of output, and nothing else, then ends.
std::string burstScript(std::size_t bytes);

// Echoes every keystroke once it has written readyMarker. The marker is spelled in two quoted
// halves so that the terminal's echo of the typed command never contains it.
constexpr std::string_view echoScript = "stty raw -echo; printf 'REA''DY'; exec cat";
constexpr std::string_view readyMarker = "READY";

class BareTerminal {
public:
    // Spawns `program` with `arguments` (the first is its name) as the leader of a session whose
    // controlling terminal is a fresh pseudo-terminal, as the agent does.
    BareTerminal(const std::string& program, const std::vector<std::string>& arguments);
    // Kills the program if it still runs, and reaps it.
    ~BareTerminal();
    BareTerminal(const BareTerminal&) = delete;
    BareTerminal& operator=(const BareTerminal&) = delete;

    int master() const { return master_.get(); }
    // Reads until the program and everything it started have let go of the terminal; answers
    // how many bytes came.
    std::size_t drain();
    // Reaps the program.
    void wait();

private:
    FileDescriptor master_;
    pid_t child_ = -1;
};

// One measured burst: wall time, and the processor time its reader spent.
struct Burst {
    Clock::duration elapsed{};
    double processor = 0;
};

// `bytes` of output read by this thread, whose processor time counts.
Burst bareBurst(std::size_t bytes);

// Round trips of single keystrokes through echoScript, in microseconds.
std::vector<double> bareEchoes(int keystrokes);

// From the start of a spawn of `program` (with no arguments) on a fresh terminal to its first
// byte of output, in microseconds.
double bareFirstOutput(const std::string& program);

} // namespace veltro::bench
