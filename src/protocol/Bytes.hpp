#pragma once

#include <cstdint>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace veltro {

// Terminal input and output: uninterpreted bytes.
using Bytes = std::vector<std::uint8_t>;

// A chunk of terminal output, seen where it was read: output is never copied on its way from
// the terminal read to the socket write. Whoever hands out a view says how long it stays valid.
using ByteView = std::span<const std::uint8_t>;

// Environment variables by name. Linux names and values are byte strings, so equality is
// byte equality.
using Environment = std::map<std::string, std::string>;

} // namespace veltro
