#include "AgentProcess.hpp"

#include "app/SystemdServiceManagement.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace veltro::testing {
namespace {

namespace fs = std::filesystem;

constexpr const char* label = "tech.morvane.veltro.terminal-helper";

struct Recorded {
    std::vector<std::vector<std::string>> commands;
    int answer = 0;

    SystemdServiceManagement::Run run() {
        return [this](const std::vector<std::string>& arguments) {
            commands.push_back(arguments);
            return answer;
        };
    }
};

void writeUnits(const fs::path& folder) {
    fs::create_directories(folder);
    std::ofstream(folder / (std::string(label) + ".socket")) << "[Socket]\n";
    std::ofstream(folder / (std::string(label) + ".service")) << "[Service]\n";
}

TEST(SystemdServiceManagement, MissingUnitsAreNotFoundAndRegisterNothing) {
    TemporaryFolder folder;
    Recorded recorded;
    SystemdServiceManagement service(label, fs::path(folder.path()) / "installed",
                                     fs::path(folder.path()) / "user", recorded.run());
    EXPECT_EQ(service.status(), ServiceManagement::notFound);
    auto error = service.registerAgent();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("installed"), std::string::npos);
    EXPECT_TRUE(recorded.commands.empty());
}

TEST(SystemdServiceManagement, RegistrationCopiesBothUnitsReloadsAndEnablesTheSocket) {
    TemporaryFolder folder;
    fs::path installed = fs::path(folder.path()) / "installed";
    fs::path user = fs::path(folder.path()) / "config/systemd/user";
    writeUnits(installed);
    Recorded recorded;
    SystemdServiceManagement service(label, installed, user, recorded.run());

    EXPECT_FALSE(service.registerAgent());
    EXPECT_TRUE(fs::exists(user / (std::string(label) + ".socket")));
    EXPECT_TRUE(fs::exists(user / (std::string(label) + ".service")));
    using Command = std::vector<std::string>;
    ASSERT_EQ(recorded.commands.size(), 2u);
    EXPECT_EQ(recorded.commands[0], (Command{"systemctl", "--user", "daemon-reload"}));
    EXPECT_EQ(recorded.commands[1],
              (Command{"systemctl", "--user", "enable", "--now", std::string(label) + ".socket"}));
    EXPECT_EQ(service.status(), ServiceManagement::enabled);
}

TEST(SystemdServiceManagement, FailingUserManagerIsReportedAndLeavesTheSocketNotRegistered) {
    TemporaryFolder folder;
    fs::path installed = fs::path(folder.path()) / "installed";
    writeUnits(installed);
    Recorded recorded;
    recorded.answer = 1;
    SystemdServiceManagement service(label, installed, fs::path(folder.path()) / "user",
                                     recorded.run());
    auto error = service.registerAgent();
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("systemctl --user daemon-reload"), std::string::npos) << *error;
    EXPECT_EQ(service.status(), ServiceManagement::notRegistered);
}

} // namespace
} // namespace veltro::testing
