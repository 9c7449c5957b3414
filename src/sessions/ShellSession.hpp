#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/TerminalHelperProtocol.hpp"

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

struct ForegroundProcess {
    bool busy = false;
    std::optional<std::string> name;

    friend bool operator==(const ForegroundProcess&, const ForegroundProcess&) = default;
};

// One running shell. Every member is called on the event loop; the two questions answer at
// once from the kernel's state.
class ShellSession {
public:
    // Input waiting for the terminal past which write() asks the caller to hold back.
    static constexpr std::size_t inputBacklogLimit = 1024 * 1024;

    virtual ~ShellSession() = default;

    virtual pid_t pid() const = 0;
    // Queues input for the terminal; no byte is ever dropped. Answers false once the input
    // waiting for the terminal has passed its bound (about 1 MiB): the caller then stops taking
    // input for this shell and asks whenInputDrained().
    virtual bool write(Bytes data) = 0;
    // Runs `drained` once, on the loop, when the waiting input has fallen below the bound again
    // or the session has finished; at once when it is below already.
    virtual void whenInputDrained(std::function<void()> drained) = 0;
    virtual void resize(std::int64_t columns, std::int64_t rows) = 0;
    // Tells the program in front that its window changed although its size did not, so a
    // full-screen program draws its screen again.
    virtual void signalWindowChange() = 0;
    virtual std::optional<std::string> currentFolder() = 0;
    virtual ForegroundProcess foregroundProcess() = 0;
    // The most recent commands the shell marked, oldest first; none when its marks are not read.
    virtual std::vector<CommandInfo> commands() const { return {}; }
    virtual void close() = 0;
};

} // namespace veltro
