#pragma once

#include "app/Updater.hpp"
#include "platform/Logger.hpp"
#include "protocol/PeerRequirement.hpp"
#include "service/HelperLifetime.hpp"

#include <memory>

namespace veltro {

// Keeps the agent up to date without ever pulling the ground from under a client: an update
// cycle holds the lifetime tracker so the agent stays up while it runs, a downloaded update
// waits until the agent has exited on its own, and the agent is never relaunched.
//
// Bound to the main thread: start() and every delegate answer run there, and so does every
// change of `underway`.
class HelperUpdates : public UpdaterDelegate {
public:
    // What start() decides on. Tests replace the facts of this process.
    struct Conditions {
        bool isDevelopment = false;
        PeerRequirement::Signer signer;
        bool hasFeedURL = false;
        MakeUpdater makeUpdater;
        Logger logger;

        // This build, this process's signer, the main bundle's information, this platform's
        // updater and the "updates" log.
        static Conditions ofThisProcess();
    };

    // Called once, in agent mode, after the listener has started. Returns quietly, creating
    // nothing, for a development build, a build without a team, or one without an update
    // feed. Otherwise starts an updater and keeps it in shared(); an updater that fails to
    // start is logged and dropped, and the agent runs on without updates.
    static void start(std::shared_ptr<HelperLifetime> lifetime);
    static void start(std::shared_ptr<HelperLifetime> lifetime, Conditions conditions);

    // The one running instance, if an updater has started.
    static const std::shared_ptr<HelperUpdates>& shared();
    // Stops the running updater, if any, and lets go of the lifetime tracker: called once the
    // agent has ended, before the loop the tracker lives on goes away.
    static void stop();

    HelperUpdates(std::shared_ptr<HelperLifetime> lifetime, Logger logger);
    HelperUpdates(const HelperUpdates&) = delete;
    HelperUpdates& operator=(const HelperUpdates&) = delete;
    ~HelperUpdates() override;

    bool mayPerformUpdateCheck() override;
    bool willInstallUpdateOnQuit(const AppcastItem& item,
                                 std::function<void()> immediateInstallation) override;
    bool shouldRelaunchApplication() override;
    void didFinishUpdateCycle(const Expected<void>& cycle) override;
    bool supportsGentleScheduledUpdateReminders() override;

    bool isUnderway() const { return underway; }

private:
    static std::shared_ptr<HelperUpdates>& sharedSlot();
    void endCycle();

    const std::shared_ptr<HelperLifetime> lifetime;
    std::unique_ptr<Updater> updater;
    bool underway = false;
    Logger logger;
};

} // namespace veltro
