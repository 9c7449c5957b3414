#include "app/AgentMode.hpp"
#include "app/InstallMode.hpp"
#include "app/ModeDecision.hpp"
#include "app/ProxyMode.hpp"
#include "app/SystemdServiceManagement.hpp"
#include "app/TerminalAlert.hpp"
#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"

#include <sys/prctl.h>

#include <iostream>

int main(int argc, char** argv) {
    using namespace veltro;
    // The kernel keeps 15 bytes of a process name, which would make this program and
    // veltro-terminal look alike in ps, top and pgrep. Only a name: a failure changes nothing else.
    (void)::prctl(PR_SET_NAME, "veltro-helper");
    switch (decideLaunchMode(argc, argv)) {
    case LaunchMode::help:
        std::cout << usageText(TerminalService::agentLabel());
        return 0;
    case LaunchMode::version:
        std::cout << "veltro-terminal-helper " << VELTRO_VERSION << '\n';
        return 0;
    case LaunchMode::agent:
        return runAgentMode();
    case LaunchMode::proxy:
        return runProxyMode();
    case LaunchMode::install:
        break;
    }
    auto service = SystemdServiceManagement::forThisProgram(TerminalService::agentLabel());
    auto alert = TerminalAlert::standard();
    return runInstallMode(PeerRequirement::signerOfThisProcess(), service, alert, std::cout);
}
