#include "app/ModeDecision.hpp"

#include <gtest/gtest.h>

using namespace veltro;

// Anything but an exact "--agent" or the exact label installs, so that a mistyped argument
// never starts a second agent beside the service manager's.
TEST(ModeDecision, OnlyExactArgumentsOrTheExactLabelSelectAMode) {
    const std::string release = "tech.morvane.veltro.terminal-helper";
    const std::string development = "tech.morvane.veltro.dev.terminal-helper";
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> service;
        LaunchMode mode;
    };
    for (const Case& c : {
             Case{{"-v", "x", "--agent"}, "some.other.job", LaunchMode::agent},
             Case{{"--Agent"}, std::nullopt, LaunchMode::install},
             Case{{}, development, LaunchMode::install},
             Case{{"--agent", "-h"}, release, LaunchMode::help},
             Case{{"--version", "--agent"}, std::nullopt, LaunchMode::version},
             Case{{"--proxy"}, release, LaunchMode::proxy},
             Case{{"--proxy", "--agent"}, std::nullopt, LaunchMode::agent},
             Case{{"--Proxy"}, std::nullopt, LaunchMode::install},
         })
        EXPECT_EQ(decideLaunchMode(c.arguments, c.service, release), c.mode)
            << ::testing::PrintToString(c.arguments) << " " << c.service.value_or("(none)");
}
