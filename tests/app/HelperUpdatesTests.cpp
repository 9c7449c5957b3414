#include "support/RecordingSink.hpp"

#include "app/HelperUpdates.hpp"

#include <gtest/gtest.h>

namespace veltro {
namespace {

using PeerRequirement::Signer;

class FakeUpdater : public Updater {
public:
    explicit FakeUpdater(std::optional<std::string> failure) : failure(std::move(failure)) {}
    std::optional<std::string> start() override { return failure; }
    std::optional<std::string> failure;
};

class HelperUpdatesTest : public ::testing::Test {
protected:
    HelperUpdates::Conditions conditions(bool development = false,
                                         Signer signer = Signer::team("KQ7310ZV4M"),
                                         bool feed = true,
                                         std::optional<std::string> failure = std::nullopt) {
        return {development, signer, feed,
                [this, failure](UpdaterDelegate&) {
                    ++updatersMade;
                    return std::make_unique<FakeUpdater>(failure);
                },
                Logger("tech.morvane.veltro.terminal-helper", "updates", sink)};
    }

    std::shared_ptr<testing::RecordingSink> sink = std::make_shared<testing::RecordingSink>();
    // A lifetime that never expires during a test, so its update count can be read at leisure.
    std::shared_ptr<HelperLifetime> lifetime = std::make_shared<HelperLifetime>(3600.0, [] {});
    int updatersMade = 0;
};

// Whatever does not start leaves the instance that runs (if any) in place, and holds nothing.
TEST_F(HelperUpdatesTest, StartsAnUpdaterOnlyForAReleaseWithATeamAndAFeedAndOnlyIfItStarts) {
    HelperUpdates::start(lifetime, conditions());
    auto running = HelperUpdates::shared();
    ASSERT_NE(running, nullptr);
    updatersMade = 0;

    HelperUpdates::start(lifetime, conditions(true));
    HelperUpdates::start(lifetime, conditions(false, Signer::adHoc()));
    HelperUpdates::start(lifetime, conditions(false, Signer::certificate("ab")));
    HelperUpdates::start(lifetime, conditions(false, Signer::team("KQ7310ZV4M"), false));
    EXPECT_EQ(updatersMade, 0);
    EXPECT_TRUE(sink->entries().empty());

    HelperUpdates::start(lifetime, conditions(false, Signer::team("KQ7310ZV4M"), true, "gone"));
    auto platform = conditions();
    platform.makeUpdater = makePlatformUpdater;
    HelperUpdates::start(lifetime, platform);
    EXPECT_EQ(updatersMade, 1);
    EXPECT_EQ(HelperUpdates::shared(), running);
    EXPECT_EQ(lifetime->updates(), 0);
    auto entries = sink->entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, LogLevel::error);
    EXPECT_EQ(entries[0].message, "Updates couldn't start: gone");
    EXPECT_TRUE(entries[1].message.starts_with("Updates couldn't start: "));
}

// The agent must not end in the middle of a cycle, nor stay up for good after one: each cycle
// holds it exactly once, and a downloaded update waits for the agent to exit by itself.
TEST_F(HelperUpdatesTest, EachCycleHoldsTheAgentOnceAndADownloadIsNeverInstalledAtOnce) {
    HelperUpdates::start(lifetime, conditions());
    auto updates = HelperUpdates::shared();
    updates->didFinishUpdateCycle(std::nullopt);
    EXPECT_EQ(lifetime->updates(), 0);
    EXPECT_TRUE(updates->mayPerformUpdateCheck());
    EXPECT_TRUE(updates->mayPerformUpdateCheck());
    EXPECT_EQ(lifetime->updates(), 1);
    updates->didFinishUpdateCycle(std::nullopt);
    EXPECT_EQ(lifetime->updates(), 0);

    updates->mayPerformUpdateCheck();
    EXPECT_TRUE(updates->willInstallUpdateOnQuit({"1.2", "120"}, [] { FAIL(); }));
    EXPECT_EQ(lifetime->updates(), 0);
    updates->didFinishUpdateCycle("The network went away.");
    EXPECT_EQ(lifetime->updates(), 0);
    EXPECT_FALSE(updates->shouldRelaunchApplication());
}

} // namespace
} // namespace veltro
