#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace veltro {

enum class LogLevel { error, notice, info };

// Where log messages go. The system sink writes to the journal, or one line per message to
// standard error when the journal cannot be reached. Tests put a recording sink in its place.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(LogLevel level, std::string_view subsystem, std::string_view category,
                       std::string_view message) = 0;

    static std::shared_ptr<LogSink> system();
};

// A logger for one subsystem and category. notice() is the default level.
class Logger {
public:
    Logger(std::string subsystem, std::string category,
           std::shared_ptr<LogSink> sink = LogSink::system());

    void error(std::string_view message) const;
    void notice(std::string_view message) const;
    void info(std::string_view message) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
    std::shared_ptr<LogSink> sink_;
};

} // namespace veltro
