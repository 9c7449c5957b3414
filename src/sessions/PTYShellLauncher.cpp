#include "sessions/PTYShellLauncher.hpp"

#include "sessions/PTYSession.hpp"
#include "sessions/ShellCommand.hpp"

namespace veltro {

std::shared_ptr<ShellSession> PTYShellLauncher::launch(const ShellRequest& request,
                                                       ShellEvents events) {
    // The user's locale is the agent's own, as its environment names it.
    std::string preferredLocale = ShellCommand::preferredLocale(baseEnvironment);
    ShellCommand command(request.shell, request.folder, account, baseEnvironment,
                         request.environment, preferredLocale, ShellCommand::isFolder,
                         ShellCommand::localeExists);
    return PTYSession::make(command, request.columns, request.rows, std::move(events));
}

} // namespace veltro
