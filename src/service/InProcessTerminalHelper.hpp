#pragma once

#include "ipc/Listener.hpp"
#include "platform/EventLoop.hpp"
#include "service/HelperLifetime.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"
#include "sessions/ShellLauncher.hpp"

#include <memory>

namespace veltro {

// Runs the helper service inside a host process: an anonymous listener with the service's
// delegate, reached through endpoint() by a client in the same process. No requirement is set;
// the peer is this process. It listens until stop() or its destruction. Its members may be
// called from any thread.
class InProcessTerminalHelper {
public:
    // Listens on `loop`, which must outlive it.
    InProcessTerminalHelper(EventLoop& loop, std::shared_ptr<ShellLauncher> launcher,
                            std::shared_ptr<HelperLifetime> lifetime);
    ~InProcessTerminalHelper();
    InProcessTerminalHelper(const InProcessTerminalHelper&) = delete;
    InProcessTerminalHelper& operator=(const InProcessTerminalHelper&) = delete;

    ipc::Endpoint endpoint() const;
    // Accepts no further connections; those already made go on.
    void stop();

private:
    EventLoop& loop;
    std::shared_ptr<ipc::Listener> listener;
    // Held here because the listener does not keep its delegate alive.
    std::shared_ptr<TerminalHelperListenerDelegate> delegate;
};

} // namespace veltro
