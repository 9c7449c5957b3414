#include "client/command/CommandLine.hpp"

#include "client/command/DetachKey.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>

namespace veltro::command {

namespace {

// Reads `--name VALUE` or `--name=VALUE` at `index`, moving past what it took.
class ArgumentReader {
public:
    explicit ArgumentReader(std::span<const std::string_view> arguments) : arguments_(arguments) {}

    bool done() const { return index_ >= arguments_.size(); }
    std::string_view current() const { return arguments_[index_]; }
    void next() { ++index_; }

    bool is(std::string_view name) const {
        std::string_view argument = current();
        return argument == name || (argument.starts_with(name) && argument.size() > name.size() &&
                                    argument[name.size()] == '=');
    }
    // The value of the option at hand, `is(name)` being true.
    std::optional<std::string> value(std::string_view name) {
        std::string_view argument = current();
        if (argument.size() > name.size())
            return std::string(argument.substr(name.size() + 1));
        if (index_ + 1 >= arguments_.size())
            return std::nullopt;
        return std::string(arguments_[++index_]);
    }

private:
    std::span<const std::string_view> arguments_;
    std::size_t index_ = 0;
};

std::optional<std::int64_t> secondsOf(const std::string& text) {
    std::int64_t seconds = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
    if (error != std::errc() || end != text.data() + text.size() || seconds < 0 ||
        seconds > ShellOptions::maximumKeep)
        return std::nullopt;
    return seconds;
}

using Action = Options::Action;

// Sets the one thing the command line asks for; a second one is a mistake.
std::optional<std::string> setAction(Options& options, Action action, std::string_view name) {
    if (options.action != Action::open)
        return "only one of --check, --list and --attach may be given, not also " +
               std::string(name);
    options.action = action;
    return std::nullopt;
}

// Reads one option; answers what is wrong with it, if anything.
std::optional<std::string> readOption(ArgumentReader& reader, Options& options) {
    if (reader.current() == "--check")
        return setAction(options, Action::check, "--check");
    if (reader.current() == "--list")
        return setAction(options, Action::list, "--list");
    if (reader.is("--attach")) {
        auto id = reader.value("--attach");
        if (!id || id->empty())
            return "--attach needs the id of a kept shell, or the start of it";
        options.attach = *id;
        return setAction(options, Action::attach, "--attach");
    }
    if (reader.is("--shell")) {
        auto shell = reader.value("--shell");
        if (!shell)
            return "--shell needs a path";
        options.shell = *shell;
        return std::nullopt;
    }
    if (reader.is("--env")) {
        auto entry = reader.value("--env");
        std::size_t equals = entry ? entry->find('=') : std::string::npos;
        if (equals == 0 || equals == std::string::npos)
            return "--env needs NAME=VALUE";
        options.environment[entry->substr(0, equals)] = entry->substr(equals + 1);
        return std::nullopt;
    }
    if (reader.is("--keep")) {
        auto text = reader.value("--keep");
        auto seconds = text ? secondsOf(*text) : std::nullopt;
        if (!seconds)
            return "--keep needs a number of seconds from 0 to " +
                   std::to_string(ShellOptions::maximumKeep);
        options.keep = *seconds;
        return std::nullopt;
    }
    if (reader.is("--detach-key")) {
        auto text = reader.value("--detach-key");
        auto key = text ? parseDetachKey(*text) : std::nullopt;
        if (!key)
            return "--detach-key needs a control key in caret notation, such as ^] or ^\\ "
                   "(not ^[, which is Escape)";
        options.detachKey = key;
        return std::nullopt;
    }
    if (reader.is("--ssh")) {
        auto host = reader.value("--ssh");
        if (!host || host->empty() || host->front() == '-')
            return "--ssh needs a host, as HOST or USER@HOST";
        options.ssh = *host;
        return std::nullopt;
    }
    if (reader.is("--ssh-option")) {
        auto option = reader.value("--ssh-option");
        if (!option || option->empty())
            return "--ssh-option needs an option of ssh, such as -p2222";
        options.sshOptions.push_back(*option);
        return std::nullopt;
    }
    if (reader.is("--remote-command")) {
        auto command = reader.value("--remote-command");
        if (!command || command->empty())
            return "--remote-command needs a command";
        options.remoteCommand = *command;
        return std::nullopt;
    }
    return "unknown argument \u201c" + std::string(reader.current()) + "\u201d";
}

// What options that each make sense alone say together.
std::optional<std::string> combinationProblem(const Options& options) {
    bool newShell = options.shell || !options.environment.empty() || options.keep > 0;
    if (options.action == Action::attach && newShell)
        return "--shell, --env and --keep are for a new shell, not with --attach";
    if ((options.action == Action::check || options.action == Action::list) &&
        (newShell || options.detachKey))
        return "--check and --list take no other option than --ssh and its options";
    if (!options.ssh && (!options.sshOptions.empty() || options.remoteCommand))
        return "--ssh-option and --remote-command need --ssh";
    if (options.action == Action::open && options.detachKey && options.keep == 0)
        return "--detach-key needs --keep or --attach: only a kept shell runs on once detached";
    return std::nullopt;
}

std::string normalizedID(std::string_view text) {
    std::string digits;
    for (char c : text)
        if (c != '-')
            digits.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
    return digits;
}

// Characters shown, for lining up columns: UTF-8 continuation bytes take no room.
std::size_t widthOf(const std::string& text) {
    return static_cast<std::size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

std::string twoDigits(std::int64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
}

} // namespace

ParsedCommandLine parseCommandLine(std::span<const std::string_view> arguments) {
    ParsedCommandLine parsed;
    for (ArgumentReader reader(arguments); !reader.done(); reader.next()) {
        if (reader.current() == "--help" || reader.current() == "-h") {
            parsed.options.action = Action::help;
            return parsed;
        }
        if (reader.current() == "--version") {
            parsed.options.action = Action::version;
            return parsed;
        }
        if (auto problem = readOption(reader, parsed.options)) {
            parsed.problem = std::move(problem);
            return parsed;
        }
    }
    parsed.problem = combinationProblem(parsed.options);
    return parsed;
}

ShellMatch matchShell(std::string_view prefix, const std::vector<UUID>& ids) {
    std::string wanted = normalizedID(prefix);
    if (wanted.empty() ||
        !std::all_of(wanted.begin(), wanted.end(), [](char c) { return std::isxdigit(c) != 0; }))
        return {std::nullopt, "\u201c" + std::string(prefix) +
                                  "\u201d is not the id of a shell, nor the start of one."};
    std::vector<UUID> found;
    for (const UUID& id : ids)
        if (normalizedID(id.string()).starts_with(wanted))
            found.push_back(id);
    if (found.size() == 1)
        return {found.front(), {}};
    if (found.empty())
        return {std::nullopt, "No kept shell has an id that starts with \u201c" +
                                  std::string(prefix) +
                                  "\u201d; veltro-terminal --list shows them."};
    std::string problem = "\u201c" + std::string(prefix) + "\u201d is the start of " +
                          std::to_string(found.size()) + " kept shells' ids:";
    for (const UUID& id : found)
        problem += " " + id.string();
    return {std::nullopt, problem + ". Give more of the id."};
}

std::string durationText(std::int64_t seconds) {
    constexpr std::int64_t minute = 60, hour = 60 * minute, day = 24 * hour;
    if (seconds < minute)
        return std::to_string(seconds) + "s";
    if (seconds < hour)
        return std::to_string(seconds / minute) + "m " + twoDigits(seconds % minute) + "s";
    if (seconds < day)
        return std::to_string(seconds / hour) + "h " + twoDigits(seconds % hour / minute) + "m";
    return std::to_string(seconds / day) + "d " + twoDigits(seconds % day / hour) + "h";
}

std::string keptShellTable(const std::vector<KeptShellInfo>& shells) {
    if (shells.empty())
        return "No kept shells.\n";
    using Row = std::array<std::string, 6>;
    std::vector<Row> rows{{"ID", "PID", "ATTACHED", "LEFT", "PROGRAM", "FOLDER"}};
    for (const KeptShellInfo& shell : shells)
        rows.push_back({shell.id.string(), std::to_string(shell.pid), shell.attached ? "yes" : "no",
                        shell.left ? durationText(*shell.left) : "-",
                        shell.exited ? "(exited)" : shell.program.value_or("-"),
                        shell.folder.value_or("-")});
    std::array<std::size_t, 6> widths{};
    for (const Row& row : rows)
        for (std::size_t column = 0; column < row.size(); ++column)
            widths[column] = std::max(widths[column], widthOf(row[column]));
    std::string table;
    for (const Row& row : rows) {
        for (std::size_t column = 0; column + 1 < row.size(); ++column)
            table += row[column] + std::string(widths[column] - widthOf(row[column]) + 2, ' ');
        table += row.back() + '\n';
    }
    return table;
}

} // namespace veltro::command
