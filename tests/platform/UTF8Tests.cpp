#include "platform/UTF8.hpp"

#include <gtest/gtest.h>

using namespace veltro;

// Text is valid exactly when nothing in it needs replacing.
TEST(UTF8, OnlyShortestFormsUpToU10FFFFAreValidAndEachBadSequenceIsReplacedOnce) {
    const std::string r = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\xA2 \xF4\x8F\xBF\xBF",
         "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x90\xA2 \xF4\x8F\xBF\xBF"},
        {"a\xC3", "a" + r},
        // A sequence cut short is one replacement, and the byte that cut it is kept.
        {"\xE2\x82"
         "A",
         r + "A"},
        {"\xF0\x9F\x90", r},
        // Overlong forms, surrogates and values past U+10FFFF: one replacement per byte.
        {"\xC0\xAF", r + r},
        {"\xE0\x80\xAF", r + r + r},
        {"\xED\xA0\x80", r + r + r},
        {"\xF4\x90\x80\x80", r + r + r + r},
        {"\xFF"
         "b",
         r + "b"},
        {"\x80", r},
    };
    for (const auto& [bytes, text] : cases) {
        EXPECT_EQ(replacingInvalidUTF8(bytes), text) << bytes;
        EXPECT_EQ(isValidUTF8(bytes), bytes == text) << bytes;
    }
}
