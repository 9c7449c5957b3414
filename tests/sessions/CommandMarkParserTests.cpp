#include "sessions/CommandLog.hpp"
#include "sessions/CommandMarkParser.hpp"

#include <gtest/gtest.h>

#include <string_view>

namespace veltro {
namespace {

using Kind = CommandMarkParser::Kind;
using Marks = std::vector<std::string>;

ByteView bytes(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// One mark as "<letter>@<offset of the byte after it>", with its exit code or command line.
std::string describe(const CommandMarkParser::Mark& mark, std::size_t pieceStart) {
    std::string text = std::string(1, "ABCDE"[static_cast<int>(mark.kind)]) + "@" +
                       std::to_string(pieceStart + mark.end);
    if (mark.kind == Kind::commandFinish)
        text += "=" + (mark.exitCode ? std::to_string(*mark.exitCode) : std::string("nil"));
    if (mark.kind == Kind::commandLine)
        text += ":" + mark.commandLine;
    return text;
}

Marks feedPieces(const std::vector<std::string_view>& pieces) {
    CommandMarkParser parser;
    std::vector<CommandMarkParser::Mark> found;
    Marks marks;
    std::size_t start = 0;
    for (std::string_view piece : pieces) {
        parser.feed(bytes(piece), found);
        for (const auto& mark : found)
            marks.push_back(describe(mark, start));
        found.clear();
        start += piece.size();
    }
    return marks;
}

// What the parser finds in `stream`, checked to be the same wherever the stream is cut in two,
// and when it comes one byte at a time.
Marks found(std::string_view stream) {
    Marks whole = feedPieces({stream});
    for (std::size_t cut = 0; cut <= stream.size(); ++cut)
        EXPECT_EQ(feedPieces({stream.substr(0, cut), stream.substr(cut)}), whole)
            << "cut at " << cut << " of " << stream;
    std::vector<std::string_view> single;
    for (std::size_t i = 0; i < stream.size(); ++i)
        single.push_back(stream.substr(i, 1));
    EXPECT_EQ(feedPieces(single), whole) << stream;
    return whole;
}

TEST(CommandMarkParser, MarksAreFoundWithTheOffsetAfterThemWhereverTheStreamIsCut) {
    // A whole command, ended by BEL and by ST, with the text around it left alone.
    EXPECT_EQ(found("\x1b]133;A\x07$ \x1b]133;B\x1b\\\x1b]633;E;ls -l;n0nce\x07"
                    "\x1b]133;C\x07out\r\n\x1b]133;D;0\x1b\\"),
              (Marks{"A@8", "B@19", "E@39:ls -l", "C@47", "D@63=0"}));
    // D's exit code is its first param when that is decimal; params of other marks are skipped.
    EXPECT_EQ(found("\x1b]133;D\x07\x1b]133;D;\x07\x1b]133;D;1x\x07\x1b]133;D;127;aid=3\x07"
                    "\x1b]133;A;cl=m\x07"),
              (Marks{"D@8=nil", "D@17=nil", "D@28=nil", "D@46=127", "A@59"}));
    // `\\` and `\xHH` are undone; an unfinished escape stays as written, also at the end.
    EXPECT_EQ(found("\x1b]633;E;a\\x3bb \\\\ c \\X41\\x4g\\x\x07\x1b]633;E;d\\\x07"),
              (Marks{"E@31:a;b \\ c \\X41\\x4g\\x", "E@42:d\\"}));
    // Malformed or foreign sequences are skipped, and so is a sequence cut short by another
    // escape; a new ESC ] starts over.
    EXPECT_EQ(found("\x1b]133;X\x07\x1b]133;AB\x07\x1b]133\x07\x1b]1337;A\x07\x1b]633;A\x07"
                    "\x1b]0;133;A\x07\x1b]633;E\x07\x1b]133;A\x1bx\x1b]633;E;a\\x00b\x07"
                    "\x9d"
                    "133;A\x07\x1b]0;title\x1b]133;C\x07"),
              (Marks{"C@106"}));
}

TEST(CommandMarkParser, CommandLineIsCutBetweenCharactersAndMadeValidText) {
    const std::size_t limit = CommandMarkParser::commandLineLimit;
    auto lineOf = [](const std::string& line) {
        Marks marks = feedPieces({"\x1b]633;E;" + line + "\x07"});
        return marks.size() == 1 ? marks[0].substr(marks[0].find(':') + 1) : "none";
    };
    // A character that would straddle the limit goes as a whole.
    EXPECT_EQ(lineOf(std::string(limit - 1, 'a') + "\xc3\xa9tail"), std::string(limit - 1, 'a'));
    EXPECT_EQ(lineOf(std::string(limit + 5000, 'b')), std::string(limit, 'b'));
    EXPECT_EQ(lineOf("caf\\xc3\\xa9 \xff"), "caf\xc3\xa9 \xef\xbf\xbd");
}

TEST(CommandLog, CommandsRunFromCToDWithTheLastCommandLineSinceAAndOutOfOrderMarksAreSkipped) {
    CommandLog log;
    auto start = std::chrono::steady_clock::time_point();
    auto take = [&](Kind kind, std::int64_t offset, std::chrono::milliseconds at = {},
                    std::optional<std::int64_t> code = {}, std::string line = {}) {
        CommandMarkParser::Mark mark{kind, 0, code, std::move(line)};
        const CommandInfo* command = log.take(mark, offset, start + at);
        return command ? std::optional(*command) : std::nullopt;
    };
    EXPECT_FALSE(take(Kind::promptStart, 1));
    EXPECT_FALSE(take(Kind::commandLine, 2, {}, {}, "make"));
    EXPECT_FALSE(take(Kind::commandLineStart, 3));
    EXPECT_EQ(take(Kind::commandStart, 10, std::chrono::milliseconds(100)),
              (CommandInfo{"make", 10, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_FALSE(take(Kind::commandStart, 11));
    EXPECT_EQ(take(Kind::commandFinish, 20, std::chrono::milliseconds(1600), 2),
              (CommandInfo{"make", 10, 20, 2, 1500}));
    EXPECT_FALSE(take(Kind::commandFinish, 21));
    // No A since: the same command line again.
    EXPECT_EQ(take(Kind::commandStart, 30)->commandLine, "make");
    // A prompt without a D leaves its command unfinished; a D with no C is a command of its own.
    EXPECT_FALSE(take(Kind::promptStart, 35));
    EXPECT_EQ(take(Kind::commandFinish, 40, {}, 130),
              (CommandInfo{std::nullopt, std::nullopt, 40, 130, std::nullopt}));
    EXPECT_EQ(log.commands().size(), 3u);

    for (std::int64_t i = 0; i < 150; ++i) {
        take(Kind::commandStart, 100 + 2 * i);
        take(Kind::commandFinish, 101 + 2 * i);
    }
    std::vector<CommandInfo> kept = log.commands();
    ASSERT_EQ(kept.size(), CommandLog::capacity);
    EXPECT_EQ(kept.front().started, 100 + 2 * 50);
    EXPECT_EQ(kept.back().finished, 101 + 2 * 149);
}

} // namespace
} // namespace veltro
