#include "platform/Logger.hpp"

#include "platform/StandardErrorSink.hpp"

#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace veltro {

namespace {

constexpr const char* journalSocket = "/run/systemd/journal/socket";

std::string_view levelName(LogLevel level) {
    switch (level) {
    case LogLevel::error:
        return "error";
    case LogLevel::notice:
        return "notice";
    case LogLevel::info:
        return "info";
    }
    return "notice";
}

std::string_view priority(LogLevel level) {
    switch (level) {
    case LogLevel::error:
        return "3";
    case LogLevel::notice:
        return "5";
    case LogLevel::info:
        return "6";
    }
    return "5";
}

// Sends through the journal's native protocol, one field per vector, so the message goes out
// byte for byte (no format string is involved), and falls back to standard error whenever the
// journal cannot take it.
class SystemSink : public LogSink {
public:
    void write(const LogRecord& record) override {
        if (!sendToJournal(record))
            fallback_.write(record);
    }

private:
    static bool sendToJournal(const LogRecord& record) {
        if (::access(journalSocket, F_OK) != 0)
            return false;
        std::vector<std::string> fields = journalFields(record);
        std::vector<iovec> vectors;
        vectors.reserve(fields.size());
        for (std::string& field : fields)
            vectors.push_back({field.data(), field.size()});
        std::string file = std::string("CODE_FILE=") + record.location.file_name();
        std::string line = "CODE_LINE=" + std::to_string(record.location.line());
        return ::sd_journal_sendv_with_location(file.c_str(), line.c_str(),
                                                record.location.function_name(), vectors.data(),
                                                static_cast<int>(vectors.size())) >= 0;
    }

    StandardErrorSink fallback_;
};

} // namespace

std::vector<std::string> journalFields(const LogRecord& record) {
    std::vector<std::string> fields{
        "MESSAGE=" + std::string(record.message),
        "PRIORITY=" + std::string(priority(record.level)),
        "SYSLOG_IDENTIFIER=" + std::string(record.subsystem),
        "VELTRO_SUBSYSTEM=" + std::string(record.subsystem),
        "VELTRO_CATEGORY=" + std::string(record.category),
    };
    if (record.connection > 0)
        fields.push_back("VELTRO_CONNECTION_PID=" + std::to_string(record.connection));
    return fields;
}

std::string formatLogLine(const LogRecord& record) {
    std::string line;
    line.append(record.subsystem).append(" [").append(record.category);
    if (record.connection > 0)
        line.append(" pid ").append(std::to_string(record.connection));
    line.append("] ").append(levelName(record.level)).append(": ");
    line.append(record.message).append("\n");
    return line;
}

// One write per line, so lines of concurrent writers do not interleave.
void StandardErrorSink::write(const LogRecord& record) {
    std::string line = formatLogLine(record);
    std::string_view rest = line;
    while (!rest.empty()) {
        ssize_t written = ::write(fd_, rest.data(), rest.size());
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        rest.remove_prefix(static_cast<std::size_t>(written));
    }
}

std::shared_ptr<LogSink> LogSink::system() {
    static const std::shared_ptr<LogSink> sink = std::make_shared<SystemSink>();
    return sink;
}

Logger::Logger(std::string subsystem, std::string category, std::shared_ptr<LogSink> sink)
    : subsystem_(std::move(subsystem)), category_(std::move(category)), sink_(std::move(sink)) {}

Logger Logger::forConnection(pid_t peerPid) const {
    Logger copy = *this;
    copy.connection_ = peerPid;
    return copy;
}

void Logger::log(LogLevel level, std::string_view message, const Location& location) const {
    sink_->write({level, subsystem_, category_, message, location, connection_});
}

void Logger::error(std::string_view message, Location location) const {
    log(LogLevel::error, message, location);
}

void Logger::notice(std::string_view message, Location location) const {
    log(LogLevel::notice, message, location);
}

void Logger::info(std::string_view message, Location location) const {
    log(LogLevel::info, message, location);
}

} // namespace veltro
