#include "service/TerminalHelperService.hpp"

#include "protocol/TerminalService.hpp"
#include "sessions/ShellLaunchError.hpp"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

namespace veltro {

namespace {

constexpr const char* connectionEndedText = "The connection has ended.";
constexpr const char* duplicateIdText = "A shell with this id is already open.";

// The text the client sees for a failed launch: a ShellLaunchError's description unchanged,
// any other error's own description.
std::string describe(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const ShellLaunchError& launchError) {
        return launchError.description;
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "Unknown error";
    }
}

} // namespace

TerminalHelperService::TerminalHelperService(std::shared_ptr<ShellLauncher> launcher,
                                             std::shared_ptr<TerminalClient> client,
                                             std::shared_ptr<HelperLifetime> lifetime)
    : launcher(std::move(launcher)), client(std::move(client)), lifetime(std::move(lifetime)) {}

void TerminalHelperService::hello(std::int64_t, HelloReply reply) {
    reply(TerminalService::protocolVersion);
}

void TerminalHelperService::openShell(UUID id, std::int64_t columns, std::int64_t rows,
                                      std::string folder, std::optional<std::string> shell,
                                      Environment environment, OpenShellReply reply) {
    auto slot = std::make_shared<Slot>();
    const char* refusal = state.with([&](State& value) -> const char* {
        if (value.ended)
            return connectionEndedText;
        if (!value.slots.try_emplace(id, slot).second)
            return duplicateIdText;
        return nullptr;
    });
    if (refusal) {
        reply(0, std::string(refusal));
        return;
    }

    // The slot is reserved before the launch, so events that arrive before launch() returns
    // find it in place.
    ShellEvents shellEvents = events(id, slot);
    if (lifetime)
        lifetime->shellStarted();

    ShellRequest request{
        id, columns, rows, std::move(folder), std::move(shell), std::move(environment)};
    std::shared_ptr<ShellSession> launched;
    try {
        launched = launcher->launch(request, std::move(shellEvents));
    } catch (...) {
        std::string text = describe(std::current_exception());
        remove(id, slot);
        if (lifetime)
            lifetime->shellEnded();
        reply(0, std::move(text));
        return;
    }

    slot->session.exchange(launched);
    if (!slot->forwarding.load()) {
        // Closed, ended or exited while the launch was under way. The slot has left the table
        // for good, so it lets go of the session again: keeping it would tie the session and
        // its events (which hold this slot) into a cycle that nothing breaks.
        slot->session.exchange(nullptr);
        launched->close();
    }
    reply(launched->pid(), std::nullopt);
}

ShellEvents TerminalHelperService::events(const UUID& id, const std::shared_ptr<Slot>& slot) {
    std::weak_ptr<TerminalHelperService> self = weak_from_this();
    if (self.expired()) {
        std::fputs("TerminalHelperService must be owned by a std::shared_ptr\n", stderr);
        std::abort();
    }
    ShellEvents shellEvents;
    shellEvents.output = [slot, client = client, id](Bytes chunk, ShellEvents::Sent sent) {
        if (!slot->forwarding.load()) {
            sent();
            return;
        }
        client->output(id, std::move(chunk), std::move(sent));
    };
    shellEvents.folderChanged = [slot, client = client, id](std::string folder) {
        if (!slot->forwarding.load())
            return;
        client->folderChanged(id, std::move(folder));
    };
    shellEvents.exited = [slot, client = client, id, service = std::move(self),
                          lifetime = lifetime](std::int32_t status) {
        bool wasForwarding = slot->forwarding.exchange(false);
        if (auto alive = service.lock())
            alive->remove(id, slot);
        if (wasForwarding)
            client->exited(id, status);
        if (lifetime)
            lifetime->shellEnded();
        // Nothing reaches this session through the slot any more; dropping it breaks the cycle
        // session -> events -> slot -> session. The session's own queue keeps it alive while
        // this callback runs.
        slot->session.exchange(nullptr);
    };
    return shellEvents;
}

void TerminalHelperService::remove(const UUID& id, const std::shared_ptr<Slot>& slot) {
    state.with([&](State& value) {
        auto entry = value.slots.find(id);
        if (entry != value.slots.end() && entry->second == slot)
            value.slots.erase(entry);
    });
}

std::shared_ptr<ShellSession> TerminalHelperService::session(const UUID& id) {
    std::shared_ptr<Slot> slot = state.with([&](State& value) -> std::shared_ptr<Slot> {
        auto entry = value.slots.find(id);
        return entry == value.slots.end() ? nullptr : entry->second;
    });
    if (!slot)
        return nullptr;
    return slot->session.load();
}

void TerminalHelperService::write(UUID id, Bytes data) {
    if (auto found = session(id))
        found->write(std::move(data));
}

void TerminalHelperService::resize(UUID id, std::int64_t columns, std::int64_t rows) {
    if (auto found = session(id))
        found->resize(columns, rows);
}

void TerminalHelperService::currentFolder(UUID id, CurrentFolderReply reply) {
    auto found = session(id);
    reply(found ? found->currentFolder() : std::nullopt);
}

void TerminalHelperService::isBusy(UUID id, IsBusyReply reply) {
    auto found = session(id);
    if (!found) {
        reply(false, std::nullopt);
        return;
    }
    ForegroundProcess process = found->foregroundProcess();
    reply(process.busy, std::move(process.name));
}

// Stops forwarding, then hangs up the session if the launch has stored one. A launch still
// under way sees the cleared flag when it returns and closes its session itself.
void TerminalHelperService::closeSlot(Slot& slot) {
    slot.forwarding.exchange(false);
    if (auto stored = slot.session.load())
        stored->close();
}

void TerminalHelperService::close(UUID id) {
    std::shared_ptr<Slot> slot = state.with([&](State& value) -> std::shared_ptr<Slot> {
        auto entry = value.slots.find(id);
        if (entry == value.slots.end())
            return nullptr;
        std::shared_ptr<Slot> removed = std::move(entry->second);
        value.slots.erase(entry);
        return removed;
    });
    if (slot)
        closeSlot(*slot);
}

void TerminalHelperService::closeAll() {
    std::vector<std::shared_ptr<Slot>> taken = state.with([](State& value) {
        value.ended = true;
        std::vector<std::shared_ptr<Slot>> slots;
        slots.reserve(value.slots.size());
        for (auto& entry : value.slots)
            slots.push_back(std::move(entry.second));
        value.slots.clear();
        return slots;
    });
    for (const auto& slot : taken)
        closeSlot(*slot);
}

std::int64_t TerminalHelperService::shellCount() const {
    return state.with([](const State& value) { return std::int64_t(value.slots.size()); });
}

} // namespace veltro
