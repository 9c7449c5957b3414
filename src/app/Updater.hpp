#pragma once

#include "platform/Expected.hpp"

#include <functional>
#include <memory>
#include <string>

namespace veltro {

// A downloaded update, as the updater describes it.
struct AppcastItem {
    std::string displayVersionString;
    std::string versionString;
};

// The questions an updater asks its host, and the events it reports. All of them come on the
// main thread.
class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;

    // Before each check; answering false skips it.
    virtual bool mayPerformUpdateCheck() = 0;
    // A downloaded update is ready. `immediateInstallation` would install it now and end the
    // process; answering true defers the installation until the process has exited.
    virtual bool willInstallUpdateOnQuit(const AppcastItem& item,
                                         std::function<void()> immediateInstallation) = 0;
    virtual bool shouldRelaunchApplication() = 0;
    // One update cycle is over, completed or ended by an error.
    virtual void didFinishUpdateCycle(const Expected<void>& cycle) = 0;
    virtual bool supportsGentleScheduledUpdateReminders() = 0;
};

// A software-update engine for this very program, reporting to its delegate.
class Updater {
public:
    virtual ~Updater() = default;
    // Starts checking on the updater's own schedule, or answers why it could not.
    virtual Expected<void> start() = 0;
};

// Makes the updater for the main bundle, with `delegate` as the delegate of both the updater
// and its user driver. The delegate outlives the updater.
using MakeUpdater = std::function<std::unique_ptr<Updater>(UpdaterDelegate& delegate)>;

// What this platform offers: distributions update the agent through their package managers,
// so the updater never starts.
std::unique_ptr<Updater> makePlatformUpdater(UpdaterDelegate& delegate);

} // namespace veltro
