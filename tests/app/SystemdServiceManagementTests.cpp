#include "support/TemporaryFolder.hpp"

#include "app/SystemdServiceManagement.hpp"

#include <gtest/gtest.h>

#include <fstream>

namespace veltro::testing {
namespace {

namespace fs = std::filesystem;
using Commands = std::vector<std::vector<std::string>>;

const std::string label = "tech.morvane.veltro.terminal-helper";

// The manager over a temporary folder, with systemctl replaced by a recorder answering `answer`.
struct Manager {
    explicit Manager(bool installed = true) {
        fs::create_directories(installedUnits);
        if (installed)
            for (const char* suffix : {".socket", ".service"})
                std::ofstream(installedUnits / (label + suffix)) << "[Unit]\n";
    }

    TemporaryFolder folder;
    fs::path installedUnits = fs::path(folder.path()) / "installed";
    fs::path userUnits = fs::path(folder.path()) / "config/systemd/user";
    int answer = 0;
    Commands commands;
    SystemdServiceManagement service{label, installedUnits, userUnits,
                                     [this](const std::vector<std::string>& arguments) {
                                         commands.push_back(arguments);
                                         return answer;
                                     }};
};

TEST(SystemdServiceManagement, MissingUnitsAreNotFoundAndRegisterNothing) {
    Manager manager(false);
    EXPECT_EQ(manager.service.status(), ServiceManagement::notFound);
    auto registered = manager.service.registerAgent();
    ASSERT_FALSE(registered);
    EXPECT_NE(registered.error().find(manager.installedUnits.string()), std::string::npos)
        << registered.error();
    EXPECT_TRUE(manager.commands.empty());
}

// The socket alone is enabled: it starts the agent on the first connection.
TEST(SystemdServiceManagement, RegistrationCopiesBothUnitsEnablesTheSocketOnlyAndReportsFailure) {
    Manager manager;
    EXPECT_TRUE(manager.service.registerAgent());
    EXPECT_TRUE(fs::exists(manager.userUnits / (label + ".socket")));
    EXPECT_TRUE(fs::exists(manager.userUnits / (label + ".service")));
    EXPECT_EQ(manager.commands,
              (Commands{{"systemctl", "--user", "daemon-reload"},
                        {"systemctl", "--user", "enable", "--now", label + ".socket"}}));
    EXPECT_EQ(manager.service.status(), ServiceManagement::enabled);

    manager.answer = 1;
    auto registered = manager.service.registerAgent();
    ASSERT_FALSE(registered);
    EXPECT_NE(registered.error().find("systemctl --user daemon-reload"), std::string::npos)
        << registered.error();
    EXPECT_EQ(manager.service.status(), ServiceManagement::notRegistered);
}

} // namespace
} // namespace veltro::testing
