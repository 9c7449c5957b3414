#pragma once

#include "sessions/ShellEvents.hpp"
#include "sessions/ShellRequest.hpp"
#include "sessions/ShellSession.hpp"

#include <memory>

namespace veltro {

// Starts shells. Events may reach `events` before launch() returns, so a caller that matches
// events to its own bookkeeping must have it in place first. A failed launch throws
// ShellLaunchError, leaves no process behind and delivers no event.
class ShellLauncher {
public:
    virtual ~ShellLauncher() = default;
    virtual std::shared_ptr<ShellSession> launch(const ShellRequest& request,
                                                 ShellEvents events) = 0;
};

} // namespace veltro
