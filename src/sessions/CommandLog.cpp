#include "sessions/CommandLog.hpp"

#include <utility>

namespace veltro {

const CommandInfo* CommandLog::take(CommandMarkParser::Mark& mark, std::int64_t offset,
                                    std::chrono::steady_clock::time_point now) {
    using Kind = CommandMarkParser::Kind;
    switch (mark.kind) {
    case Kind::promptStart:
        phase = Phase::waiting;
        commandLine.reset();
        return nullptr;
    case Kind::commandLineStart:
        return nullptr;
    case Kind::commandLine:
        commandLine = std::move(mark.commandLine);
        return nullptr;
    case Kind::commandStart: {
        if (phase == Phase::running)
            return nullptr;
        phase = Phase::running;
        startedAt = now;
        CommandInfo& command = append();
        command.commandLine = commandLine;
        command.started = offset;
        return &command;
    }
    case Kind::commandFinish: {
        if (phase == Phase::finished)
            return nullptr;
        // A D with no C before it (an empty line, say) is a command of its own, whose start and
        // duration nobody knows.
        bool started = phase == Phase::running;
        phase = Phase::finished;
        CommandInfo& command = started ? log.back() : append();
        if (!started)
            command.commandLine = commandLine;
        command.finished = offset;
        command.exitCode = mark.exitCode;
        if (started)
            command.milliseconds =
                std::chrono::duration_cast<std::chrono::milliseconds>(now - startedAt).count();
        return &command;
    }
    }
    return nullptr;
}

CommandInfo& CommandLog::append() {
    if (log.size() == capacity)
        log.pop_front();
    return log.emplace_back();
}

} // namespace veltro
