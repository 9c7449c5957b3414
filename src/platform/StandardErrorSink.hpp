#pragma once

// The journal's stand-in: one line per message on standard error (or another descriptor, for
// tests). Private to src/platform and its tests.

#include "platform/Logger.hpp"

#include <unistd.h>

#include <string>

namespace veltro {

// "<subsystem> [<category>] <level>: <message>" and a newline; the message is kept as it is.
// A message about a connection says so: "[<category> pid <peer>]".
std::string formatLogLine(const LogRecord& record);

class StandardErrorSink : public LogSink {
public:
    explicit StandardErrorSink(int fd = STDERR_FILENO) : fd_(fd) {}
    void write(const LogRecord& record) override;

private:
    int fd_;
};

} // namespace veltro
