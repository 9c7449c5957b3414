#pragma once

#include "protocol/TerminalHelperProtocol.hpp"
#include "sessions/CommandMarkParser.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

// The commands one shell has marked, kept with its session so that a client attaching again
// finds them. It puts the marks in order: a command starts at C and finishes at D, with the
// command line of the last E since the last A.
class CommandLog {
public:
    static constexpr std::size_t capacity = 100;

    // Takes one mark found `offset` bytes into the output at `now`. Answers the command a C
    // started or a D finished, or nothing when the mark starts or finishes none: A, B and E only
    // prepare the next command, and a C while a command runs or a D right after another D is
    // out of order and skipped.
    const CommandInfo* take(CommandMarkParser::Mark& mark, std::int64_t offset,
                            std::chrono::steady_clock::time_point now);

    // Oldest first.
    std::vector<CommandInfo> commands() const { return {log.begin(), log.end()}; }

private:
    enum class Phase { waiting, running, finished };

    CommandInfo& append();

    std::deque<CommandInfo> log;
    Phase phase = Phase::waiting;
    std::optional<std::string> commandLine;
    std::chrono::steady_clock::time_point startedAt;
};

} // namespace veltro
