#include "sessions/ShellLaunchError.hpp"
#include "sessions/ShellRequest.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace veltro {
namespace {

ShellRequest request() {
    UUID id = *UUID::parse("01234567-89AB-CDEF-0123-456789ABCDEF");
    return ShellRequest{id, 80, 24, "/home/me", std::nullopt, {{"A", "1"}, {"B", "2"}}};
}

TEST(ShellRequest, EqualWhenAllFieldsAreEqualWhateverTheEnvironmentOrder) {
    ShellRequest a = request();
    ShellRequest b = request();
    b.environment.clear();
    b.environment.emplace("B", "2");
    b.environment.emplace("A", "1");
    EXPECT_EQ(a, b);
}

TEST(ShellRequest, AbsentShellDiffersFromEmptyShell) {
    ShellRequest absent = request();
    ShellRequest empty = request();
    empty.shell = "";
    EXPECT_NE(absent, empty);
}

TEST(ShellRequest, EachFieldTakesPartInEquality) {
    ShellRequest base = request();
    auto differs = [&](auto change) {
        ShellRequest other = base;
        change(other);
        return !(other == base);
    };
    EXPECT_TRUE(differs([](ShellRequest& r) { r.id = UUID(); }));
    EXPECT_TRUE(differs([](ShellRequest& r) { r.columns = 81; }));
    EXPECT_TRUE(differs([](ShellRequest& r) { r.rows = 25; }));
    EXPECT_TRUE(differs([](ShellRequest& r) { r.folder = "/home/me/"; }));
    EXPECT_TRUE(differs([](ShellRequest& r) { r.shell = "/bin/zsh"; }));
    EXPECT_TRUE(differs([](ShellRequest& r) { r.environment["A"] = "2"; }));
    EXPECT_TRUE(differs([](ShellRequest& r) { r.environment["C"] = ""; }));
}

TEST(ShellRequest, CanonicallyEquivalentFoldersAreDifferentFolders) {
    ShellRequest composed = request();
    ShellRequest decomposed = request();
    composed.folder = "/caf\xC3\xA9";
    decomposed.folder = "/cafe\xCC\x81";
    EXPECT_NE(composed, decomposed);
}

TEST(ShellLaunchError, TextIsExactlyItsDescription) {
    const std::string description = "Couldn’t start the shell “/bin/nope”: No such file";
    ShellLaunchError error(description);
    EXPECT_EQ(std::string_view(error.what()), description);
    const std::exception& asException = error;
    EXPECT_EQ(std::string_view(asException.what()), description);
    EXPECT_EQ(error.description, description);
}

} // namespace
} // namespace veltro
