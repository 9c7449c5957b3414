#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace veltro {

enum class LaunchMode { agent, proxy, install, help, version };

// Which of its two modes the program runs in. "--agent" anywhere among the arguments wins, so
// that a person or a script can start the agent by hand; otherwise the launch service's job
// label in XPC_SERVICE_NAME says that the service manager started us. Both comparisons are
// exact: letter case matters and "--agent=1" is not "--agent". "--proxy" asks for a pipe to the
// agent; it is asked for by hand, so it wins over the label but not over "--agent". "--help"
// (or "-h") and "--version" anywhere ask only for the usage or the version, and win over
// everything else.
LaunchMode decideLaunchMode(std::span<const std::string> arguments,
                            const std::optional<std::string>& serviceLabel,
                            std::string_view agentLabel);

// What --help prints: how to run the program, and which argument lists select which mode.
std::string usageText(std::string_view agentLabel);

// The same decision for this process: its arguments (without the program name), its
// XPC_SERVICE_NAME and TerminalService::agentLabel().
LaunchMode decideLaunchMode(int argc, char** argv);

} // namespace veltro
