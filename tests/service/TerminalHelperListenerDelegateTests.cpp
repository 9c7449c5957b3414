#include "service/Fakes.hpp"
#include "support/RecordingSink.hpp"

#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"
#include "service/TerminalHelperListenerDelegate.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::testing;

// The requirement is set before anything else, so that no request is read from a connection
// that has not been checked.
TEST(TerminalHelperListenerDelegate, ChecksEachConnectionBeforeResumingItAndEndsItsShellsWithIt) {
    auto launcher = std::make_shared<FakeLauncher>();
    auto lifetime = std::make_shared<HelperLifetime>(3600.0, [] {});
    TerminalHelperListenerDelegate delegate{"identifier \"x\"", launcher, lifetime};
    // The delegate does not look at the listener it is called for.
    auto listener = xpc::Listener::anonymous();
    auto first = std::make_shared<FakeConnection>();
    auto second = std::make_shared<FakeConnection>();
    EXPECT_TRUE(delegate.shouldAcceptNewConnection(*listener, first));
    EXPECT_TRUE(delegate.shouldAcceptNewConnection(*listener, second));
    EXPECT_EQ(first->steps, (std::vector<std::string>{"requirement identifier \"x\"", "exported",
                                                      "invalidation", "resume"}));
    EXPECT_EQ(lifetime->connections(), 2);

    UUID id = UUID::random();
    for (auto& connection : {first, second})
        connection->exported->openShell(id, 80, 24, "/", std::nullopt, {},
                                        [](std::int32_t, std::optional<std::string>) {});
    launcher->sessions.at(0)->exit(3);
    EXPECT_EQ(first->exits, (std::vector<std::pair<UUID, std::int32_t>>{{id, 3}}));
    EXPECT_TRUE(second->exits.empty());

    first->invalidate();
    EXPECT_EQ(lifetime->connections(), 1);
    EXPECT_EQ(launcher->sessions.at(1)->closes, 0);
    delegate.invalidateConnections();
    EXPECT_EQ(launcher->sessions.at(1)->closes, 1);
    EXPECT_EQ(lifetime->connections(), 0);
    EXPECT_EQ(lifetime->shells(), 0);
}

// An ad hoc signed agent can only check an identifier that anything can claim: it says so as an
// error rather than as information.
TEST(TerminalHelperListenerDelegate, AgentHoldsClientsToItsSignersRequirementAndCallsAdHocWeak) {
    using PeerRequirement::Signer;
    for (auto [signer, level] :
         {std::pair{Signer::adHoc(), LogLevel::error},
          std::pair{Signer::team(std::string(TerminalService::teamID)), LogLevel::info}}) {
        auto sink = std::make_shared<RecordingSink>();
        auto delegate = TerminalHelperListenerDelegate::forAgent(nullptr, signer, sink);
        std::string requirement =
            PeerRequirement::requirement(signer, TerminalService::veltroBundleID(), true);
        EXPECT_EQ(delegate->requirement, requirement);
        auto entries = sink->entries();
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(entries[0].level, level);
        EXPECT_TRUE(entries[0].message.ends_with(requirement)) << entries[0].message;
    }
}
