#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltro::command {

// What veltro-terminal was asked to do.
struct Options {
    enum class Action { open, check, list, attach, help, version };

    Action action = Action::open;
    std::optional<std::string> shell;
    Environment environment;
    // Seconds the shell outlives this terminal; 0: it ends with it.
    std::int64_t keep = 0;
    // The id, or the start of it, of the kept shell to attach.
    std::string attach;
    // The byte that detaches from a kept shell, when there is one.
    std::optional<std::uint8_t> detachKey;
    // [USER@]HOST whose agent to use, through ssh; this machine's when none.
    std::optional<std::string> ssh;
    // Given to ssh as they are, before the host.
    std::vector<std::string> sshOptions;
    // What runs on the host instead of the agent's usual proxy command.
    std::optional<std::string> remoteCommand;
};

struct ParsedCommandLine {
    Options options;
    // What is wrong with the command line, when something is.
    std::optional<std::string> problem;
};

// Reads the arguments after the program's name.
ParsedCommandLine parseCommandLine(std::span<const std::string_view> arguments);

struct ShellMatch {
    std::optional<UUID> id;
    // Why no single shell matches, when none does.
    std::string problem;
};

// The one id that starts with `prefix`, in either case, with or without the dashes.
ShellMatch matchShell(std::string_view prefix, const std::vector<UUID>& ids);

// Kept shells as a table with a header line, one row each; a sentence when there are none.
std::string keptShellTable(const std::vector<KeptShellInfo>& shells);

// A number of seconds as the person reads it: "45s", "12m 05s", "3h 20m", "6d 23h".
std::string durationText(std::int64_t seconds);

} // namespace veltro::command
