#include "protocol/PeerRequirement.hpp"

#include <gtest/gtest.h>

#include <string>

namespace veltro::PeerRequirement {
namespace {

// On Linux a peer has no signature: only the identifier of an ad-hoc requirement can admit it,
// however the identifier is spelled, and a requirement that names a signer admits nobody.
TEST(PeerRequirement, BuiltRequirementsAdmitOnlyTheSameIdentifierAndNeverWithASigner) {
    for (const std::string identifier : {"tech.morvane.veltro", "a\"b\\c", "", "x y (z) or w"}) {
        std::string adHoc = requirement(Signer::adHoc(), identifier, true);
        EXPECT_TRUE(isSatisfied(adHoc, {identifier})) << adHoc;
        EXPECT_FALSE(isSatisfied(adHoc, {identifier + "x"})) << adHoc;
        for (bool orByApple : {false, true})
            for (const Signer& signer : {Signer::team("KQ7310ZV4M"), Signer::certificate("AB:12")})
                EXPECT_FALSE(isSatisfied(requirement(signer, identifier, orByApple), {identifier}));
    }
}

// The built text is what a client of another platform would evaluate too, so it must not drift.
TEST(PeerRequirement, BuiltRequirementTextsKeepTheirExactForm) {
    EXPECT_EQ(requirement(Signer::adHoc(), "a\"b\\c", true), R"(identifier "a\"b\\c")");
    EXPECT_EQ(requirement(Signer::certificate("AB:12:cd"), "x", false),
              R"(identifier "x" and certificate leaf = H"ab12cd")");
    EXPECT_EQ(
        requirement(Signer::team("KQ7310ZV4M"), "x", true),
        R"(anchor apple generic and identifier "x" and (certificate leaf[subject.OU] = "KQ7310ZV4M")"
        R"( or certificate leaf[field.1.2.840.113635.100.6.1.9] exists)"
        R"( or certificate leaf[field.1.2.840.113635.100.6.1.25.1] exists))");
}

TEST(PeerRequirement, OnlyIdentifierClausesCanBeMetCombinedWithAndBindingTighterThanOr) {
    struct Case {
        std::string text;
        std::string identifier;
        bool met;
    };
    const Case cases[] = {
        // The clause itself and its spellings.
        {R"(identifier "x")", "x", true},
        {R"(identifier "x")", "X", false},
        {"identifier = \"x\"", "x", true},
        {"identifier=tech.morvane.veltro", "tech.morvane.veltro", true},
        {" \t\nidentifier\n\"x\"\r\n", "x", true},
        // Quotes and escapes: a backslash takes the next character as it is.
        {R"(identifier "a\"b\\c")", "a\"b\\c", true},
        {R"(identifier "\x")", "x", true},
        {R"-(identifier "x or (y)")-", "x or (y)", true},
        // Clauses that ask for a signature are never met, and cannot be negated into being met.
        {"anchor apple generic", "x", false},
        {R"(identifier "x" or anchor apple generic)", "x", true},
        {R"(identifier "x" and anchor apple generic)", "x", false},
        {R"(certificate leaf[field.1.2.3] exists or identifier "x")", "x", true},
        {R"(identifier "x" or certificate leaf = H"not hex")", "x", true},
        {"not anchor apple generic", "x", false},
        {"! anchor apple generic", "x", false},
        {R"(not identifier "y")", "x", false},
        // Combinations.
        {R"(identifier "x" or identifier "y" and identifier "z")", "x", true},
        {R"(identifier "y" and identifier "z" or identifier "x")", "x", true},
        {R"-((identifier "x" or identifier "y") and identifier "z")-", "x", false},
        {R"-(identifier "y" or (identifier "z" or ((identifier "x"))))-", "x", true},
        {std::string(8, '(') + R"(identifier "x")" + std::string(8, ')'), "x", true},
        // Nesting deep enough to exhaust the stack is refused instead.
        {std::string(100000, '(') + R"(identifier "x")" + std::string(100000, ')'), "x", false},
        {R"(identifier "y" || identifier "x" && identifier "x")", "x", true},
        // Text that does not parse is not met, even next to an alternative that is.
        {"", "x", false},
        {"identifier", "x", false},
        {R"(identifier "x)", "x", false},
        {R"(identifier "x\")", "x\"", false},
        {R"(identifier "x" extra)", "x", false},
        {R"(identifier "x" or)", "x", false},
        {R"(or identifier "x")", "x", false},
        {R"-((identifier "x")-", "x", false},
        {R"-(identifier "x" or anchor (apple))-", "x", false},
        {R"(identifier "x" & identifier "x")", "x", false},
        {R"(identifier and)", "and", false},
        {std::string("identifier \"x\"\0", 15), "x", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(isSatisfied(c.text, {c.identifier}), c.met)
            << c.text.substr(0, 100) << " for " << c.identifier;
}

} // namespace
} // namespace veltro::PeerRequirement
