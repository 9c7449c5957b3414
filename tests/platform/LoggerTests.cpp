#include "platform/FileDescriptor.hpp"
#include "platform/StandardErrorSink.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>

using namespace veltro;

namespace {

// Where each message was logged from, and for which connection.
struct RecordingSink final : LogSink {
    void write(const LogRecord& record) override {
        entries.emplace_back(record.location.function_name(), record.connection);
    }
    std::vector<std::pair<std::string, pid_t>> entries;
};

void logSomething(const Logger& logger) {
    logger.notice("from a function of its own");
}

} // namespace

TEST(Logger, FilesEachMessageUnderTheCallersLocationAndItsConnection) {
    auto sink = std::make_shared<RecordingSink>();
    Logger logger("tech.example.helper", "connection", sink);
    logSomething(logger);
    logSomething(logger.forConnection(4242));
    ASSERT_EQ(sink->entries.size(), 2u);
    EXPECT_NE(sink->entries[0].first.find("logSomething"), std::string::npos);
    EXPECT_EQ(sink->entries[0].second, 0);
    EXPECT_EQ(sink->entries[1].second, 4242);

    LogRecord record{LogLevel::error, "tech.example.helper",           "connection",
                     "refused",       std::source_location::current(), 4242};
    EXPECT_EQ(journalFields(record),
              (std::vector<std::string>{
                  "MESSAGE=refused", "PRIORITY=3", "SYSLOG_IDENTIFIER=tech.example.helper",
                  "VELTRO_SUBSYSTEM=tech.example.helper", "VELTRO_CATEGORY=connection",
                  "VELTRO_CONNECTION_PID=4242"}));
    record.connection = 0;
    record.level = LogLevel::info;
    EXPECT_EQ(journalFields(record).size(), 5u);
    EXPECT_EQ(journalFields(record)[1], "PRIORITY=6");
}

TEST(StandardErrorSink, WritesOneLinePerMessageWithTheTextUnchanged) {
    std::array<int, 2> fds{};
    ASSERT_EQ(::pipe(fds.data()), 0);
    FileDescriptor readEnd(fds[0]);
    const std::string tricky = "100% done: %s %n %d \xE2\x80\x99quoted\xE2\x80\x99 \\n";
    {
        FileDescriptor writeEnd(fds[1]);
        Logger logger("tech.example.helper", "lifetime",
                      std::make_shared<StandardErrorSink>(writeEnd.get()));
        logger.notice(tricky);
        logger.forConnection(7).error("second");
        logger.info("");
    }
    std::array<char, 256> buffer{};
    ssize_t count = ::read(readEnd.get(), buffer.data(), buffer.size());
    EXPECT_EQ(std::string(buffer.data(), std::max<ssize_t>(count, 0)),
              "tech.example.helper [lifetime] notice: " + tricky + "\n" +
                  "tech.example.helper [lifetime pid 7] error: second\n" +
                  "tech.example.helper [lifetime] info: \n");
}
