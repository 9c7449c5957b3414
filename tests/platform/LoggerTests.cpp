#include "platform/Logger.hpp"

#include "platform/FileDescriptor.hpp"
#include "platform/StandardErrorSink.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <string>
#include <vector>

namespace veltro {
namespace {

struct Entry {
    LogLevel level;
    std::string subsystem;
    std::string category;
    std::string message;
    bool operator==(const Entry&) const = default;
};

class RecordingSink : public LogSink {
public:
    void write(LogLevel level, std::string_view subsystem, std::string_view category,
               std::string_view message) override {
        entries.push_back(
            {level, std::string(subsystem), std::string(category), std::string(message)});
    }

    std::vector<Entry> entries;
};

TEST(Logger, PassesLevelSubsystemCategoryAndMessageToItsSink) {
    auto sink = std::make_shared<RecordingSink>();
    Logger logger("tech.example.helper", "session", sink);
    logger.error("broken");
    logger.notice("default");
    logger.info("detail");
    EXPECT_EQ(sink->entries,
              (std::vector<Entry>{{LogLevel::error, "tech.example.helper", "session", "broken"},
                                  {LogLevel::notice, "tech.example.helper", "session", "default"},
                                  {LogLevel::info, "tech.example.helper", "session", "detail"}}));
}

TEST(StandardErrorSink, WritesOneLinePerMessageWithTheTextUnchanged) {
    std::array<int, 2> fds{};
    ASSERT_EQ(::pipe(fds.data()), 0);
    FileDescriptor readEnd(fds[0]);
    FileDescriptor writeEnd(fds[1]);
    const std::string tricky = "100% done: %s %n %d \xE2\x80\x99quoted\xE2\x80\x99 \\n";
    {
        Logger logger("tech.example.helper", "lifetime",
                      std::make_shared<StandardErrorSink>(writeEnd.get()));
        logger.notice(tricky);
        logger.error("second");
        logger.info("");
    }
    writeEnd.reset();
    std::string output;
    std::array<char, 256> buffer{};
    for (ssize_t count; (count = ::read(readEnd.get(), buffer.data(), buffer.size())) > 0;)
        output.append(buffer.data(), static_cast<std::size_t>(count));
    EXPECT_EQ(output, "tech.example.helper [lifetime] notice: " + tricky + "\n" +
                          "tech.example.helper [lifetime] error: second\n" +
                          "tech.example.helper [lifetime] info: \n");
}

TEST(Logger, SystemSinkIsShared) {
    EXPECT_NE(LogSink::system(), nullptr);
    EXPECT_EQ(LogSink::system(), LogSink::system());
}

} // namespace
} // namespace veltro
