#pragma once

#include "protocol/Bytes.hpp"

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace veltro {

struct ForegroundProcess {
    bool busy = false;
    std::optional<std::string> name;

    friend bool operator==(const ForegroundProcess&, const ForegroundProcess&) = default;
};

// One running shell. Every member may be called from any thread. write(), resize() and close()
// only enqueue their work; currentFolder() and foregroundProcess() wait for the session's queue
// and so must never be called from one of the session's own event callbacks.
class ShellSession {
public:
    virtual ~ShellSession() = default;

    virtual pid_t pid() const = 0;
    virtual void write(Bytes data) = 0;
    virtual void resize(std::int64_t columns, std::int64_t rows) = 0;
    virtual std::optional<std::string> currentFolder() = 0;
    virtual ForegroundProcess foregroundProcess() = 0;
    virtual void close() = 0;
};

} // namespace veltro
