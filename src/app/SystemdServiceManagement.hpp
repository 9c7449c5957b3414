#pragma once

#include "app/ServiceManagement.hpp"

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace veltro {

// The agent's launch service as two systemd user units, `<label>.socket` and
// `<label>.service`, registered with the user's service manager. Registration copies the
// installed units into the user's unit folder (unless the manager finds them already), reloads
// the manager and enables and starts the socket. Linux asks nobody for approval, so the status
// is never requiresApproval.
class SystemdServiceManagement : public ServiceManagement {
public:
    // Runs a program with arguments and answers its exit status (-1 when it could not run).
    using Run = std::function<int(const std::vector<std::string>&)>;

    SystemdServiceManagement(std::string agentLabel, std::filesystem::path installedUnits,
                             std::filesystem::path userUnits, Run run = runProgram);

    // The units installed beside this executable (<prefix>/lib/systemd/user when the agent is
    // <prefix>/libexec/veltro-terminal-helper/veltro-terminal-helper) and the user's own unit
    // folder ($XDG_CONFIG_HOME/systemd/user, else ~/.config/systemd/user).
    static SystemdServiceManagement forThisProgram(std::string agentLabel);

    Expected<void> registerAgent() override;
    int status() override;
    void openSettings() override;

    static int runProgram(const std::vector<std::string>& arguments);

private:
    std::vector<std::string> unitNames() const;
    bool unitsAreIn(const std::filesystem::path& folder) const;
    Expected<void> copyUnits();
    Expected<void> systemctl(std::vector<std::string> arguments);

    std::string agentLabel;
    std::filesystem::path installedUnits;
    std::filesystem::path userUnits;
    Run run;
};

} // namespace veltro
