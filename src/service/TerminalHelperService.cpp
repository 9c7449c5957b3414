#include "service/TerminalHelperService.hpp"

#include "protocol/TerminalService.hpp"

#include <vector>

namespace veltro {

namespace {

constexpr const char* connectionEndedText = "The connection has ended.";
constexpr const char* duplicateIdText = "A shell with this id is already open.";
constexpr const char* relativeShellText = "a shell must be named by an absolute path.";
constexpr const char* noKeptShellText = "No kept shell with this id.";

} // namespace

TerminalHelperService::TerminalHelperService(std::shared_ptr<ShellLauncher> launcher,
                                             std::shared_ptr<TerminalClient> client,
                                             std::shared_ptr<HelperLifetime> lifetime,
                                             std::shared_ptr<KeptShells> keptShells)
    : launcher(std::move(launcher)), client(std::move(client)), lifetime(std::move(lifetime)),
      keptShells(std::move(keptShells)) {}

void TerminalHelperService::hello(std::int64_t, HelloReply reply) {
    reply(TerminalService::protocolVersion);
}

void TerminalHelperService::openShell(UUID id, std::int64_t columns, std::int64_t rows,
                                      std::string folder, std::optional<std::string> shell,
                                      Environment environment, ShellOptions options,
                                      OpenShellReply reply) {
    if (ended) {
        reply(0, std::string(connectionEndedText));
        return;
    }
    // Checked here, before a launch is queued: a relative path would be resolved against
    // whatever folder the shell starts in.
    if (shell && !shell->starts_with('/')) {
        reply(0, "Couldn\u2019t start \u201c" + *shell + "\u201d: " + relativeShellText);
        return;
    }
    if (slots.contains(id)) {
        reply(0, std::string(duplicateIdText));
        return;
    }
    ShellRequest request{id,
                         columns,
                         rows,
                         std::move(folder),
                         std::move(shell),
                         std::move(environment),
                         options.integration};
    // A history without a keep period has nobody to replay to, so such a shell is version 1's.
    if (options.isKept()) {
        openKept(request, options, std::move(reply));
        return;
    }
    auto reserved = std::make_shared<Slot>();
    slots.emplace(id, reserved);
    if (lifetime)
        lifetime->shellStarted();
    launcher->launch(request, events(id, reserved, options),
                     [self = shared_from_this(), id, reserved,
                      reply = std::move(reply)](Expected<std::shared_ptr<ShellSession>> launch) {
                         self->launched(id, reserved, std::move(launch), reply);
                     });
}

// The registry counts a kept shell with the lifetime, from here to the moment it is forgotten.
void TerminalHelperService::openKept(const ShellRequest& request, ShellOptions options,
                                     OpenShellReply reply) {
    if (!keptShells) {
        reply(0, std::string("This agent keeps no shells."));
        return;
    }
    auto created = keptShells->create(request.id, client->identifier(), options, request.columns,
                                      request.rows);
    if (!created) {
        reply(0, std::move(created.error()));
        return;
    }
    std::shared_ptr<KeptShell> kept = std::move(*created);
    auto reserved = std::make_shared<Slot>();
    reserved->kept = kept;
    slots.emplace(request.id, reserved);
    kept->openedBy(weak_from_this(), client);
    launcher->launch(request, kept->events(),
                     [self = shared_from_this(), id = request.id, reserved,
                      reply = std::move(reply)](Expected<std::shared_ptr<ShellSession>> launch) {
                         self->launched(id, reserved, std::move(launch), reply);
                     });
}

void TerminalHelperService::launched(const UUID& id, const std::shared_ptr<Slot>& slot,
                                     Expected<std::shared_ptr<ShellSession>> launch,
                                     const OpenShellReply& reply) {
    if (!launch) {
        remove(id, slot);
        slot->forwarding = false;
        slot->inputBeforeLaunch = Bytes();
        releaseInput(*slot, *client);
        if (slot->kept)
            slot->kept->abandon();
        else if (lifetime)
            lifetime->shellEnded();
        reply(0, std::move(launch.error()));
        return;
    }
    std::shared_ptr<ShellSession> session = std::move(*launch);
    if (!slot->forwarding) {
        // Closed or ended while the launch was under way: the slot has left the table for good,
        // so it does not keep the session, which would tie session, events and slot into a
        // cycle that nothing breaks.
        session->close();
        reply(session->pid(), std::nullopt);
        return;
    }
    slot->session = session;
    if (slot->kept)
        slot->kept->launched(session);
    if (auto size = std::exchange(slot->sizeBeforeLaunch, std::nullopt))
        session->resize(size->first, size->second);
    Bytes early = std::exchange(slot->inputBeforeLaunch, {});
    if (slot->holdsInput) {
        // Held back while the shell was starting: the hold passes to the terminal's backlog.
        session->write(std::move(early));
        session->whenInputDrained([slot, client = client] { releaseInput(*slot, *client); });
    } else if (!early.empty()) {
        writeToSession(slot, std::move(early));
    }
    reply(session->pid(), std::nullopt);
}

ShellEvents TerminalHelperService::events(const UUID& id, const std::shared_ptr<Slot>& slot,
                                          const ShellOptions& options) {
    ShellEvents shellEvents;
    if (options.reportsCommands()) {
        shellEvents.commandStarted = [slot, client = client,
                                      id](std::int64_t offset,
                                          const std::optional<std::string>& commandLine) {
            if (slot->forwarding)
                client->commandStarted(id, offset, commandLine);
        };
        shellEvents.commandFinished =
            [slot, client = client, id](std::int64_t offset, std::optional<std::int64_t> exitCode,
                                        std::int64_t milliseconds) {
                if (slot->forwarding)
                    client->commandFinished(id, offset, exitCode, milliseconds);
            };
    }
    shellEvents.output = [slot, client = client, id](ByteView chunk, ShellEvents::Sent sent) {
        if (!slot->forwarding) {
            sent();
            return;
        }
        client->output(id, chunk, std::move(sent));
    };
    shellEvents.folderChanged = [slot, client = client, id](std::string folder) {
        if (slot->forwarding)
            client->folderChanged(id, std::move(folder));
    };
    shellEvents.exited = [slot, client = client, id, service = weak_from_this(),
                          lifetime = lifetime](std::int32_t status) {
        bool wasForwarding = std::exchange(slot->forwarding, false);
        if (auto alive = service.lock())
            alive->remove(id, slot);
        if (wasForwarding)
            client->exited(id, status);
        if (lifetime)
            lifetime->shellEnded();
        // Nothing reaches this session through the slot any more; dropping it breaks the cycle
        // session -> events -> slot -> session.
        slot->session.reset();
    };
    return shellEvents;
}

void TerminalHelperService::remove(const UUID& id, const std::shared_ptr<Slot>& slot) {
    auto entry = slots.find(id);
    if (entry != slots.end() && entry->second == slot)
        slots.erase(entry);
}

std::shared_ptr<TerminalHelperService::Slot> TerminalHelperService::slot(const UUID& id) const {
    auto entry = slots.find(id);
    return entry == slots.end() ? nullptr : entry->second;
}

void TerminalHelperService::write(UUID id, Bytes data) {
    auto found = slot(id);
    if (!found || data.empty())
        return;
    if (!found->session) {
        Bytes& early = found->inputBeforeLaunch;
        if (early.empty())
            early = std::move(data);
        else
            early.insert(early.end(), data.begin(), data.end());
        // A client typing ahead of a slow launch is held back as a slow shell would hold it.
        if (early.size() > ShellSession::inputBacklogLimit)
            holdInput(*found);
        return;
    }
    writeToSession(found, std::move(data));
}

// A shell whose program does not read would otherwise make the agent hold whatever the client
// sends; past the session's bound the client's input waits in its own socket instead.
void TerminalHelperService::writeToSession(const std::shared_ptr<Slot>& slot, Bytes data) {
    if (slot->session->write(std::move(data)) || slot->holdsInput)
        return;
    holdInput(*slot);
    slot->session->whenInputDrained([slot, client = client] { releaseInput(*slot, *client); });
}

void TerminalHelperService::holdInput(Slot& slot) {
    if (!std::exchange(slot.holdsInput, true))
        client->suspendInput();
}

void TerminalHelperService::releaseInput(Slot& slot, TerminalClient& client) {
    if (std::exchange(slot.holdsInput, false))
        client.resumeInput();
}

void TerminalHelperService::resize(UUID id, std::int64_t columns, std::int64_t rows) {
    auto found = slot(id);
    if (!found)
        return;
    if (found->kept)
        found->kept->resized(columns, rows);
    if (found->session)
        found->session->resize(columns, rows);
    else
        found->sizeBeforeLaunch = {columns, rows};
}

void TerminalHelperService::currentFolder(UUID id, CurrentFolderReply reply) {
    auto found = slot(id);
    reply(found && found->session ? found->session->currentFolder() : std::nullopt);
}

void TerminalHelperService::isBusy(UUID id, IsBusyReply reply) {
    auto found = slot(id);
    if (!found || !found->session) {
        reply(false, std::nullopt);
        return;
    }
    ForegroundProcess process = found->session->foregroundProcess();
    reply(process.busy, std::move(process.name));
}

// Stops forwarding, then hangs up the session if the launch has stored one; a launch still under
// way finds the cleared flag when it finishes and closes its session itself, and the input it
// was to get is dropped with the hold it had on the client.
void TerminalHelperService::closeSlot(Slot& slot) {
    slot.forwarding = false;
    slot.inputBeforeLaunch = Bytes();
    if (slot.kept) {
        slot.kept->close();
        releaseInput(slot, *client);
        return;
    }
    if (slot.session)
        slot.session->close();
    else
        // A running session lets go of its hold once its terminal is given up.
        releaseInput(slot, *client);
}

void TerminalHelperService::close(UUID id) {
    auto entry = slots.find(id);
    if (entry == slots.end())
        return;
    std::shared_ptr<Slot> removed = std::move(entry->second);
    slots.erase(entry);
    closeSlot(*removed);
}

void TerminalHelperService::attach(UUID id, std::optional<std::int64_t> from, std::int64_t columns,
                                   std::int64_t rows, AttachReply reply) {
    // The same answer whether or not another identifier has a shell of this id.
    auto kept = keptShells ? keptShells->find(client->identifier(), id) : nullptr;
    if (!kept || ended) {
        reply(0, 0, std::string(ended ? connectionEndedText : noKeptShellText));
        return;
    }
    if (auto existing = slot(id)) {
        reply(0, 0,
              std::string(existing->kept == kept ? "This connection has this shell already."
                                                 : duplicateIdText));
        return;
    }
    if (!kept->session() && !kept->hasExited()) {
        reply(0, 0, std::string("The shell is still starting."));
        return;
    }
    auto offset = kept->attach(weak_from_this(), client, from, columns, rows);
    if (!offset) {
        reply(0, 0, std::move(offset.error()));
        return;
    }
    if (!kept->hasExited()) {
        auto attached = std::make_shared<Slot>();
        attached->kept = kept;
        attached->session = kept->session();
        slots.emplace(id, attached);
    }
    reply(kept->pid(), *offset, std::nullopt);
    // The kept output follows the answer, which may wait behind slower answers.
    client->afterResponses([kept] { kept->startReplay(); });
}

void TerminalHelperService::detach(UUID id) {
    auto found = slot(id);
    if (!found || !found->kept || !found->kept->isHeldBy(this)) {
        client->error("detach", "detach: no kept shell with this id is attached here.");
        return;
    }
    slots.erase(id);
    releaseInput(*found, *client);
    found->kept->detach();
}

void TerminalHelperService::keptShellLeft(const UUID& id) {
    auto found = slot(id);
    if (!found || !found->kept)
        return;
    slots.erase(id);
    found->forwarding = false;
    releaseInput(*found, *client);
}

void TerminalHelperService::list(ListReply reply) {
    std::vector<KeptShellInfo> shells;
    if (keptShells)
        for (const auto& kept : keptShells->of(client->identifier()))
            shells.push_back(kept->info());
    reply(std::move(shells));
}

void TerminalHelperService::commands(UUID id, CommandsReply reply) {
    auto found = slot(id);
    reply(found && found->session ? found->session->commands() : std::vector<CommandInfo>());
}

void TerminalHelperService::closeAll() {
    ended = true;
    std::vector<std::shared_ptr<Slot>> taken;
    taken.reserve(slots.size());
    for (auto& entry : slots)
        taken.push_back(std::move(entry.second));
    slots.clear();
    for (const auto& closed : taken) {
        // A kept shell outlives its connection; one still starting goes with it.
        if (closed->kept && closed->session) {
            releaseInput(*closed, *client);
            closed->kept->detach();
        } else {
            closeSlot(*closed);
        }
    }
}

} // namespace veltro
