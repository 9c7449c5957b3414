#pragma once

#include "protocol/Bytes.hpp"
#include "protocol/UUID.hpp"

#include <cstdint>
#include <optional>
#include <string>

namespace veltro {

// What the service asks a launcher for: one shell for one terminal tab.
struct ShellRequest {
    UUID id;
    std::int64_t columns = 0;
    std::int64_t rows = 0;
    std::string folder;
    // Absent: the user's login shell, started as a login shell.
    std::optional<std::string> shell;
    // Overrides every other source of the shell's environment.
    Environment environment;
    // Start bash, zsh and fish with the agent's shell integration, which marks their commands.
    bool integration = false;

    friend bool operator==(const ShellRequest&, const ShellRequest&) = default;
};

} // namespace veltro
