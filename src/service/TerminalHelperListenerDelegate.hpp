#pragma once

#include "ipc/Listener.hpp"
#include "platform/Logger.hpp"
#include "protocol/PeerRequirement.hpp"
#include "service/HelperLifetime.hpp"
#include "service/KeptShells.hpp"
#include "sessions/ShellLauncher.hpp"

#include <sys/resource.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

// Accepts every connection the listener hands over: binds it to the requirement its peer must
// meet, gives it a service of its own with a client link, makes its end close all of its shells,
// and counts it with the lifetime tracker.
class TerminalHelperListenerDelegate final : public ipc::ListenerDelegate {
public:
    TerminalHelperListenerDelegate(std::optional<std::string> requirement,
                                   std::shared_ptr<ShellLauncher> launcher,
                                   std::shared_ptr<HelperLifetime> lifetime,
                                   std::shared_ptr<KeptShells> keptShells = nullptr);

    // The agent's delegate: the requirement built from `signer` for the client application,
    // logged once, and one shell launcher for the current user and this process's environment,
    // whose shells start with `shellDescriptorLimit` as their soft descriptor limit when given.
    // The shells live on `loop`.
    static std::shared_ptr<TerminalHelperListenerDelegate>
    forAgent(EventLoop& loop, std::shared_ptr<HelperLifetime> lifetime,
             const PeerRequirement::Signer& signer = PeerRequirement::signerOfThisProcess(),
             std::shared_ptr<LogSink> sink = LogSink::system(),
             std::optional<rlim_t> shellDescriptorLimit = std::nullopt);

    bool
    shouldAcceptNewConnection(ipc::Listener& listener,
                              const std::shared_ptr<ipc::AgentConnection>& connection) override;

    // Ends every connection this delegate accepted that is still open, as if its peer had gone,
    // and hangs up every kept shell too: for an agent that is ending. Called on the event loop.
    void disconnectAll();

    // Absent: no check beyond the one every listener makes (the peer runs as our user).
    const std::optional<std::string> requirement;
    // Every service of the process shares this one launcher.
    const std::shared_ptr<ShellLauncher> launcher;
    const std::shared_ptr<HelperLifetime> lifetime;
    // Shared by every service: a kept shell outlives the connection that opened it.
    const std::shared_ptr<KeptShells> keptShells;

private:
    std::vector<std::weak_ptr<ipc::AgentConnection>> accepted;
};

} // namespace veltro
