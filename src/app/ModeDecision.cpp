#include "app/ModeDecision.hpp"

#include "protocol/TerminalService.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace veltro {

LaunchMode decideLaunchMode(std::span<const std::string> arguments,
                            const std::optional<std::string>& xpcServiceName,
                            std::string_view agentLabel) {
    if (std::ranges::find(arguments, "--agent") != arguments.end())
        return LaunchMode::agent;
    if (xpcServiceName && *xpcServiceName == agentLabel)
        return LaunchMode::agent;
    return LaunchMode::install;
}

LaunchMode decideLaunchMode(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index)
        arguments.emplace_back(argv[index]);
    std::optional<std::string> xpcServiceName;
    if (const char* value = std::getenv("XPC_SERVICE_NAME"))
        xpcServiceName = value;
    return decideLaunchMode(arguments, xpcServiceName, TerminalService::agentLabel());
}

} // namespace veltro
