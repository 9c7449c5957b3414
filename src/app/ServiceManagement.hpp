#pragma once

#include "platform/Expected.hpp"

namespace veltro {

// The registration of the agent's launch service with the system, as install mode needs it.
class ServiceManagement {
public:
    // Registration states, numbered as they are printed.
    enum Status : int { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

    virtual ~ServiceManagement() = default;

    // Registers the launch service, or answers why it could not.
    virtual Expected<void> registerAgent() = 0;
    // Reads the state afresh on every call.
    virtual int status() = 0;
    // Shows the person where background items are allowed.
    virtual void openSettings() = 0;
};

} // namespace veltro
