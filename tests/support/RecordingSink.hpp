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
        std::string function;
        pid_t connection = 0;
    };

    void write(const LogRecord& record) override {
        std::lock_guard guard(mutex);
        recorded.push_back({record.level, std::string(record.subsystem),
                            std::string(record.category), std::string(record.message),
                            record.location.function_name(), record.connection});
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
