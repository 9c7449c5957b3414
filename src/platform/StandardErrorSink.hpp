#pragma once

// The journal's stand-in: one line per message on standard error (or another descriptor, for
// tests). Private to src/platform and its tests.

#include "platform/Logger.hpp"

#include <unistd.h>

#include <string>
#include <string_view>

namespace veltro {

std::string_view logLevelName(LogLevel level);

// "<subsystem> [<category>] <level>: <message>" and a newline; the message is kept as it is.
std::string formatLogLine(LogLevel level, std::string_view subsystem, std::string_view category,
                          std::string_view message);

class StandardErrorSink : public LogSink {
public:
    explicit StandardErrorSink(int fd = STDERR_FILENO);

    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override;

private:
    int fd_;
};

} // namespace veltro
