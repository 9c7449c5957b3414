#pragma once

#include "platform/Expected.hpp"
#include "sessions/ShellEvents.hpp"
#include "sessions/ShellRequest.hpp"
#include "sessions/ShellSession.hpp"

#include <functional>
#include <memory>
#include <string>

namespace veltro {

// Starts shells. launch() is called on the event loop and returns at once; the blocking part
// (deriving the command, opening the terminal, spawning) runs on the loop's worker. `launched`
// runs exactly once on the loop: with the running session, or with the error whose text is the
// whole message for the user, having left no process or descriptor behind and delivered no
// event. Events may reach `events` only after `launched` has run.
class ShellLauncher {
public:
    using Launched = std::function<void(Expected<std::shared_ptr<ShellSession>> session)>;

    virtual ~ShellLauncher() = default;
    virtual void launch(const ShellRequest& request, ShellEvents events, Launched launched) = 0;
};

} // namespace veltro
