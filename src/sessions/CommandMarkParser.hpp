#pragma once

#include "protocol/Bytes.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltro {

// Scans one shell's raw output for the marks a shell integration puts around its commands:
// OSC 133 ; A (prompt), B (command line), C (output starts), D [; exit code] (finished), and
// OSC 633 ; E ; commandLine [; nonce], each ended by BEL or ESC \. It keeps its state between
// calls, so a mark may be split across any number of chunks. It only reads the bytes, and
// copies none but those of a command line it reports.
//
// Only the 7-bit introducers are read: the 8-bit ones (0x9D, 0x9C) are also UTF-8 continuation
// bytes, so taking them would find marks inside ordinary text.
class CommandMarkParser {
public:
    // A command line is cut to this many bytes, between characters.
    static constexpr std::size_t commandLineLimit = 64 * 1024;

    enum class Kind { promptStart, commandLineStart, commandStart, commandFinish, commandLine };

    struct Mark {
        Kind kind = Kind::promptStart;
        // How many bytes of the chunk come up to the end of the mark, its terminator included.
        std::size_t end = 0;
        // commandFinish: the decimal exit code it carried, if any.
        std::optional<std::int64_t> exitCode;
        // commandLine: the line with its escapes undone, as valid UTF-8.
        std::string commandLine;
    };

    // Appends to `marks` every mark that ended inside `bytes`, in order. The caller's vector is
    // reused from chunk to chunk, so scanning allocates nothing while no mark is found.
    void feed(ByteView bytes, std::vector<Mark>& marks);

private:
    enum class State {
        text,
        escape,
        // After ESC ]: reading the sequence's number and letter, to tell ours from the others.
        identifier,
        // After 133;A..D: reading the mark's optional params.
        markParams,
        // After 633;E;: reading the command line.
        commandLine,
        // Any other OSC, or one of ours found malformed: skipped up to its end.
        ignored,
    };

    void startOSC();
    void takeIdentifierByte(std::uint8_t byte);
    void takeParamByte(std::uint8_t byte);
    void takeLineByte(std::uint8_t byte);
    void appendLine(std::uint8_t byte);
    void appendUnfinishedEscape();
    void endOSC(std::size_t end, std::vector<Mark>& marks);

    State state = State::text;
    // The OSC's ESC has come, and a backslash would end it.
    bool oscEscape = false;

    std::array<std::uint8_t, 6> identifier{};
    std::size_t identifierLength = 0;
    Kind kind = Kind::promptStart;

    // Params of a mark: 0 before the first ';', 1 in the first param, 2 past it.
    int paramField = 0;
    std::int64_t exitValue = 0;
    int exitDigits = 0;
    bool exitCodeValid = true;

    // The command line: `\\` and `\xHH` undone as they come; lineEscape counts the bytes of an
    // escape read so far (1 after the backslash, 2 after the x, 3 after the first digit).
    std::string line;
    int lineEscape = 0;
    std::uint8_t escapeHigh = 0;
    // An unescaped ';' ended the line: what follows is the nonce, which is not checked.
    bool lineEnded = false;
};

} // namespace veltro
