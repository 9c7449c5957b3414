#pragma once

#include <string>
#include <string_view>

namespace veltro {

// Whether the bytes are well-formed UTF-8: shortest forms only, no surrogates, nothing past
// U+10FFFF. Folders, names and messages cross the wire as str, which must hold such text.
bool isValidUTF8(std::string_view bytes);

// The bytes as UTF-8, each invalid sequence replaced by U+FFFD.
std::string replacingInvalidUTF8(std::string_view bytes);

} // namespace veltro
