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

// Only a release build with a team and a feed starts an updater, and only one that starts is
// kept. A running update cycle holds the agent exactly once, however its events repeat, and a
// downloaded update waits for the agent to exit by itself rather than ending it under its
// clients.
TEST(HelperUpdates, StartsOnlyWhatCanRunAndEachCycleHoldsTheAgentOnceWithoutInstallingAtOnce) {
    auto sink = std::make_shared<testing::RecordingSink>();
    auto lifetime = std::make_shared<HelperLifetime>(3600.0, [] {});
    int made = 0;
    auto start = [&](bool development, Signer signer, bool feed, MakeUpdater make = {}) {
        auto fake = [&](UpdaterDelegate&) {
            ++made;
            return std::make_unique<FakeUpdater>(std::nullopt);
        };
        HelperUpdates::start(lifetime, {development, signer, feed, make ? make : fake,
                                        Logger("tech.morvane.veltro", "updates", sink)});
    };
    const Signer team = Signer::team("KQ7310ZV4M");
    start(false, team, true);
    auto updates = HelperUpdates::shared();
    ASSERT_EQ(made, 1);
    start(true, team, true);
    start(false, Signer::adHoc(), true);
    start(false, Signer::certificate("ab"), true);
    start(false, team, false);
    start(false, team, true,
          [](UpdaterDelegate&) { return std::make_unique<FakeUpdater>("gone"); });
    start(false, team, true, makePlatformUpdater);
    EXPECT_EQ(made, 1);
    EXPECT_EQ(HelperUpdates::shared(), updates);
    auto entries = sink->entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].level, LogLevel::error);
    EXPECT_EQ(entries[0].message, "Updates couldn't start: gone");
    EXPECT_TRUE(entries[1].message.starts_with("Updates couldn't start: "));

    updates->didFinishUpdateCycle(std::nullopt);
    EXPECT_EQ(lifetime->updates(), 0);
    EXPECT_TRUE(updates->mayPerformUpdateCheck());
    EXPECT_TRUE(updates->mayPerformUpdateCheck());
    EXPECT_EQ(lifetime->updates(), 1);
    EXPECT_TRUE(updates->willInstallUpdateOnQuit({"1.2", "120"}, [] { FAIL(); }));
    EXPECT_EQ(lifetime->updates(), 0);
    updates->didFinishUpdateCycle("The network went away.");
    EXPECT_EQ(lifetime->updates(), 0);
    EXPECT_FALSE(updates->shouldRelaunchApplication());
}

} // namespace
} // namespace veltro
