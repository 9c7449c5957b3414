#include "protocol/PeerRequirement.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace veltro::PeerRequirement {
namespace {

const std::string hash = "0123456789abcdef0123456789abcdef01234567";

TEST(PeerRequirement, BuildsTheRequirementOfEachSigner) {
    struct Case {
        Signer signer;
        std::string identifier;
        bool orByApple;
        std::string requirement;
    };
    const Case cases[] = {
        {Signer::team("KQ7310ZV4M"), "tech.morvane.veltro", true,
         "anchor apple generic and identifier \"tech.morvane.veltro\" and (certificate "
         "leaf[subject.OU] = \"KQ7310ZV4M\" or certificate leaf[field.1.2.840.113635.100.6.1.9] "
         "exists or certificate leaf[field.1.2.840.113635.100.6.1.25.1] exists)"},
        {Signer::team("KQ7310ZV4M"), "tech.morvane.veltro.terminal-helper", false,
         "anchor apple generic and identifier \"tech.morvane.veltro.terminal-helper\" and "
         "certificate leaf[subject.OU] = \"KQ7310ZV4M\""},
        {Signer::certificate(hash), "tech.morvane.veltro", false,
         "identifier \"tech.morvane.veltro\" and certificate leaf = H\"" + hash + "\""},
        {Signer::certificate(hash), "tech.morvane.veltro", true,
         "identifier \"tech.morvane.veltro\" and certificate leaf = H\"" + hash + "\""},
        {Signer::adHoc(), "tech.morvane.veltro", false, "identifier \"tech.morvane.veltro\""},
        {Signer::adHoc(), "tech.morvane.veltro", true, "identifier \"tech.morvane.veltro\""},
    };
    for (const Case& c : cases)
        EXPECT_EQ(requirement(c.signer, c.identifier, c.orByApple), c.requirement);
}

TEST(PeerRequirement, QuotingDoublesBackslashesBeforeEscapingQuotes) {
    EXPECT_EQ(requirement(Signer::adHoc(), "a\"b\\c", false), "identifier \"a\\\"b\\\\c\"");
    EXPECT_EQ(requirement(Signer::adHoc(), "\\\"", false), "identifier \"\\\\\\\"\"");
    EXPECT_EQ(requirement(Signer::adHoc(), "", false), "identifier \"\"");
    EXPECT_EQ(requirement(Signer::team("T\"1"), "x", false),
              "anchor apple generic and identifier \"x\" and certificate leaf[subject.OU] = "
              "\"T\\\"1\"");
}

TEST(PeerRequirement, CertificateHashIsReducedToLowercaseHexDigits) {
    std::string plain = requirement(Signer::certificate(hash), "x", false);
    std::string spelled;
    for (std::size_t i = 0; i < hash.size(); i += 2) {
        if (i > 0)
            spelled += ':';
        spelled += static_cast<char>(std::toupper(hash[i]));
        spelled += static_cast<char>(std::toupper(hash[i + 1]));
    }
    EXPECT_EQ(requirement(Signer::certificate(spelled), "x", false), plain);
    EXPECT_EQ(requirement(Signer::certificate("xyz: -!"), "tech.morvane.veltro", false),
              "identifier \"tech.morvane.veltro\" and certificate leaf = H\"\"");
}

TEST(PeerRequirement, SignerPrefersTeamThenCertificateThenAdHocAndOnlyAdHocIsWeak) {
    const Bytes abc{'a', 'b', 'c'};
    EXPECT_EQ(signer("KQ7310ZV4M", abc), Signer::team("KQ7310ZV4M"));
    EXPECT_EQ(signer("KQ7310ZV4M", std::nullopt), Signer::team("KQ7310ZV4M"));
    EXPECT_EQ(signer(std::nullopt, abc),
              Signer::certificate("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(signer("", abc), Signer::certificate("a9993e364706816aba3e25717850c26c9cd0d89d"));
    EXPECT_EQ(signer(std::nullopt, Bytes{}),
              Signer::certificate("da39a3ee5e6b4b0d3255bfef95601890afd80709"));
    EXPECT_EQ(signer("", std::nullopt), Signer::adHoc());
    EXPECT_EQ(signerOfThisProcess(), Signer::adHoc());
    EXPECT_TRUE(isWeak(Signer::adHoc()));
    EXPECT_FALSE(isWeak(Signer::team("KQ7310ZV4M")));
    EXPECT_FALSE(isWeak(Signer::certificate("")));
}

TEST(PeerRequirement, BuiltRequirementsAreMetOnlyByTheIdentifierWithoutASignature) {
    const std::string identifiers[] = {"tech.morvane.veltro", "a\"b\\c", "", "x y (z) or w"};
    for (const std::string& identifier : identifiers) {
        for (bool orByApple : {false, true}) {
            std::string adHoc = requirement(Signer::adHoc(), identifier, orByApple);
            EXPECT_TRUE(isSatisfied(adHoc, {identifier})) << adHoc;
            EXPECT_FALSE(isSatisfied(adHoc, {identifier + "x"})) << adHoc;
            std::string team = requirement(Signer::team("KQ7310ZV4M"), identifier, orByApple);
            EXPECT_FALSE(isSatisfied(team, {identifier})) << team;
            std::string certificate = requirement(Signer::certificate(hash), identifier, orByApple);
            EXPECT_FALSE(isSatisfied(certificate, {identifier})) << certificate;
        }
    }
}

TEST(PeerRequirement, EvaluatesClausesAndCombinations) {
    const std::pair<std::string_view, bool> cases[] = {
        {"identifier \"x\"", true},
        {"identifier = \"x\"", true},
        {"identifier x", true},
        {"identifier \"y\"", false},
        {"identifier \"X\"", false},
        {" \t\nidentifier\n\"x\"\r\n", true},
        {"identifier \"\\x\"", true},
        {"always", true},
        {"never", false},
        {"anchor apple", false},
        {"anchor apple generic", false},
        {"anchor trusted", false},
        {"anchor = H\"00ff\"", false},
        {"certificate leaf[subject.OU] = \"KQ7310ZV4M\"", false},
        {"certificate leaf[subject.OU] = KQ7310ZV4M", false},
        {"certificate leaf[field.1.2.840.113635.100.6.1.9] exists", false},
        {"cert root[subject.CN] absent", false},
        {"certificate -1[subject.O] ~ \"Maker\"", false},
        {"certificate 2 = H\"abcdef\"", false},
        {"certificate leaf = H\"\"", false},
        {"certificate anchor trusted", false},
        {"identifier \"x\" and identifier \"x\"", true},
        {"identifier \"x\" and identifier \"y\"", false},
        {"identifier \"y\" or identifier \"x\"", true},
        {"identifier \"y\" || identifier \"x\"", true},
        {"identifier \"x\" && anchor apple", false},
        {"anchor apple generic or identifier \"x\"", true},
        {"certificate leaf[field.1.2.3] exists or identifier \"x\"", true},
        {"identifier \"x\" or identifier \"y\" and identifier \"z\"", true},
        {"identifier \"z\" and identifier \"y\" or identifier \"x\"", true},
        {"(identifier \"x\" or identifier \"y\") and identifier \"z\"", false},
        {"identifier \"x\" and (anchor apple or identifier \"x\")", true},
        {"not identifier \"y\"", true},
        {"! identifier \"x\"", false},
        {"!!identifier \"x\"", true},
        {"not identifier \"x\" or identifier \"x\"", true},
        {"not (identifier \"x\" or identifier \"y\")", false},
        {"((((identifier \"x\"))))", true},
    };
    for (const auto& [text, met] : cases)
        EXPECT_EQ(isSatisfied(text, {"x"}), met) << text;
}

TEST(PeerRequirement, TextThatDoesNotParseIsNeverMet) {
    const std::string_view cases[] = {
        "",
        "   ",
        "identifier",
        "identifier =",
        "identifier \"x",
        "identifier \"x\\",
        "identifier and",
        "Identifier \"x\"",
        "identifier \"x\" extra",
        "identifier \"x\" or",
        "identifier \"x\" and",
        "identifier \"x\" or (",
        "(identifier \"x\"",
        "identifier \"x\")",
        "()",
        "identifier \"x\" | identifier \"x\"",
        "identifier \"x\" & identifier \"x\"",
        "identifier \"x\" or bogus \"y\"",
        "identifier \"x\" or anchor",
        "identifier \"x\" or anchor apple special",
        "identifier \"x\" or certificate leaf[subject.OU]",
        "identifier \"x\" or certificate leaf[subject.OU] =",
        "identifier \"x\" or certificate leaf[] exists",
        "identifier \"x\" or certificate leaf[subject.OU exists",
        "identifier \"x\" or certificate middle[subject.OU] exists",
        "identifier \"x\" or certificate leaf = H\"xyz\"",
        "identifier \"x\" or certificate leaf = \"00\"",
        "identifier \"x\" or not",
        "identifier \"x\"; identifier \"x\"",
        "identifier \"x\" # comment",
    };
    for (std::string_view text : cases)
        EXPECT_FALSE(isSatisfied(text, {"x"})) << text;
    EXPECT_FALSE(isSatisfied(std::string_view("identifier \"x\"\0", 15), {"x"}));
}

TEST(PeerRequirement, DeepNestingIsRefusedRatherThanExhaustingTheStack) {
    std::string deep = std::string(100000, '(') + "identifier \"x\"" + std::string(100000, ')');
    EXPECT_FALSE(isSatisfied(deep, {"x"}));
    std::string negations = std::string(100000, '!') + "identifier \"x\"";
    EXPECT_FALSE(isSatisfied(negations, {"x"}));
    std::string shallow = std::string(10, '(') + "identifier \"x\"" + std::string(10, ')');
    EXPECT_TRUE(isSatisfied(shallow, {"x"}));
}

} // namespace
} // namespace veltro::PeerRequirement
