#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

// What a client may ask of a shell beyond version 1 when it opens it. The defaults are
// version 1's behaviour: the shell dies with its connection and keeps no output.
struct ShellOptions {
    static constexpr std::int64_t maximumKeep = 7 * 24 * 60 * 60;
    static constexpr std::int64_t maximumHistory = 64 * 1024 * 1024;
    static constexpr std::int64_t defaultKeptHistory = 1024 * 1024;

    // Seconds the shell runs on, detached, once no connection has it; 0: it is hung up.
    std::int64_t keep = 0;
    // Bytes of its most recent output kept for `attach`.
    std::int64_t history = 0;
    // Report the commands the shell marks in its output.
    bool marks = false;
    // Start the shell with the agent's own integration, which marks its commands.
    bool integration = false;

    bool isKept() const { return keep > 0; }
    bool reportsCommands() const { return marks || integration; }
    bool isDefault() const { return keep == 0 && history == 0 && !marks && !integration; }

    friend bool operator==(const ShellOptions&, const ShellOptions&) = default;
};

// One kept shell as `list` describes it. Offsets count the shell's output bytes from 0.
struct KeptShellInfo {
    UUID id;
    std::int32_t pid = 0;
    // Some connection has it.
    bool attached = false;
    bool exited = false;
    std::int64_t oldest = 0;
    std::int64_t produced = 0;
    std::int64_t columns = 0;
    std::int64_t rows = 0;
    std::optional<std::string> folder;
    // The foreground program's name, none when the shell itself is in front.
    std::optional<std::string> program;
    std::int64_t keep = 0;
    // Seconds left before a detached shell is closed; none while attached.
    std::optional<std::int64_t> left;

    friend bool operator==(const KeptShellInfo&, const KeptShellInfo&) = default;
};

// One command a shell with marks reported. Offsets are those of the output byte right after
// the mark that started (`started`) or finished (`finished`) it; none where the shell did not
// say.
struct CommandInfo {
    std::optional<std::string> commandLine;
    std::optional<std::int64_t> started;
    std::optional<std::int64_t> finished;
    std::optional<std::int64_t> exitCode;
    std::optional<std::int64_t> milliseconds;

    friend bool operator==(const CommandInfo&, const CommandInfo&) = default;
};

// What a client asks of the agent. Every reply must be called exactly once, from any thread.
class TerminalHelperProtocol {
public:
    using HelloReply = std::function<void(std::int64_t protocolVersion)>;
    using OpenShellReply = std::function<void(std::int32_t pid, std::optional<std::string> error)>;
    using CurrentFolderReply = std::function<void(std::optional<std::string> folder)>;
    using IsBusyReply = std::function<void(bool busy, std::optional<std::string> name)>;
    using AttachReply = std::function<void(std::int32_t pid, std::int64_t offset,
                                           std::optional<std::string> error)>;
    using ListReply = std::function<void(std::vector<KeptShellInfo> shells)>;
    using CommandsReply = std::function<void(std::vector<CommandInfo> commands)>;

    virtual ~TerminalHelperProtocol() = default;

    virtual void hello(std::int64_t clientVersion, HelloReply reply) = 0;
    virtual void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                           std::optional<std::string> shell, Environment environment,
                           ShellOptions options, OpenShellReply reply) = 0;
    virtual void write(UUID id, Bytes data) = 0;
    virtual void resize(UUID id, std::int64_t columns, std::int64_t rows) = 0;
    virtual void currentFolder(UUID id, CurrentFolderReply reply) = 0;
    virtual void isBusy(UUID id, IsBusyReply reply) = 0;
    virtual void close(UUID id) = 0;
    // Takes a kept shell onto this connection and replays its output from `from` (the oldest
    // byte kept when none).
    virtual void attach(UUID id, std::optional<std::int64_t> from, std::int64_t columns,
                        std::int64_t rows, AttachReply reply) = 0;
    virtual void detach(UUID id) = 0;
    virtual void list(ListReply reply) = 0;
    // The shell's most recent commands, oldest first; none for a shell without marks.
    virtual void commands(UUID id, CommandsReply reply) = 0;
};

} // namespace veltro
