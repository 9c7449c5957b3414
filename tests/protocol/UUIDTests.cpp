#include "protocol/UUID.hpp"

#include <gtest/gtest.h>

#include <unordered_set>

namespace veltro {
namespace {

// Shells are told apart by these alone: two alike would mix up two shells' input and output.
TEST(UUID, RandomIdentifiersAreDistinctVersionFourAndSurviveTheirTextForm) {
    std::unordered_set<UUID> seen;
    for (int i = 0; i < 1000; ++i) {
        UUID id = UUID::random();
        EXPECT_EQ(id.bytes()[6] >> 4, 4);
        EXPECT_EQ(id.bytes()[8] >> 6, 2);
        EXPECT_TRUE(seen.insert(id).second);
        EXPECT_EQ(UUID::parse(id.string()), id);
    }
}

} // namespace
} // namespace veltro
