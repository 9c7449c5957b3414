#include "sessions/CommandMarkParser.hpp"

#include "platform/HexDigit.hpp"
#include "platform/UTF8.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>

namespace veltro {

namespace {

constexpr std::uint8_t escapeByte = 0x1B;
constexpr std::uint8_t bellByte = 0x07;

constexpr std::string_view markPrefix = "133;";
constexpr std::string_view linePrefix = "633;E;";

// Exit codes are small; more digits than this are no exit code at all.
constexpr int exitDigitsLimit = 18;

// The line as valid UTF-8, cut between characters to at most `limit` bytes.
std::string finishedLine(std::string line, std::size_t limit) {
    std::string text = isValidUTF8(line) ? std::move(line) : replacingInvalidUTF8(line);
    if (text.size() <= limit)
        return text;
    std::size_t cut = limit;
    while (cut > 0 && (static_cast<std::uint8_t>(text[cut]) & 0xC0) == 0x80)
        --cut;
    text.resize(cut);
    return text;
}

} // namespace

void CommandMarkParser::feed(ByteView bytes, std::vector<Mark>& marks) {
    const std::uint8_t* begin = bytes.data();
    const std::uint8_t* next = begin;
    const std::uint8_t* end = next + bytes.size();
    while (next != end) {
        if (state == State::text) {
            // Almost all output is ordinary text: skip straight to the next ESC.
            next = static_cast<const std::uint8_t*>(
                std::memchr(next, escapeByte, static_cast<std::size_t>(end - next)));
            if (!next)
                break;
            ++next;
            state = State::escape;
            continue;
        }
        std::uint8_t byte = *next++;
        if (state == State::escape) {
            if (byte == ']')
                startOSC();
            else if (byte != escapeByte)
                state = State::text;
            continue;
        }
        if (std::exchange(oscEscape, false)) {
            if (byte == '\\') {
                endOSC(static_cast<std::size_t>(next - begin), marks);
                continue;
            }
            // Any other byte after the ESC cuts the sequence short, and the ESC starts anew.
            if (byte == ']')
                startOSC();
            else
                state = byte == escapeByte ? State::escape : State::text;
            continue;
        }
        if (byte == escapeByte) {
            oscEscape = true;
            continue;
        }
        if (byte == bellByte) {
            endOSC(static_cast<std::size_t>(next - begin), marks);
            continue;
        }
        switch (state) {
        case State::identifier:
            takeIdentifierByte(byte);
            break;
        case State::markParams:
            takeParamByte(byte);
            break;
        case State::commandLine:
            takeLineByte(byte);
            break;
        case State::text:
        case State::escape:
        case State::ignored:
            break;
        }
    }
}

void CommandMarkParser::startOSC() {
    state = State::identifier;
    identifierLength = 0;
}

void CommandMarkParser::takeIdentifierByte(std::uint8_t byte) {
    identifier[identifierLength++] = byte;
    std::string_view seen(reinterpret_cast<const char*>(identifier.data()), identifierLength);
    if (seen.size() == markPrefix.size() + 1 && seen.starts_with(markPrefix)) {
        state = State::markParams;
        paramField = 0;
        exitValue = 0;
        exitDigits = 0;
        exitCodeValid = true;
        switch (byte) {
        case 'A':
            kind = Kind::promptStart;
            return;
        case 'B':
            kind = Kind::commandLineStart;
            return;
        case 'C':
            kind = Kind::commandStart;
            return;
        case 'D':
            kind = Kind::commandFinish;
            return;
        default:
            state = State::ignored;
            return;
        }
    }
    if (seen == linePrefix) {
        state = State::commandLine;
        line.clear();
        lineEscape = 0;
        lineEnded = false;
        return;
    }
    if (!markPrefix.starts_with(seen) && !linePrefix.starts_with(seen))
        state = State::ignored;
}

void CommandMarkParser::takeParamByte(std::uint8_t byte) {
    if (byte == ';') {
        paramField = std::min(paramField + 1, 2);
        return;
    }
    // Only a ';' may follow the letter: "133;AB" is no mark.
    if (paramField == 0) {
        state = State::ignored;
        return;
    }
    if (paramField != 1 || kind != Kind::commandFinish)
        return;
    if (byte < '0' || byte > '9' || exitDigits == exitDigitsLimit) {
        exitCodeValid = false;
        return;
    }
    exitValue = exitValue * 10 + (byte - '0');
    ++exitDigits;
}

void CommandMarkParser::takeLineByte(std::uint8_t byte) {
    if (lineEnded)
        return;
    switch (lineEscape) {
    case 0:
        if (byte == '\\')
            lineEscape = 1;
        else if (byte == ';')
            lineEnded = true;
        else
            appendLine(byte);
        return;
    case 1:
        if (byte == '\\') {
            appendLine(byte);
            lineEscape = 0;
            return;
        }
        if (byte == 'x') {
            lineEscape = 2;
            return;
        }
        break;
    case 2:
        if (hexDigitValue(byte) >= 0) {
            escapeHigh = byte;
            lineEscape = 3;
            return;
        }
        break;
    default:
        if (hexDigitValue(byte) >= 0) {
            appendLine(
                static_cast<std::uint8_t>(hexDigitValue(escapeHigh) << 4 | hexDigitValue(byte)));
            lineEscape = 0;
            return;
        }
        break;
    }
    // Not an escape after all: it stays as it was written, and this byte is read afresh.
    appendUnfinishedEscape();
    takeLineByte(byte);
}

void CommandMarkParser::appendUnfinishedEscape() {
    if (lineEscape >= 1)
        appendLine('\\');
    if (lineEscape >= 2)
        appendLine('x');
    if (lineEscape >= 3)
        appendLine(escapeHigh);
    lineEscape = 0;
}

void CommandMarkParser::appendLine(std::uint8_t byte) {
    // A few bytes past the limit keep the character that straddles it whole, so the cut can
    // fall between characters.
    if (line.size() < commandLineLimit + 3)
        line.push_back(static_cast<char>(byte));
}

void CommandMarkParser::endOSC(std::size_t end, std::vector<Mark>& marks) {
    State ended = std::exchange(state, State::text);
    if (ended == State::markParams) {
        Mark& mark = marks.emplace_back();
        mark.kind = kind;
        mark.end = end;
        if (kind == Kind::commandFinish && exitDigits > 0 && exitCodeValid)
            mark.exitCode = exitValue;
        return;
    }
    if (ended != State::commandLine)
        return;
    if (!lineEnded)
        appendUnfinishedEscape();
    // No shell's command line holds a NUL; a line that does is not one.
    if (line.find('\0') != std::string::npos)
        return;
    Mark& mark = marks.emplace_back();
    mark.kind = Kind::commandLine;
    mark.end = end;
    mark.commandLine = finishedLine(std::exchange(line, {}), commandLineLimit);
}

} // namespace veltro
