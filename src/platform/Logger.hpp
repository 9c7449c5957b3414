#pragma once

#include <sys/types.h>

#include <memory>
#include <source_location>
#include <string>
#include <string_view>
#include <vector>

namespace veltro {

enum class LogLevel { error, notice, info };

// One message with what the journal files it under: where in the code it was logged, and the
// client connection it concerns (its peer's process id), if any.
struct LogRecord {
    LogLevel level = LogLevel::notice;
    std::string_view subsystem;
    std::string_view category;
    std::string_view message;
    std::source_location location;
    pid_t connection = 0;
};

// The journal fields of a record, in the order they are sent; the location goes separately.
std::vector<std::string> journalFields(const LogRecord& record);

// Where log messages go. The system sink writes to the journal, or one line per message to
// standard error when the journal cannot be reached. Tests put a recording sink in its place.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;

    static std::shared_ptr<LogSink> system();
};

// A logger for one subsystem and category. notice() is the default level.
class Logger {
public:
    using Location = std::source_location;

    Logger(std::string subsystem, std::string category,
           std::shared_ptr<LogSink> sink = LogSink::system());

    // The same logger, with every message filed under the connection of the peer `peerPid`.
    Logger forConnection(pid_t peerPid) const;

    void error(std::string_view message, Location location = Location::current()) const;
    void notice(std::string_view message, Location location = Location::current()) const;
    void info(std::string_view message, Location location = Location::current()) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    void log(LogLevel level, std::string_view message, const Location& location) const;

    std::string subsystem_;
    std::string category_;
    std::shared_ptr<LogSink> sink_;
    pid_t connection_ = 0;
};

} // namespace veltro
