#pragma once

#include "protocol/TerminalHelperProtocol.hpp"
#include "service/HelperLifetime.hpp"
#include "service/Locked.hpp"
#include "service/TerminalClient.hpp"
#include "sessions/ShellEvents.hpp"
#include "sessions/ShellLauncher.hpp"
#include "sessions/ShellSession.hpp"

#include <cstdint>
#include <memory>
#include <unordered_map>

namespace veltro {

// Answers one client connection: keeps that connection's shells in slots keyed by the
// identifier the client chose, starts them through the shared launcher, routes requests to
// them and forwards their events to the client while their slot is forwarding.
//
// It owns no thread: every operation runs on its caller's thread, from any number of threads at
// once. Each lock guards one value, none is held together with another, and none is held while
// calling out to the launcher, a session, the client, the lifetime tracker or a reply.
//
// A service must be owned by a std::shared_ptr: each shell's exit forwarder holds it weakly, so
// a session that outlives its connection does not keep the service alive.
class TerminalHelperService final : public TerminalHelperProtocol,
                                    public std::enable_shared_from_this<TerminalHelperService> {
public:
    // One shell's place in the table. Identity matters: a late exit removes only its own slot.
    class Slot {
    public:
        // Goes from true to false once: on close, at the end of the connection, or at exit.
        Locked<bool> forwarding{true};
        // Stored when the launch returns.
        Locked<std::shared_ptr<ShellSession>> session;
    };

    TerminalHelperService(std::shared_ptr<ShellLauncher> launcher,
                          std::shared_ptr<TerminalClient> client,
                          std::shared_ptr<HelperLifetime> lifetime);

    void hello(std::int64_t clientVersion, HelloReply reply) override;
    void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment,
                   OpenShellReply reply) override;
    void write(UUID id, Bytes data) override;
    void resize(UUID id, std::int64_t columns, std::int64_t rows) override;
    void currentFolder(UUID id, CurrentFolderReply reply) override;
    void isBusy(UUID id, IsBusyReply reply) override;
    void close(UUID id) override;

    // Ends the service for good: refuses further opens and hangs up every shell. The shells'
    // counts fall as each one reports its exit.
    void closeAll();

    // Slots that are launching or running.
    std::int64_t shellCount() const;

    const std::shared_ptr<ShellLauncher> launcher;
    const std::shared_ptr<TerminalClient> client;
    const std::shared_ptr<HelperLifetime> lifetime;

private:
    struct State {
        std::unordered_map<UUID, std::shared_ptr<Slot>> slots;
        bool ended = false;
    };

    ShellEvents events(const UUID& id, const std::shared_ptr<Slot>& slot);
    static void closeSlot(Slot& slot);
    void remove(const UUID& id, const std::shared_ptr<Slot>& slot);
    std::shared_ptr<ShellSession> session(const UUID& id);

    mutable Locked<State> state;
};

} // namespace veltro
