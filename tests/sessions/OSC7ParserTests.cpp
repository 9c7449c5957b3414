#include "sessions/OSC7Parser.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace veltro {
namespace {

using Folders = std::vector<std::string>;

std::span<const std::uint8_t> bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// What the parser finds in `stream`, checked to be the same wherever the stream is cut in two.
Folders found(std::string_view stream) {
    Folders whole = OSC7Parser().feed(bytes(stream));
    for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
        OSC7Parser parser;
        Folders split = parser.feed(bytes(stream.substr(0, cut)));
        Folders rest = parser.feed(bytes(stream.substr(cut)));
        split.insert(split.end(), rest.begin(), rest.end());
        EXPECT_EQ(split, whole) << "cut at " << cut << " of " << stream;
    }
    return whole;
}

const std::string atLimit = "7;file:///" + std::string(OSC7Parser::payloadLimit - 10, 'a');

TEST(OSC7Parser, StreamYieldsTheFoldersOfTheFileURLReportsEndedInItWhereverItIsCut) {
    const std::pair<std::string, Folders> streams[] = {
        {"before\x1b]7;file://host/Users/me\007after", {"/Users/me"}},
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
        {"]7;file:///a\x07\2357;file:///b\x07", {}},
        {"\x1b]0;title\x07\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\\x1b]7;file:///done\x07",
         {"/done"}},
        // A payload at the limit counts; one byte more is ignored, up to the next start.
        {"\x1b]" + atLimit + "\x07", {atLimit.substr(9)}},
        {"\x1b]" + atLimit + "b\x07\x1b]7;file:///next\x07", {"/next"}},
        {"\x1b]7;file:///" + std::string(5000, 'x') + "\x1b\\\x07\x1b]7;file:///ok\x07", {"/ok"}},
    };
    for (const auto& [stream, folders] : streams)
        EXPECT_EQ(found(stream), folders) << stream;

    // The path is percent-decoded once, after the host has been cut off, and nothing else.
    auto reports = [](std::initializer_list<std::string> payloads) {
        std::string stream;
        for (const std::string& payload : payloads)
            stream += "\x1b]" + payload + "\x07";
        return found(stream);
    };
    EXPECT_EQ(reports({"7;FiLe://HOST/Tmp", "7;file://host/a%20b", "7;file://host/caf%C3%A9",
                       "7;file://us%er@host:22/p", "7;file://host%2Fx/a", "7;file://host/%2541",
                       "7;file://host/a+b?c#d"}),
              (Folders{"/Tmp", "/a b", "/caf\xC3\xA9", "/p", "/a", "/%41", "/a+b?c#d"}));
    // Only a file URL with a path of valid UTF-8 and no NUL names a folder.
    EXPECT_EQ(reports({"7;file://host", "7;file:/tmp", "7;http://host/tmp", "7", " 7;file:///tmp",
                       "7;file://host/a%zz", "7;file://host/%C3", "7;file://host/\xC3",
                       "7;file://host/%ED%A0%80", "7;file://h\xFFst/tmp", "7;file://host/a%00b",
                       std::string("7;file://host/a\0b", 17)}),
              Folders{});
}

} // namespace
} // namespace veltro
