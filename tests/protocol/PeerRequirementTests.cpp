#include "protocol/PeerRequirement.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace veltro::PeerRequirement {
namespace {

// On Linux a peer has no signature: only the identifier of an ad-hoc requirement can admit it,
// however the identifier is spelled, and a requirement that names a signer admits nobody.
TEST(PeerRequirement, BuiltRequirementsAdmitOnlyTheSameIdentifierAndNeverWithoutASignature) {
    for (const std::string identifier : {"tech.morvane.veltro", "a\"b\\c", "", "x y (z) or w"}) {
        for (bool orByApple : {false, true}) {
            std::string adHoc = requirement(Signer::adHoc(), identifier, orByApple);
            EXPECT_TRUE(isSatisfied(adHoc, {identifier})) << adHoc;
            EXPECT_FALSE(isSatisfied(adHoc, {identifier + "x"})) << adHoc;
            std::string team = requirement(Signer::team("KQ7310ZV4M"), identifier, orByApple);
            EXPECT_FALSE(isSatisfied(team, {identifier})) << team;
        }
    }
}

TEST(PeerRequirement, ClausesAndCombinationsAreEvaluatedWithAndBindingTighterThanOr) {
    const std::pair<std::string_view, bool> cases[] = {
        {"identifier \"x\"", true},
        {" \t\nidentifier\n\"\\x\"\r\n", true},
        {"anchor apple generic", false},
        {"certificate leaf[subject.OU] = \"KQ7310ZV4M\"", false},
        {"identifier \"x\" && anchor apple", false},
        {"certificate leaf[field.1.2.3] exists or identifier \"x\"", true},
        {"identifier \"x\" or identifier \"y\" and identifier \"z\"", true},
        {"(identifier \"x\" or identifier \"y\") and identifier \"z\"", false},
        {"not identifier \"y\"", true},
    };
    for (const auto& [text, met] : cases)
        EXPECT_EQ(isSatisfied(text, {"x"}), met) << text;
}

// A malformed clause fails the whole text, even next to an alternative that is met.
TEST(PeerRequirement, TextThatDoesNotParseIsNeverMet) {
    const std::string_view cases[] = {
        "",
        "identifier \"x",
        "identifier \"x\" extra",
        "identifier \"x\" or",
        "(identifier \"x\"",
        "identifier \"x\" or bogus \"y\"",
        "identifier \"x\" or certificate leaf = H\"xyz\"",
    };
    for (std::string_view text : cases)
        EXPECT_FALSE(isSatisfied(text, {"x"})) << text;
    EXPECT_FALSE(isSatisfied(std::string_view("identifier \"x\"\0", 15), {"x"}));
}

TEST(PeerRequirement, DeepNestingIsRefusedRatherThanExhaustingTheStack) {
    std::string deep = std::string(100000, '(') + "identifier \"x\"" + std::string(100000, ')');
    EXPECT_FALSE(isSatisfied(deep, {"x"}));
    EXPECT_FALSE(isSatisfied(std::string(100000, '!') + "identifier \"x\"", {"x"}));
}

} // namespace
} // namespace veltro::PeerRequirement
