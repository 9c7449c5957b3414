#include "sessions/OSC7Parser.hpp"

#include "platform/HexDigit.hpp"
#include "platform/UTF8.hpp"

#include <cstring>
#include <string_view>

namespace veltro {

namespace {

constexpr std::uint8_t escapeByte = 0x1B;
constexpr std::uint8_t bellByte = 0x07;
constexpr std::uint8_t closeBracketByte = 0x5D;
constexpr std::uint8_t backslashByte = 0x5C;

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string decoded;
    decoded.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            decoded.push_back(text[i]);
            continue;
        }
        if (text.size() - i < 3)
            return std::nullopt;
        int high = hexDigitValue(text[i + 1]), low = hexDigitValue(text[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        decoded.push_back(static_cast<char>(high << 4 | low));
        i += 2;
    }
    if (!isValidUTF8(decoded))
        return std::nullopt;
    return decoded;
}

bool hasSchemePrefix(std::string_view text) {
    // The scheme is ASCII, so comparing it without regard to case needs no Unicode tables.
    constexpr std::string_view scheme = "file://";
    if (text.size() < scheme.size())
        return false;
    for (std::size_t i = 0; i < scheme.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != scheme[i])
            return false;
    }
    return true;
}

} // namespace

OSC7Parser::OSC7Parser() {
    payload.reserve(payloadLimit);
}

OSC7Parser::OSC7Parser(const OSC7Parser& other) : state(other.state), overflowed(other.overflowed) {
    payload.reserve(payloadLimit);
    payload = other.payload;
}

OSC7Parser& OSC7Parser::operator=(const OSC7Parser& other) {
    state = other.state;
    overflowed = other.overflowed;
    // Assigning into the reserved buffer keeps its storage.
    payload.assign(other.payload.begin(), other.payload.end());
    return *this;
}

void OSC7Parser::startOSC() {
    payload.clear();
    overflowed = false;
}

void OSC7Parser::endOSC(std::vector<std::string>& folders) {
    if (!overflowed) {
        if (auto found = folder(payload))
            folders.push_back(std::move(*found));
    }
    payload.clear();
}

std::vector<std::string> OSC7Parser::feed(std::span<const std::uint8_t> bytes) {
    std::vector<std::string> folders;
    const std::uint8_t* next = bytes.data();
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
        switch (state) {
        case State::text:
            break;
        case State::escape:
            if (byte == closeBracketByte) {
                startOSC();
                state = State::osc;
            } else if (byte != escapeByte) {
                state = State::text;
            }
            break;
        case State::osc:
            if (byte == escapeByte) {
                state = State::oscEscape;
            } else if (byte == bellByte) {
                endOSC(folders);
                state = State::text;
            } else if (payload.size() < payloadLimit) {
                payload.push_back(byte);
            } else {
                overflowed = true;
            }
            break;
        case State::oscEscape:
            if (byte == escapeByte) {
                state = State::escape;
            } else if (byte == closeBracketByte) {
                startOSC();
                state = State::osc;
            } else if (byte == backslashByte) {
                endOSC(folders);
                state = State::text;
            } else {
                state = State::text;
            }
            break;
        }
    }
    return folders;
}

std::optional<std::string> OSC7Parser::folder(std::span<const std::uint8_t> payload) {
    if (payload.size() < 2 || payload[0] != '7' || payload[1] != ';')
        return std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(payload.data()) + 2, payload.size() - 2);
    if (!isValidUTF8(text) || !hasSchemePrefix(text))
        return std::nullopt;
    text.remove_prefix(std::string_view("file://").size());
    // The host is not compared with anything: only the local machine's shells report here.
    std::size_t slash = text.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    std::optional<std::string> path = percentDecoded(text.substr(slash));
    // A NUL cannot be part of a file name; such a path would be cut short wherever it is used.
    if (!path || path->find('\0') != std::string::npos)
        return std::nullopt;
    return path;
}

} // namespace veltro
