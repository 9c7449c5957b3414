#include "app/ModeDecision.hpp"

#include "protocol/TerminalService.hpp"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace veltro {

LaunchMode decideLaunchMode(std::span<const std::string> arguments,
                            const std::optional<std::string>& serviceLabel,
                            std::string_view agentLabel) {
    auto given = [&](std::string_view argument) {
        return std::ranges::find(arguments, argument) != arguments.end();
    };
    if (given("--help") || given("-h"))
        return LaunchMode::help;
    if (given("--version"))
        return LaunchMode::version;
    if (given("--agent"))
        return LaunchMode::agent;
    if (given("--proxy"))
        return LaunchMode::proxy;
    if (serviceLabel && *serviceLabel == agentLabel)
        return LaunchMode::agent;
    return LaunchMode::install;
}

std::string usageText(std::string_view agentLabel) {
    return "Usage: veltro-terminal-helper [--agent | --proxy | --help | --version]\n"
           "\n"
           "Hosts the shells of the Veltro terminal\u2019s tabs on pseudo-terminals.\n"
           "\n"
           "  --agent     serve clients on the helper\u2019s socket, and end after 10 seconds\n"
           "              with no client and no shell; also chosen when the service manager\n"
           "              starts the program with XPC_SERVICE_NAME=" +
           std::string(agentLabel) +
           "\n"
           "  --proxy     connect to this user\u2019s agent (starting one when none listens) and\n"
           "              copy standard input to it and its answers to standard output, for\n"
           "              clients on other machines: ssh HOST veltro-terminal-helper --proxy\n"
           "  --help      show this help\n"
           "  --version   show the version\n"
           "\n"
           "With any other arguments (none, --Agent or --agent=1 among them) the program\n"
           "installs nothing. On Linux no copy is signed by a team, so it only says that\n"
           "make local loads the agent (run it again when the agent is not loaded) and\n"
           "exits with status 0.\n";
}

LaunchMode decideLaunchMode(int argc, char** argv) {
    std::vector<std::string> arguments;
    for (int index = 1; index < argc; ++index)
        arguments.emplace_back(argv[index]);
    std::optional<std::string> serviceLabel;
    if (const char* value = std::getenv("XPC_SERVICE_NAME"))
        serviceLabel = value;
    return decideLaunchMode(arguments, serviceLabel, TerminalService::agentLabel());
}

} // namespace veltro
