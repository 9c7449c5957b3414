#include "service/Fakes.hpp"
#include "support/RecordingSink.hpp"

#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::testing;

namespace {

struct Accepting {
    std::shared_ptr<FakeLauncher> launcher = std::make_shared<FakeLauncher>();
    std::shared_ptr<HelperLifetime> lifetime = std::make_shared<HelperLifetime>(3600.0, [] {});
    TerminalHelperListenerDelegate delegate{"identifier \"x\"", launcher, lifetime};
    // The delegate does not look at the listener it is called for.
    std::shared_ptr<xpc::Listener> listener = xpc::Listener::anonymous();

    std::shared_ptr<FakeConnection> accept() {
        auto connection = std::make_shared<FakeConnection>();
        EXPECT_TRUE(delegate.shouldAcceptNewConnection(*listener, connection));
        return connection;
    }

    void open(FakeConnection& connection, const UUID& id) {
        connection.exported->openShell(id, 80, 24, "/", std::nullopt, {},
                                       [](std::int32_t, std::optional<std::string>) {});
    }
};

} // namespace

TEST(TerminalHelperListenerDelegate, SetsUpEachConnectionCountsItAndEndsItsShellsWithIt) {
    Accepting a;
    auto first = a.accept();
    auto second = a.accept();
    EXPECT_EQ(first->steps,
              (std::vector<std::string>{"requirement", "exported", "invalidation", "resume"}));
    EXPECT_EQ(first->requirement, "identifier \"x\"");
    EXPECT_NE(first->exported, second->exported);
    EXPECT_EQ(a.lifetime->connections(), 2);

    UUID id = UUID::random();
    a.open(*first, id);
    a.open(*second, id);
    a.launcher->sessions.at(0)->exit(3);
    EXPECT_EQ(first->exits, (std::vector<std::pair<UUID, std::int32_t>>{{id, 3}}));
    EXPECT_TRUE(second->exits.empty());

    first->invalidate();
    EXPECT_EQ(a.lifetime->connections(), 1);
    EXPECT_EQ(a.launcher->sessions.at(1)->closes, 0);
    a.delegate.invalidateConnections();
    EXPECT_EQ(a.launcher->sessions.at(1)->closes, 1);
    EXPECT_EQ(a.lifetime->connections(), 0);
    EXPECT_EQ(a.lifetime->shells(), 0);
}

TEST(TerminalHelperListenerDelegate, TheAgentsRequirementIsLoggedAsWeakOnlyForAnAdHocSigner) {
    struct Case {
        PeerRequirement::Signer signer;
        LogLevel level;
        std::string prefix;
    };
    for (const Case& c : {
             Case{PeerRequirement::Signer::adHoc(), LogLevel::error,
                  "The helper is signed ad hoc, so it can only check its client's identifier, "
                  "which anything can claim: "},
             Case{PeerRequirement::Signer::team(std::string(TerminalService::teamID)),
                  LogLevel::info, "Clients must meet: "},
         }) {
        auto sink = std::make_shared<RecordingSink>();
        auto delegate = TerminalHelperListenerDelegate::forAgent(nullptr, c.signer, sink);
        std::string requirement =
            PeerRequirement::requirement(c.signer, TerminalService::veltroBundleID(), true);
        EXPECT_EQ(delegate->requirement, requirement);
        auto entries = sink->entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].level, c.level);
        EXPECT_EQ(entries[0].category, "service");
        EXPECT_EQ(entries[0].message, c.prefix + requirement);
    }
}
