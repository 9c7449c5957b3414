#pragma once

namespace veltro {

// The program as the agent: it listens on the socket that the service manager handed over (or
// binds its own), serves clients until it has been idle for the idle delay, and answers the
// exit status. Must be called on the main thread before any other thread exists, because it
// sets the signal mask that every later thread inherits.
int runAgentMode();

// Removes the variables that describe the service manager's job for this process (socket
// activation, notification, journal stream, watchdog), so that no shell inherits them. Run it
// only after the socket handed over by the service manager has been taken.
void removeJobVariables();

} // namespace veltro
