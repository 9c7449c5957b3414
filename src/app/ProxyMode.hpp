#pragma once

#include "platform/FileDescriptor.hpp"

#include <cstddef>

namespace veltro {

// What each direction holds at most. The proxy stops reading a side while the bytes it has
// read from it wait, so a client that stops reading stops the agent's writes, and the agent's
// flow control holds the shell, as it would on a direct connection.
constexpr std::size_t proxyBufferSize = 256 * 1024;

// The program as a pipe to the agent, for clients on other machines (`ssh HOST
// veltro-terminal-helper --proxy`): it connects to this user's agent, starting `<itself>
// --agent` when nothing listens, and copies standard input to the socket and the socket to
// standard output without looking at the bytes. Answers 0 once the agent has closed the
// connection (after standard input ended too, since the proxy then half-closes the socket), or
// 1 after one line on standard error when it cannot connect.
int runProxyMode();

// The copying alone: `input` to `agent` and `agent` to `output` until the agent's side ends and
// what it sent has been written, or `output` is gone. Answers the exit status.
int copyThroughProxy(int input, int output, FileDescriptor agent);

} // namespace veltro
