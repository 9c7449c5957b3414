#pragma once

#include "protocol/Bytes.hpp"
#include "sessions/ShellLauncher.hpp"
#include "sessions/UserAccount.hpp"

#include <memory>

namespace veltro {

// Starts each requested shell on a new pseudo-terminal, for one user and from one base
// environment.
class PTYShellLauncher : public ShellLauncher {
public:
    PTYShellLauncher(UserAccount account, Environment baseEnvironment)
        : account(std::move(account)), baseEnvironment(std::move(baseEnvironment)) {}

    // Throws the session's ShellLaunchError unchanged.
    std::shared_ptr<ShellSession> launch(const ShellRequest& request, ShellEvents events) override;

    UserAccount account;
    Environment baseEnvironment;
};

} // namespace veltro
