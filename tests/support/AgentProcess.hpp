#pragma once

#include "support/ChildProcess.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

#include "protocol/Bytes.hpp"
#include "protocol/TerminalService.hpp"

#include <string>
#include <vector>

namespace veltro::testing {

// A private runtime folder, with where the agent listens and logs in it.
struct Runtime {
    TemporaryFolder folder;
    std::string socket = folder / TerminalService::socketName();
    std::string log = folder / "agent.log";

    bool listening() const {
        return eventually([&] { return someoneListens(socket); });
    }
};

// `program` with `arguments`, run with `job` added to (or replacing entries of) this process's
// environment, without the variables by which a service manager hands a socket over. When
// `handsOverSocket`, that socket is on descriptor 3, with LISTEN_FDS=1 and LISTEN_PID naming
// the program, as systemd does it.
inline std::vector<std::string> withJob(const Environment& job, const std::string& program,
                                        const std::vector<std::string>& arguments,
                                        bool handsOverSocket = false) {
    std::vector<std::string> command{"/usr/bin/env"};
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES", "XPC_SERVICE_NAME"})
        command.insert(command.end(), {"-u", name});
    for (const auto& [name, value] : job)
        command.push_back(name + "=" + value);
    // The shell's $$ is the program's pid too, since env and the shell exec in its place.
    if (handsOverSocket)
        command.insert(command.end(),
                       {"/bin/sh", "-c", "export LISTEN_PID=$$ LISTEN_FDS=1; exec \"$@\"", "sh"});
    command.push_back(program);
    command.insert(command.end(), arguments.begin(), arguments.end());
    return command;
}

// The agent of this build as a child process, its output in `log`.
class AgentProcess : public ChildProcess {
public:
    AgentProcess(const std::string& log, const Environment& job, int listeningSocket = -1,
                 const std::vector<std::string>& arguments = {"--agent"})
        : ChildProcess(withJob(job, VELTRO_HELPER_PATH, arguments, listeningSocket >= 0), log,
                       false, listeningSocket) {}
};

} // namespace veltro::testing
