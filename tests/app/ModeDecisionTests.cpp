#include "app/ModeDecision.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace veltro;

namespace {

constexpr const char* release = "tech.morvane.veltro.terminal-helper";
constexpr const char* development = "tech.morvane.veltro.dev.terminal-helper";

} // namespace

TEST(ModeDecision, ArgumentsAndTheServiceNameSelectTheMode) {
    struct Case {
        std::vector<std::string> arguments;
        std::optional<std::string> service;
        const char* label;
        LaunchMode mode;
    };
    const Case cases[] = {
        {{"--agent"}, std::nullopt, release, LaunchMode::agent},
        {{"-v", "x", "--agent"}, "some.other.job", release, LaunchMode::agent},
        {{"--Agent"}, std::nullopt, release, LaunchMode::install},
        {{"--agent=1"}, std::nullopt, release, LaunchMode::install},
        {{"--agent "}, std::nullopt, release, LaunchMode::install},
        {{}, release, release, LaunchMode::agent},
        {{}, "TECH.MORVANE.VELTRO.TERMINAL-HELPER", release, LaunchMode::install},
        {{}, "", release, LaunchMode::install},
        {{}, development, release, LaunchMode::install},
        {{}, development, development, LaunchMode::agent},
        {{"--agent", "--help"}, release, release, LaunchMode::help},
        {{"-h"}, std::nullopt, release, LaunchMode::help},
        {{"--version", "--agent"}, std::nullopt, release, LaunchMode::version},
        {{"--Help"}, std::nullopt, release, LaunchMode::install},
    };
    for (const Case& c : cases)
        EXPECT_EQ(decideLaunchMode(c.arguments, c.service, c.label), c.mode)
            << ::testing::PrintToString(c.arguments) << " " << c.service.value_or("(none)");
}

TEST(ModeDecision, ProgramNameIsNotAnArgument) {
    std::string name = "--agent";
    std::string other = "install";
    char* argv[] = {name.data(), other.data(), nullptr};
    ::unsetenv("XPC_SERVICE_NAME");
    EXPECT_EQ(decideLaunchMode(2, argv), LaunchMode::install);
}
