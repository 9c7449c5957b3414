#include "client/command/DetachKey.hpp"

namespace veltro::command {

namespace {

constexpr std::string_view pasteStart = "\x1b[200~";
constexpr std::string_view pasteEnd = "\x1b[201~";
constexpr std::uint8_t escape = 0x1b;

} // namespace

std::optional<std::uint8_t> parseDetachKey(std::string_view text) {
    if (text.size() != 2 || text[0] != '^')
        return std::nullopt;
    char key = text[1];
    if (key == '?')
        return 0x7f;
    if (key >= 'a' && key <= 'z')
        key = static_cast<char>(key - 'a' + 'A');
    if (key < '@' || key > '_')
        return std::nullopt;
    auto byte = static_cast<std::uint8_t>(key - '@');
    if (byte == escape)
        return std::nullopt;
    return byte;
}

std::optional<std::size_t> DetachKeyFilter::find(ByteView input) {
    if (!key_)
        return std::nullopt;
    for (std::size_t index = 0; index < input.size(); ++index) {
        std::uint8_t byte = input[index];
        if (!pasting_ && byte == *key_)
            return index;
        follow(byte);
    }
    return std::nullopt;
}

// Neither marker holds a second Escape, so a mismatch can only restart the match at the byte
// that broke it.
void DetachKeyFilter::follow(std::uint8_t byte) {
    std::string_view marker = pasting_ ? pasteEnd : pasteStart;
    if (static_cast<char>(byte) == marker[matched_]) {
        if (++matched_ < marker.size())
            return;
        pasting_ = !pasting_;
        matched_ = 0;
        return;
    }
    matched_ = byte == escape ? 1 : 0;
}

} // namespace veltro::command
