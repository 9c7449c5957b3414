#pragma once

#include <string>

namespace veltro {

// For faults of the program itself, never for what a client or the system can cause: prints
// what broke to standard error and aborts, leaving a core to look at.
[[noreturn]] void stopProgram(const std::string& message);

} // namespace veltro
