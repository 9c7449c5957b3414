#include "platform/Logger.hpp"

#include "platform/StandardErrorSink.hpp"

#include <systemd/sd-journal.h>

#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>

namespace veltro {

namespace {

constexpr const char* journalSocket = "/run/systemd/journal/socket";

const char* priorityField(LogLevel level) {
    switch (level) {
    case LogLevel::error:
        return "PRIORITY=3";
    case LogLevel::notice:
        return "PRIORITY=5";
    case LogLevel::info:
        return "PRIORITY=6";
    }
    return "PRIORITY=5";
}

// Sends through the journal's native protocol, one field per vector, so the message goes out
// byte for byte (no format string is involved), and falls back to standard error whenever the
// journal cannot take it.
class SystemSink : public LogSink {
public:
    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override {
        if (!sendToJournal(level, subsystem, category, message))
            fallback_.write(level, subsystem, category, message);
    }

private:
    static bool sendToJournal(LogLevel level, std::string_view subsystem, std::string_view category,
                              std::string_view message) {
        if (::access(journalSocket, F_OK) != 0)
            return false;
        std::array fields{
            "MESSAGE=" + std::string(message),
            std::string(priorityField(level)),
            "SYSLOG_IDENTIFIER=" + std::string(subsystem),
            "VELTRO_SUBSYSTEM=" + std::string(subsystem),
            "VELTRO_CATEGORY=" + std::string(category),
        };
        std::array<iovec, fields.size()> vectors{};
        for (std::size_t index = 0; index < fields.size(); ++index)
            vectors[index] = {fields[index].data(), fields[index].size()};
        return ::sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size())) >= 0;
    }

    StandardErrorSink fallback_;
};

} // namespace

std::string_view logLevelName(LogLevel level) {
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

std::string formatLogLine(LogLevel level, std::string_view subsystem, std::string_view category,
                          std::string_view message) {
    std::string line;
    line.reserve(subsystem.size() + category.size() + message.size() + 16);
    line.append(subsystem).append(" [").append(category).append("] ");
    line.append(logLevelName(level)).append(": ").append(message).append("\n");
    return line;
}

StandardErrorSink::StandardErrorSink(int fd) : fd_(fd) {}

// One write per line, so lines of concurrent writers do not interleave.
void StandardErrorSink::write(LogLevel level, std::string_view subsystem, std::string_view category,
                              std::string_view message) {
    std::string line = formatLogLine(level, subsystem, category, message);
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

void Logger::error(std::string_view message) const {
    sink_->write(LogLevel::error, subsystem_, category_, message);
}

void Logger::notice(std::string_view message) const {
    sink_->write(LogLevel::notice, subsystem_, category_, message);
}

void Logger::info(std::string_view message) const {
    sink_->write(LogLevel::info, subsystem_, category_, message);
}

} // namespace veltro
