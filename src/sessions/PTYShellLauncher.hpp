#pragma once

#include "platform/Expected.hpp"
#include "protocol/Bytes.hpp"
#include "sessions/ShellCommand.hpp"
#include "sessions/ShellLauncher.hpp"
#include "sessions/UserAccount.hpp"

#include <sys/resource.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace veltro {

class EventLoop;
class LeftoverScan;
class PTYSession;

// Starts each requested shell on a new pseudo-terminal, for one user and from one base
// environment. The blocking part of a launch (deriving the command, opening the terminal,
// spawning) runs on the loop's worker; the session is made and reported on the loop.
class PTYShellLauncher : public ShellLauncher {
public:
    using Started = std::function<void(Expected<std::shared_ptr<PTYSession>> session)>;

    // The shells it starts live on `loop`, which must outlive them.
    PTYShellLauncher(EventLoop& loop, UserAccount account, Environment baseEnvironment);

    void launch(const ShellRequest& request, ShellEvents events, Launched launched) override;
    // Starts exactly this command, as launch() does once it has derived the command. On the
    // loop; `started` runs there as `launched` would.
    void start(ShellCommand command, std::int64_t columns, std::int64_t rows, ShellEvents events,
               Started started);

    // Every openpty of the process happens under this lock, and nothing else does.
    static std::mutex& openLock();

    UserAccount account;
    Environment baseEnvironment;
    // The soft RLIMIT_NOFILE every shell starts with, so that a limit the agent raised for
    // itself is not passed on; absent, shells keep the agent's.
    std::optional<rlim_t> descriptorLimit;
    // The folder of the shell integration scripts; absent, shells asked for it start without.
    std::optional<std::string> integrationScripts;

private:
    void spawnAndStart(std::function<ShellCommand()> command, std::int64_t columns,
                       std::int64_t rows, ShellEvents events, Started started);

    EventLoop& loop;
    std::shared_ptr<LeftoverScan> leftoverScan;
};

} // namespace veltro
