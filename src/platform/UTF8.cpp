#include "platform/UTF8.hpp"

#include <string>
#include <utility>

namespace veltro {

namespace {

// The sequence at the start of `bytes`: its length and whether it is valid UTF-8. An invalid
// one covers the longest start that could still have become valid, and at least one byte, so
// that each such start becomes one replacement character. The second byte has a narrower range
// after the lead bytes where overlong forms, surrogates or values beyond U+10FFFF would begin.
std::pair<std::size_t, bool> nextSequence(std::string_view bytes) {
    auto byte = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    unsigned char lead = byte(0);
    if (lead < 0x80)
        return {1, true};
    std::size_t length = 0;
    unsigned char low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false};
    }
    for (std::size_t index = 1; index < length; ++index) {
        if (index >= bytes.size() || byte(index) < low || byte(index) > high)
            return {index, false};
        low = 0x80;
        high = 0xBF;
    }
    return {length, true};
}

} // namespace

bool isValidUTF8(std::string_view bytes) {
    while (!bytes.empty()) {
        auto [length, valid] = nextSequence(bytes);
        if (!valid)
            return false;
        bytes.remove_prefix(length);
    }
    return true;
}

std::string replacingInvalidUTF8(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    while (!bytes.empty()) {
        auto [length, valid] = nextSequence(bytes);
        if (valid)
            text.append(bytes.substr(0, length));
        else
            text.append("\xEF\xBF\xBD");
        bytes.remove_prefix(length);
    }
    return text;
}

std::string quotedText(std::string_view text, std::size_t limit) {
    std::string result;
    std::string_view rest = text;
    while (!rest.empty()) {
        auto [length, valid] = nextSequence(rest);
        std::string_view piece = valid ? rest.substr(0, length) : "\xEF\xBF\xBD";
        unsigned char lead = static_cast<unsigned char>(piece[0]);
        if (lead < 0x20 || lead == 0x7F)
            piece = "?";
        if (result.size() + piece.size() > limit)
            break;
        result.append(piece);
        rest.remove_prefix(length);
    }
    if (!rest.empty())
        result += "\xE2\x80\xA6 (" + std::to_string(text.size()) + " bytes)";
    return result;
}

} // namespace veltro
