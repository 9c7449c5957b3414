#pragma once

#include "platform/Logger.hpp"

#include <mutex>
#include <string>
#include <vector>

namespace veltro::testing {

// A log sink that keeps every message it is given, from any thread.
class RecordingSink final : public LogSink {
public:
    struct Entry {
        LogLevel level;
        std::string subsystem;
        std::string category;
        std::string message;
    };

    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override {
        std::lock_guard guard(mutex);
        recorded.push_back(
            {level, std::string(subsystem), std::string(category), std::string(message)});
    }

    std::vector<Entry> entries() {
        std::lock_guard guard(mutex);
        return recorded;
    }

private:
    std::mutex mutex;
    std::vector<Entry> recorded;
};

} // namespace veltro::testing
