#include "app/HelperUpdates.hpp"

#include "app/BuildInformation.hpp"
#include "protocol/TerminalService.hpp"

namespace veltro {

HelperUpdates::Conditions HelperUpdates::Conditions::ofThisProcess() {
    return {TerminalService::isDevelopment(), PeerRequirement::signerOfThisProcess(),
            buildInformation().contains("SUFeedURL"), makePlatformUpdater,
            Logger(TerminalService::helperBundleID(), "updates")};
}

void HelperUpdates::start(std::shared_ptr<HelperLifetime> lifetime) {
    start(std::move(lifetime), Conditions::ofThisProcess());
}

void HelperUpdates::start(std::shared_ptr<HelperLifetime> lifetime, Conditions conditions) {
    if (conditions.isDevelopment)
        return;
    if (conditions.signer.kind != PeerRequirement::Signer::Kind::team)
        return;
    if (!conditions.hasFeedURL)
        return;

    auto instance = std::make_shared<HelperUpdates>(std::move(lifetime), conditions.logger);
    std::unique_ptr<Updater> updater = conditions.makeUpdater(*instance);
    if (auto started = updater->start(); !started) {
        conditions.logger.error("Updates couldn't start: " + started.error());
        return;
    }
    instance->updater = std::move(updater);
    sharedSlot() = std::move(instance);
}

std::shared_ptr<HelperUpdates>& HelperUpdates::sharedSlot() {
    static std::shared_ptr<HelperUpdates> slot;
    return slot;
}

const std::shared_ptr<HelperUpdates>& HelperUpdates::shared() {
    return sharedSlot();
}

void HelperUpdates::stop() {
    sharedSlot().reset();
}

HelperUpdates::HelperUpdates(std::shared_ptr<HelperLifetime> lifetime, Logger logger)
    : lifetime(std::move(lifetime)), logger(std::move(logger)) {}

// The updater reports to this object, so it goes first.
HelperUpdates::~HelperUpdates() {
    updater.reset();
}

bool HelperUpdates::mayPerformUpdateCheck() {
    if (!underway) {
        underway = true;
        lifetime->updateStarted();
    }
    return true;
}

// Installing now would end the agent under its clients' feet; answering true without calling
// the block leaves the update for after the agent has exited by itself.
bool HelperUpdates::willInstallUpdateOnQuit(const AppcastItem& item,
                                            std::function<void()> /*immediateInstallation*/) {
    logger.notice("Downloaded update " + item.displayVersionString + " (" + item.versionString +
                  "); it installs when the helper exits");
    endCycle();
    return true;
}

bool HelperUpdates::shouldRelaunchApplication() {
    return false;
}

void HelperUpdates::didFinishUpdateCycle(const Expected<void>& cycle) {
    if (!cycle)
        logger.notice("Update check: " + cycle.error());
    endCycle();
}

bool HelperUpdates::supportsGentleScheduledUpdateReminders() {
    return true;
}

// Whichever of "download ready" and "cycle finished" comes first gives the hold back; the
// other finds nothing to give.
void HelperUpdates::endCycle() {
    if (!underway)
        return;
    underway = false;
    lifetime->updateEnded();
}

} // namespace veltro
