#include "sessions/OSC7Parser.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string_view>

namespace veltro {
namespace {

using Folders = std::vector<std::string>;

Folders feed(OSC7Parser& parser, std::string_view text) {
    return parser.feed({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
}

Folders feedOnce(std::string_view text) {
    OSC7Parser parser;
    return feed(parser, text);
}

const std::string atLimit = "7;file:///" + std::string(OSC7Parser::payloadLimit - 10, 'a');

TEST(OSC7Parser, StreamYieldsTheFoldersOfTheReportsEndedInIt) {
    const std::pair<std::string, Folders> cases[] = {
        {"before\x1b]7;file://host/Users/me\x07"
         "after",
         {"/Users/me"}},
        {"\x1b]7;file://host/Users/me\x1b\\", {"/Users/me"}},
        {"\x1b]7;file:///a\x07 ls \x1b]7;file:///b\x1b\\", {"/a", "/b"}},
        // A second escape keeps the parser waiting for the bracket.
        {"\x1b\x1b\x1b]7;file:///x\x07", {"/x"}},
        // A new start abandons the sequence under way; an escape and anything else ends it.
        {"\x1b]7;file:///a\x1b]7;file:///b\x07", {"/b"}},
        {"\x1b]7;file:///a\x1bx/more\x07", {}},
        {"\x1b]7;file:///a\x1b\x1b\\\x07", {}},
        // Other control bytes belong to the payload; the 8-bit introducer and terminator are
        // ordinary bytes.
        {"\x1b]7;file:///a\nb\x07", {"/a\nb"}},
        {"\x1b]7;file:///a\x9c", {}},
        {"\x9d"
         "7;file:///a\x07",
         {}},
        {"]7;file:///a\x07", {}},
        {"\x1b]0;title\x07\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\\x1b]7;file:///done\x07",
         {"/done"}},
        // A payload at the limit counts; one byte more is ignored, up to the next start.
        {"\x1b]" + atLimit + "\x07", {atLimit.substr(9)}},
        {"\x1b]" + atLimit + "b\x07\x1b]7;file:///next\x07", {"/next"}},
        {"\x1b]7;file:///" + std::string(5000, 'x') + "\x1b\\\x07\x1b]7;file:///ok\x07", {"/ok"}},
    };
    for (const auto& [stream, folders] : cases)
        EXPECT_EQ(feedOnce(stream), folders) << stream;
}

std::optional<std::string> folder(std::string_view payload) {
    return OSC7Parser::folder(
        {reinterpret_cast<const std::uint8_t*>(payload.data()), payload.size()});
}

TEST(OSC7Parser, PayloadNamesAFolderOnlyAsAFileURLWithAPathOfValidUTF8) {
    // Percent-decoded once, after the host has been cut off, and nothing else.
    const std::pair<std::string_view, std::string> folders[] = {
        {"7;file:///tmp", "/tmp"},
        {"7;FiLe://HOST/Tmp", "/Tmp"},
        {"7;file://host/a%20b", "/a b"},
        {"7;file://host/caf%C3%A9", "/caf\xC3\xA9"},
        {"7;file://host/caf\xC3\xA9", "/caf\xC3\xA9"},
        {"7;file://host/a+b?c#d", "/a+b?c#d"},
        {"7;file://us%er@host:22/p", "/p"},
        {"7;file://host%2Fx/a", "/a"},
        {"7;file://host/%2541", "/%41"}};
    for (const auto& [payload, path] : folders)
        EXPECT_EQ(folder(payload), path) << payload;
    const std::string_view nothing[] = {"7;file://host",
                                        "7;file:/tmp",
                                        "7;http://host/tmp",
                                        "0;window title",
                                        "7",
                                        " 7;file:///tmp",
                                        "7;file://host/a%zz",
                                        "7;file://host/%C3",
                                        "7;file://host/%ED%A0%80",
                                        "7;file://host/\xC3",
                                        "7;file://h\xFFst/tmp",
                                        "7;file://host/a%00b",
                                        std::string_view("7;file://host/a\0b", 17)};
    for (std::string_view payload : nothing)
        EXPECT_EQ(folder(payload), std::nullopt) << payload;
}

TEST(OSC7Parser, ChunkBoundariesNeverChangeTheFoldersFound) {
    std::mt19937 generator(20260401);
    const std::string_view pieces[] = {"\x1b",
                                       "]",
                                       "7;",
                                       "file://",
                                       "/",
                                       "a",
                                       "%41",
                                       "%",
                                       "\x07",
                                       "\\",
                                       "\x9d",
                                       "\n",
                                       "\xC3\xA9",
                                       "\xFF",
                                       "\x1b\\",
                                       "\x1b]7;file:///",
                                       "\x1b]7;file:///p"};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(pieces) - 1), length(1, 40);
    std::vector<std::string> streams = {"\x1b]7;file:///" + std::string(3200, 'z') +
                                            "\x07\x1b]7;file:///after\x07",
                                        "\x1b]" + atLimit + "\x1b\\"};
    while (streams.size() < 200) {
        std::string& stream = streams.emplace_back();
        for (std::size_t n = length(generator); n > 0; --n)
            stream += pieces[pick(generator)];
    }
    int streamsWithFolders = 0;
    for (const std::string& stream : streams) {
        Folders whole = feedOnce(stream);
        streamsWithFolders += whole.empty() ? 0 : 1;
        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            OSC7Parser parser;
            Folders split = feed(parser, std::string_view(stream).substr(0, cut));
            Folders rest = feed(parser, std::string_view(stream).substr(cut));
            split.insert(split.end(), rest.begin(), rest.end());
            ASSERT_EQ(split, whole) << "cut at " << cut << " of " << stream;
        }
    }
    // Streams without reports would say little.
    EXPECT_GT(streamsWithFolders, 20);
}

} // namespace
} // namespace veltro
