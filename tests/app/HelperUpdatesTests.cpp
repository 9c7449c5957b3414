#include "support/RecordingSink.hpp"

#include "app/BundleInformation.hpp"
#include "app/HelperUpdates.hpp"
#include "protocol/TerminalService.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <vector>

namespace veltro {
namespace {

using testing::RecordingSink;

using PeerRequirement::Signer;

class FakeUpdater : public Updater {
public:
    explicit FakeUpdater(UpdaterDelegate& delegate, std::optional<std::string> failure)
        : delegate(delegate), failure(std::move(failure)) {}
    std::optional<std::string> start() override { return failure; }
    UpdaterDelegate& delegate;
    std::optional<std::string> failure;
};

// A lifetime that never expires during a test, so its update count can be read at leisure.
std::shared_ptr<HelperLifetime> longLifetime() {
    return std::make_shared<HelperLifetime>(3600.0, [] {});
}

class HelperUpdatesTest : public ::testing::Test {
protected:
    HelperUpdates::Conditions conditions(bool development = false,
                                         Signer signer = Signer::team("KQ7310ZV4M"),
                                         bool feed = true, const char* failure = nullptr) {
        return {development, signer, feed,
                [this, failure](UpdaterDelegate& delegate) {
                    ++updatersMade;
                    std::optional<std::string> error;
                    if (failure)
                        error = failure;
                    return std::make_unique<FakeUpdater>(delegate, std::move(error));
                },
                Logger("tech.morvane.veltro.terminal-helper", "updates", sink)};
    }

    // Starts a working updater and answers the instance that now runs.
    std::shared_ptr<HelperUpdates> startRunning(const std::shared_ptr<HelperLifetime>& lifetime) {
        HelperUpdates::start(lifetime, conditions());
        EXPECT_NE(HelperUpdates::shared(), nullptr);
        return HelperUpdates::shared();
    }

    std::shared_ptr<RecordingSink> sink = std::make_shared<RecordingSink>();
    int updatersMade = 0;
};

TEST_F(HelperUpdatesTest, EachStopCreatesNoUpdaterAndLogsNothing) {
    HelperUpdates::start(longLifetime(), conditions());
    auto previous = HelperUpdates::shared();
    updatersMade = 0;

    HelperUpdates::start(longLifetime(), conditions(true));
    HelperUpdates::start(longLifetime(), conditions(false, Signer::adHoc()));
    HelperUpdates::start(longLifetime(), conditions(false, Signer::certificate("ab")));
    HelperUpdates::start(longLifetime(), conditions(false, Signer::team("KQ7310ZV4M"), false));

    EXPECT_EQ(updatersMade, 0);
    EXPECT_TRUE(sink->entries().empty());
    EXPECT_EQ(HelperUpdates::shared(), previous);
}

TEST_F(HelperUpdatesTest, UpdaterThatFailsToStartIsLoggedAndNothingIsKept) {
    HelperUpdates::start(longLifetime(), conditions());
    auto previous = HelperUpdates::shared();
    auto lifetime = longLifetime();

    HelperUpdates::start(lifetime,
                         conditions(false, Signer::team("KQ7310ZV4M"), true, "no framework"));

    EXPECT_EQ(updatersMade, 2);
    EXPECT_EQ(HelperUpdates::shared(), previous);
    EXPECT_EQ(lifetime->updates(), 0);
    ASSERT_EQ(sink->entries().size(), 1u);
    EXPECT_EQ(sink->entries()[0].level, LogLevel::error);
    EXPECT_EQ(sink->entries()[0].category, "updates");
    EXPECT_EQ(sink->entries()[0].message, "Updates couldn't start: no framework");
}

TEST_F(HelperUpdatesTest, PlatformUpdaterFailsToStartSoTheAgentRunsWithoutUpdates) {
    auto lifetime = longLifetime();
    auto platform = conditions();
    platform.makeUpdater = makePlatformUpdater;
    HelperUpdates::start(longLifetime(), conditions(true));
    HelperUpdates::start(lifetime, platform);
    ASSERT_EQ(sink->entries().size(), 1u);
    EXPECT_TRUE(sink->entries()[0].message.starts_with("Updates couldn't start: "));
    EXPECT_GT(sink->entries()[0].message.size(), std::string("Updates couldn't start: ").size());
    EXPECT_EQ(lifetime->updates(), 0);
}

TEST_F(HelperUpdatesTest, EachCycleHoldsTheAgentOnceWhateverItsEventsRepeat) {
    auto first = startRunning(longLifetime());
    auto lifetime = longLifetime();
    auto updates = startRunning(lifetime);
    EXPECT_NE(updates, first);
    updates->didFinishUpdateCycle(std::nullopt);
    EXPECT_TRUE(updates->willInstallUpdateOnQuit({"2", "2"}, [] { FAIL(); }));
    EXPECT_EQ(lifetime->updates(), 0);
    EXPECT_TRUE(updates->mayPerformUpdateCheck());
    EXPECT_TRUE(updates->mayPerformUpdateCheck());
    EXPECT_EQ(lifetime->updates(), 1);
    updates->didFinishUpdateCycle(std::nullopt);
    EXPECT_EQ(lifetime->updates(), 0);
}

TEST_F(HelperUpdatesTest, DownloadThenFailedCycleEndEndsTheHoldOnce) {
    auto lifetime = longLifetime();
    auto updates = startRunning(lifetime);
    updates->mayPerformUpdateCheck();
    bool installedNow = false;
    EXPECT_TRUE(updates->willInstallUpdateOnQuit({"1.2", "120"}, [&] { installedNow = true; }));
    EXPECT_EQ(lifetime->updates(), 0);
    updates->didFinishUpdateCycle("The network went away.");
    EXPECT_EQ(lifetime->updates(), 0);
    EXPECT_FALSE(installedNow);
    EXPECT_FALSE(updates->isUnderway());

    ASSERT_EQ(sink->entries().size(), 2u);
    EXPECT_EQ(sink->entries()[0].level, LogLevel::notice);
    EXPECT_EQ(sink->entries()[0].message,
              "Downloaded update 1.2 (120); it installs when the helper exits");
    EXPECT_EQ(sink->entries()[1].level, LogLevel::notice);
    EXPECT_EQ(sink->entries()[1].message, "Update check: The network went away.");
}

TEST(BundleInformation, HoldsTheFeedKeyOnlyWhenAFeedIsConfigured) {
    EXPECT_FALSE(makeBundleInformation("id", "1.0", "").contains("SUFeedURL"));
    auto withFeed = makeBundleInformation("id", "1.0", "https://example.org/appcast.xml");
    EXPECT_EQ(withFeed.at("SUFeedURL"), "https://example.org/appcast.xml");
    EXPECT_EQ(mainBundleInformation().at("CFBundleIdentifier"),
              TerminalService::mainBundleIdentifier());
}

} // namespace
} // namespace veltro
