#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace veltro {

// Terminal input and output: uninterpreted bytes. A chunk of output is moved, never copied,
// from the terminal read to the socket write.
using Bytes = std::vector<std::uint8_t>;

// Environment variables by name. Linux names and values are byte strings, so equality is
// byte equality.
using Environment = std::map<std::string, std::string>;

} // namespace veltro
