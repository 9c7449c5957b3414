#include "protocol/UUID.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace veltro {
namespace {

TEST(UUID, TextFormRoundTripsInUpperCase) {
    const std::string text = "0123ABCD-89AB-4DEF-8123-456789ABCDEF";
    std::optional<UUID> parsed = UUID::parse(text);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->string(), text);
    EXPECT_EQ(parsed->bytes()[0], 0x01);
    EXPECT_EQ(parsed->bytes()[15], 0xEF);
    EXPECT_EQ(UUID::parse("0123abcd-89ab-4def-8123-456789abcdef"), parsed);

    UUID random = UUID::random();
    EXPECT_EQ(UUID::parse(random.string()), random);
}

TEST(UUID, MalformedTextIsRejected) {
    const std::string_view cases[] = {
        "",
        "0123ABCD-89AB-4DEF-8123-456789ABCDE",
        "0123ABCD-89AB-4DEF-8123-456789ABCDEF0",
        "0123ABCD89AB-4DEF-8123-456789ABCDEF0",
        "0123ABCD-89AB-4DEF-8123_456789ABCDEF",
        "0123ABCG-89AB-4DEF-8123-456789ABCDEF",
        "0123ABC-D89AB-4DEF-8123-456789ABCDEF",
        "{123ABCD-89AB-4DEF-8123-456789ABCDEF}",
    };
    for (std::string_view text : cases)
        EXPECT_FALSE(UUID::parse(text)) << text;
}

TEST(UUID, RandomIdentifiersAreVersionFourAndDistinct) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        UUID id = UUID::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] >> 6, 2);
        EXPECT_TRUE(seen.insert(id).second);
    }
}

TEST(UUID, HashUsesEveryByte) {
    std::unordered_set<std::size_t> hashes;
    for (std::size_t i = 0; i < 16; ++i) {
        UUID::Bytes bytes{};
        bytes[i] = 1;
        hashes.insert(std::hash<UUID>{}(UUID(bytes)));
    }
    EXPECT_EQ(hashes.size(), 16u);
}

} // namespace
} // namespace veltro
