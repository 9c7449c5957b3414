#include "platform/StopProgram.hpp"

#include <cstdio>
#include <cstdlib>

namespace veltro {

void stopProgram(const std::string& message) {
    // The program is about to abort: a failed write to standard error has nowhere to be told.
    (void)std::fprintf(stderr, "veltro: %s\n", message.c_str());
    (void)std::fflush(stderr);
    std::abort();
}

} // namespace veltro
