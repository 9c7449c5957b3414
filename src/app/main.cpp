#include "app/AgentMode.hpp"
#include "app/InstallMode.hpp"
#include "app/ModeDecision.hpp"
#include "app/SystemdServiceManagement.hpp"
#include "app/TerminalAlert.hpp"
#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"

#include <iostream>

int main(int argc, char** argv) {
    using namespace veltro;
    if (decideLaunchMode(argc, argv) == LaunchMode::agent)
        return runAgentMode();
    auto service = SystemdServiceManagement::forThisProgram(TerminalService::agentLabel());
    auto alert = TerminalAlert::standard();
    return runInstallMode(PeerRequirement::signerOfThisProcess(), service, alert, std::cout);
}
