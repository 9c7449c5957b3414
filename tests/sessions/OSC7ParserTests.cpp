#include "sessions/OSC7Parser.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string_view>

namespace veltro {
namespace {

using Folders = std::vector<std::string>;

std::vector<std::uint8_t> bytes(std::string_view text) {
    return std::vector<std::uint8_t>(text.begin(), text.end());
}

Folders feed(OSC7Parser& parser, std::string_view text) {
    return parser.feed(bytes(text));
}

Folders feedOnce(std::string_view text) {
    OSC7Parser parser;
    return feed(parser, text);
}

std::optional<std::string> folder(std::string_view payload) {
    return OSC7Parser::folder(bytes(payload));
}

TEST(OSC7Parser, ReportEndedByBellOrStringTerminatorYieldsFolder) {
    EXPECT_EQ(feedOnce("\x1b]7;file://host/Users/me\x07"), Folders{"/Users/me"});
    EXPECT_EQ(feedOnce("\x1b]7;file://host/Users/me\x1b\\"), Folders{"/Users/me"});
    EXPECT_EQ(feedOnce("before\x1b]7;file://host/Users/me\x07"
                       "after"),
              Folders{"/Users/me"});
}

TEST(OSC7Parser, SequenceSplitAcrossFeedsIsFound) {
    const std::string_view stream = "\x1b]7;file://host/Users/me\x1b\\";
    for (std::size_t cut = 1; cut < stream.size(); ++cut) {
        OSC7Parser parser;
        EXPECT_TRUE(feed(parser, stream.substr(0, cut)).empty()) << cut;
        EXPECT_EQ(feed(parser, stream.substr(cut)), Folders{"/Users/me"}) << cut;
    }
}

TEST(OSC7Parser, PayloadToFolder) {
    const std::pair<std::string_view, std::optional<std::string>> cases[] = {
        {"7;file:///tmp", "/tmp"},
        {"7;FILE://host/Tmp", "/Tmp"},
        {"7;FiLe://HOST/Tmp", "/Tmp"},
        {"7;file://host/a%20b", "/a b"},
        {"7;file://host/%41%6a%6A", "/Ajj"},
        {"7;file://host/caf%C3%A9", "/caf\xC3\xA9"},
        {"7;file://host/caf\xC3\xA9", "/caf\xC3\xA9"},
        {"7;file://host/a+b?c#d", "/a+b?c#d"},
        {"7;file://host/", "/"},
        {"7;file://us%er@host:22/p", "/p"},
        {"7;file://host", std::nullopt},
        {"7;file://", std::nullopt},
        {"7;file:/tmp", std::nullopt},
        {"7;http://host/tmp", std::nullopt},
        {"7;/tmp", std::nullopt},
        {"0;window title", std::nullopt},
        {"7", std::nullopt},
        {"", std::nullopt},
        {"77;file:///tmp", std::nullopt},
        {" 7;file:///tmp", std::nullopt},
        {"7;file://host/a%zz", std::nullopt},
        {"7;file://host/a%2", std::nullopt},
        {"7;file://host/a%", std::nullopt},
        {"7;file://host/%C3", std::nullopt},
        {"7;file://host/%ED%A0%80", std::nullopt},
        {"7;file://host/%C0%AF", std::nullopt},
        {"7;file://host/\xC3", std::nullopt},
        {"7;file://h\xFFst/tmp", std::nullopt},
        {"7;file://host/a%00b", std::nullopt},
        {std::string_view("7;file://host/a\0b", 17), std::nullopt},
    };
    for (const auto& [payload, expected] : cases)
        EXPECT_EQ(folder(payload), expected) << payload;
}

TEST(OSC7Parser, PercentDecodingHappensOnceAfterTheHostIsCut) {
    EXPECT_EQ(folder("7;file://host/a%2Fb"), "/a/b");
    EXPECT_EQ(folder("7;file://host%2Fx/a"), "/a");
    EXPECT_EQ(folder("7;file://host/%2541"), "/%41");
}

TEST(OSC7Parser, PayloadAtTheLimitIsEvaluatedAndOneByteMoreIsNot) {
    const std::string prefix = "7;file:///";
    std::string atLimit = prefix + std::string(OSC7Parser::payloadLimit - prefix.size(), 'a');
    ASSERT_EQ(atLimit.size(), 3136u);
    EXPECT_EQ(feedOnce("\x1b]" + atLimit + "\x07"), Folders{atLimit.substr(9)});

    OSC7Parser parser;
    EXPECT_TRUE(feed(parser, "\x1b]" + atLimit + "b\x07").empty());
    EXPECT_EQ(feed(parser, "\x1b]7;file:///next\x07"), Folders{"/next"});
}

TEST(OSC7Parser, OverflowLastsUntilTheNextStartEvenAcrossFeeds) {
    OSC7Parser parser;
    EXPECT_TRUE(feed(parser, "\x1b]7;file:///" + std::string(5000, 'x')).empty());
    EXPECT_TRUE(feed(parser, "\x1b\\").empty());
    EXPECT_TRUE(feed(parser, "\x07").empty());
    EXPECT_EQ(feed(parser, "\x1b]7;file:///ok\x07"), Folders{"/ok"});
}

TEST(OSC7Parser, TwoReportsInOneBufferYieldBothInOrder) {
    EXPECT_EQ(feedOnce("\x1b]7;file:///a\x07 ls \x1b]7;file:///b\x1b\\"), (Folders{"/a", "/b"}));
}

TEST(OSC7Parser, SecondEscapeKeepsTheParserReadyForTheBracket) {
    EXPECT_EQ(feedOnce("\x1b\x1b]7;file:///x\x07"), Folders{"/x"});
    EXPECT_EQ(feedOnce("\x1b\x1b\x1b\x1b]7;file:///x\x07"), Folders{"/x"});
}

TEST(OSC7Parser, NewStartInsideSequenceAbandonsTheOldOne) {
    EXPECT_EQ(feedOnce("\x1b]7;file:///a\x1b]7;file:///b\x07"), Folders{"/b"});
}

TEST(OSC7Parser, EscapeFollowedByOtherByteAbandonsTheSequence) {
    EXPECT_TRUE(feedOnce("\x1b]7;file:///a\x1bx/more\x07").empty());
    EXPECT_TRUE(feedOnce("\x1b]7;file:///a\x1b\x1b\\\x07").empty());
}

TEST(OSC7Parser, OtherControlBytesBelongToThePayload) {
    EXPECT_EQ(feedOnce("\x1b]7;file:///a\nb\x07"), Folders{"/a\nb"});
    EXPECT_TRUE(feedOnce("\x1b]7;file:///a\x9c").empty());
}

TEST(OSC7Parser, EightBitIntroducerIsAnOrdinaryByte) {
    EXPECT_TRUE(feedOnce("\x9d"
                         "7;file:///a\x07")
                    .empty());
    EXPECT_TRUE(feedOnce("]7;file:///a\x07").empty());
}

TEST(OSC7Parser, OtherOperatingSystemCommandsYieldNothingAndDoNotDisturbTheNext) {
    EXPECT_EQ(feedOnce("\x1b]0;title\x07\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\"
                       "\x1b]7;file:///done\x07"),
              Folders{"/done"});
}

TEST(OSC7Parser, CopyCarriesStateAndKeepsWorking) {
    OSC7Parser parser;
    EXPECT_TRUE(feed(parser, "\x1b]7;file:///co").empty());
    OSC7Parser copy = parser;
    EXPECT_EQ(feed(copy, "py\x07"), Folders{"/copy"});
    OSC7Parser assigned;
    assigned = parser;
    EXPECT_EQ(feed(assigned, "pied\x07"), Folders{"/copied"});
    EXPECT_EQ(feed(parser, "\x07"), Folders{"/co"});
}

// Streams that exercise every transition: sequence introducers, both terminators, stray and
// doubled escapes, overlong payloads, and ordinary text.
std::vector<std::string> propertyStreams() {
    std::vector<std::string> streams = {
        "\x1b]7;file://host/Users/me\x07",
        "\x1b]7;file:///a\x1b\\x\x1b]7;file:///b\x07\x1b]7;file:///c\x1b]7;file:///d\x1b\\",
        "\x1b\x1b]7;file:///e\x1bq\x07\x1b]7;FILE://h/%41\x07",
        "\x1b]7;file:///" + std::string(3200, 'z') + "\x07\x1b]7;file:///after\x07",
        "\x1b]7;file:///" + std::string(3126, 'y') + "\x1b\\",
    };
    std::mt19937 generator(20260401);
    const std::string_view alphabet[] = {"\x1b",
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
                                         "\x07",
                                         "\x1b]",
                                         "\x1b]7;",
                                         "\x1b]7;file:///",
                                         "\x1b]7;file:///p"};
    std::uniform_int_distribution<std::size_t> pick(0, std::size(alphabet) - 1);
    std::uniform_int_distribution<std::size_t> length(1, 40);
    for (int i = 0; i < 200; ++i) {
        std::string stream;
        for (std::size_t n = length(generator); n > 0; --n)
            stream += alphabet[pick(generator)];
        streams.push_back(std::move(stream));
    }
    std::uniform_int_distribution<int> anyByte(0, 255);
    for (int i = 0; i < 50; ++i) {
        std::string stream;
        for (int n = 0; n < 200; ++n)
            stream.push_back(static_cast<char>(anyByte(generator)));
        streams.push_back(std::move(stream));
    }
    return streams;
}

TEST(OSC7Parser, ChunkBoundariesNeverChangeTheFoldersFound) {
    int streamsWithFolders = 0;
    for (const std::string& stream : propertyStreams()) {
        Folders whole = feedOnce(stream);
        streamsWithFolders += whole.empty() ? 0 : 1;

        for (std::size_t cut = 0; cut <= stream.size(); ++cut) {
            OSC7Parser parser;
            Folders split = feed(parser, std::string_view(stream).substr(0, cut));
            Folders rest = feed(parser, std::string_view(stream).substr(cut));
            split.insert(split.end(), rest.begin(), rest.end());
            ASSERT_EQ(split, whole) << "cut at " << cut;
        }

        OSC7Parser parser;
        Folders single;
        for (char c : stream) {
            Folders found = feed(parser, std::string_view(&c, 1));
            single.insert(single.end(), found.begin(), found.end());
        }
        ASSERT_EQ(single, whole);
    }
    // The generated streams must actually contain reports, or the property says little.
    EXPECT_GT(streamsWithFolders, 20);
}

} // namespace
} // namespace veltro
