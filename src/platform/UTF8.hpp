#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltro {

// Whether the bytes are well-formed UTF-8: shortest forms only, no surrogates, nothing past
// U+10FFFF. Folders, names and messages cross the wire as str, which must hold such text.
bool isValidUTF8(std::string_view bytes);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view bytes);

// Text from a peer fit to be echoed in a reply or a log line: valid UTF-8 (each invalid sequence
// as U+FFFD), control characters as '?', and at most `limit` bytes of it, cut between characters
// and followed by "… (N bytes)" when the text was longer. A peer can thus neither make a reply
// or a log line as large as its message nor break a log into lines of its own.
std::string quotedText(std::string_view text, std::size_t limit = 200);

} // namespace veltro
