#include "app/ModeDecision.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltro {
namespace {

constexpr const char* release = "tech.morvane.veltro.terminal-helper";
constexpr const char* development = "tech.morvane.veltro.dev.terminal-helper";

LaunchMode decide(std::vector<std::string> arguments, std::optional<std::string> service,
                  const char* label = release) {
    return decideLaunchMode(arguments, service, label);
}

TEST(ModeDecision, AgentSwitchAnywhereSelectsAgentWhateverTheServiceName) {
    EXPECT_EQ(decide({"--agent"}, std::nullopt), LaunchMode::agent);
    EXPECT_EQ(decide({"-v", "x", "--agent"}, "some.other.job"), LaunchMode::agent);
    EXPECT_EQ(decide({"--agent", "--verbose"}, ""), LaunchMode::agent);
}

TEST(ModeDecision, SwitchIsComparedExactly) {
    EXPECT_EQ(decide({"--Agent"}, std::nullopt), LaunchMode::install);
    EXPECT_EQ(decide({"--agent=1"}, std::nullopt), LaunchMode::install);
    EXPECT_EQ(decide({"-agent"}, std::nullopt), LaunchMode::install);
    EXPECT_EQ(decide({"--agent "}, std::nullopt), LaunchMode::install);
    EXPECT_EQ(decide({"agent"}, std::nullopt), LaunchMode::install);
}

TEST(ModeDecision, ServiceNameEqualToTheLabelSelectsAgent) {
    EXPECT_EQ(decide({}, std::string(release)), LaunchMode::agent);
    EXPECT_EQ(decide({}, std::string(release) + "x"), LaunchMode::install);
    EXPECT_EQ(decide({}, "TECH.MORVANE.VELTRO.TERMINAL-HELPER"), LaunchMode::install);
    EXPECT_EQ(decide({}, ""), LaunchMode::install);
    EXPECT_EQ(decide({}, std::nullopt), LaunchMode::install);
}

TEST(ModeDecision, DevelopmentLabelSelectsAgentOnlyInADevelopmentBuild) {
    EXPECT_EQ(decide({}, std::string(development), release), LaunchMode::install);
    EXPECT_EQ(decide({}, std::string(development), development), LaunchMode::agent);
    EXPECT_EQ(decide({}, std::string(release), development), LaunchMode::install);
}

TEST(ModeDecision, ProgramNameIsNotAnArgument) {
    std::string name = "--agent";
    std::string other = "install";
    char* argv[] = {name.data(), other.data(), nullptr};
    ::unsetenv("XPC_SERVICE_NAME");
    EXPECT_EQ(decideLaunchMode(2, argv), LaunchMode::install);
    char* withSwitch[] = {other.data(), name.data(), nullptr};
    EXPECT_EQ(decideLaunchMode(2, withSwitch), LaunchMode::agent);
}

} // namespace
} // namespace veltro
