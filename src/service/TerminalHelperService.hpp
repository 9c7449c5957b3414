#pragma once

#include "platform/Expected.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "service/HelperLifetime.hpp"
#include "service/KeptShells.hpp"
#include "service/TerminalClient.hpp"
#include "sessions/ShellEvents.hpp"
#include "sessions/ShellLauncher.hpp"
#include "sessions/ShellSession.hpp"

#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

namespace veltro {

// Answers one client connection: keeps that connection's shells in slots keyed by the
// identifier the client chose, starts them through the shared launcher, routes requests to
// them and forwards their events to the client while their slot is forwarding.
//
// Everything runs on the event loop, so the table and the slots need no lock. A service must be
// owned by a std::shared_ptr: each shell's exit forwarder holds it weakly, so a session that
// outlives its connection does not keep the service alive.
//
// Kept shells belong to the agent's KeptShells; a slot of this table stands for one while this
// connection has it attached, and the kept shell routes its events itself.
class TerminalHelperService final : public TerminalHelperProtocol,
                                    public KeptShellHolder,
                                    public std::enable_shared_from_this<TerminalHelperService> {
public:
    // One shell's place in the table. Identity matters: a late exit removes only its own slot.
    struct Slot {
        // Goes from true to false once: on close, at the end of the connection, or at exit.
        bool forwarding = true;
        // Stored when the launch has finished.
        std::shared_ptr<ShellSession> session;
        // What the client sent while the shell was still being started; the terminal gets it,
        // in order, as soon as the shell runs, so a client need not wait for the reply to type.
        // It counts toward the same bound as the running shell's backlog.
        Bytes inputBeforeLaunch;
        std::optional<std::pair<std::int64_t, std::int64_t>> sizeBeforeLaunch;
        // Whether this shell's backlog, or its input before the launch, holds the client's
        // input back.
        bool holdsInput = false;
        // Set for a kept shell.
        std::shared_ptr<KeptShell> kept;
    };

    TerminalHelperService(std::shared_ptr<ShellLauncher> launcher,
                          std::shared_ptr<TerminalClient> client,
                          std::shared_ptr<HelperLifetime> lifetime,
                          std::shared_ptr<KeptShells> keptShells = nullptr);

    void hello(std::int64_t clientVersion, HelloReply reply) override;
    void openShell(UUID id, std::int64_t columns, std::int64_t rows, std::string folder,
                   std::optional<std::string> shell, Environment environment, ShellOptions options,
                   OpenShellReply reply) override;
    void write(UUID id, Bytes data) override;
    void resize(UUID id, std::int64_t columns, std::int64_t rows) override;
    void currentFolder(UUID id, CurrentFolderReply reply) override;
    void isBusy(UUID id, IsBusyReply reply) override;
    void close(UUID id) override;
    void attach(UUID id, std::optional<std::int64_t> from, std::int64_t columns, std::int64_t rows,
                AttachReply reply) override;
    void detach(UUID id) override;
    void list(ListReply reply) override;
    void commands(UUID id, CommandsReply reply) override;

    void keptShellLeft(const UUID& id) override;

    // Ends the service for good: refuses further opens and hangs up every shell. The shells'
    // counts fall as each one reports its exit.
    void closeAll();
    // Slots that are launching or running.
    std::int64_t shellCount() const { return std::int64_t(slots.size()); }

    const std::shared_ptr<ShellLauncher> launcher;
    const std::shared_ptr<TerminalClient> client;
    const std::shared_ptr<HelperLifetime> lifetime;
    // None: this service keeps no shells.
    const std::shared_ptr<KeptShells> keptShells;

private:
    ShellEvents events(const UUID& id, const std::shared_ptr<Slot>& slot,
                       const ShellOptions& options);
    void openKept(const ShellRequest& request, ShellOptions options, OpenShellReply reply);
    void launched(const UUID& id, const std::shared_ptr<Slot>& slot,
                  Expected<std::shared_ptr<ShellSession>> launch, const OpenShellReply& reply);
    void writeToSession(const std::shared_ptr<Slot>& slot, Bytes data);
    void holdInput(Slot& slot);
    static void releaseInput(Slot& slot, TerminalClient& client);
    void closeSlot(Slot& slot);
    void remove(const UUID& id, const std::shared_ptr<Slot>& slot);
    std::shared_ptr<Slot> slot(const UUID& id) const;

    std::unordered_map<UUID, std::shared_ptr<Slot>> slots;
    bool ended = false;
};

} // namespace veltro
