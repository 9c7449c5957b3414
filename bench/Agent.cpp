#include "Agent.hpp"

#include "platform/FileDescriptor.hpp"
#include "protocol/TerminalService.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

extern char** environ;

namespace veltro::bench {

namespace {

// Where the service manager puts the first socket it hands over.
constexpr int listenDescriptor = 3;

std::system_error systemError(const std::string& operation, int error = errno) {
    return {error, std::generic_category(), operation};
}

std::string privateFolder() {
    std::string pattern = "/tmp/veltro-bench-XXXXXX";
    if (!::mkdtemp(pattern.data()))
        throw systemError("mkdtemp");
    return pattern;
}

FileDescriptor listeningSocket(const std::string& path) {
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket)
        throw systemError("socket");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (path.size() >= sizeof address.sun_path)
        throw std::runtime_error("socket path too long: " + path);
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        throw systemError("bind " + path);
    ::chmod(path.c_str(), 0600);
    if (::listen(socket.get(), SOMAXCONN) != 0)
        throw systemError("listen");
    return socket;
}

// This process's environment for the agent, less what would describe another job of the
// service manager, plus the runtime folder and the handed-over socket.
std::vector<std::string> agentEnvironment(const std::string& folder) {
    std::vector<std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        if (text.starts_with("LISTEN_") || text.starts_with("XDG_RUNTIME_DIR=") ||
            text.starts_with("NOTIFY_SOCKET=") || text.starts_with("XPC_SERVICE_NAME="))
            continue;
        environment.emplace_back(text);
    }
    environment.push_back("XDG_RUNTIME_DIR=" + folder);
    environment.push_back("LISTEN_FDS=1");
    return environment;
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
    std::vector<char*> result;
    for (std::string& text : strings)
        result.push_back(text.data());
    result.push_back(nullptr);
    return result;
}

// The agent believes a handed-over socket only when LISTEN_PID names it; a shell sets that to
// its own process id and then becomes the agent, whose id it keeps.
pid_t spawnAgent(const std::string& program, const FileDescriptor& socket,
                 const std::string& folder, const std::string& logPath) {
    std::vector<std::string> arguments{"sh", "-c", "export LISTEN_PID=$$; exec \"$0\" --agent",
                                       program};
    std::vector<std::string> environment = agentEnvironment(folder);
    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_adddup2(&files, 1, 2);
    posix_spawn_file_actions_adddup2(&files, socket.get(), listenDescriptor);
    posix_spawn_file_actions_addclosefrom_np(&files, listenDescriptor + 1);
    pid_t pid = -1;
    int error = ::posix_spawn(&pid, "/bin/sh", &files, nullptr, pointers(arguments).data(),
                              pointers(environment).data());
    posix_spawn_file_actions_destroy(&files);
    if (error != 0)
        throw systemError("posix_spawn " + program, error);
    return pid;
}

long counted(const std::string& line, std::string_view name) {
    if (!line.starts_with(name))
        return 0;
    return std::strtol(line.c_str() + name.size(), nullptr, 10);
}

} // namespace

Agent::Agent(const std::string& program) {
    if (::access(program.c_str(), X_OK) != 0)
        throw std::runtime_error("no agent program at " + program + " (choose one with --agent)");
    folder_ = privateFolder();
    socketPath_ = folder_ + "/" + TerminalService::socketName();
    logPath_ = folder_ + "/agent.log";
    FileDescriptor socket = listeningSocket(socketPath_);
    pid_ = spawnAgent(program, socket, folder_, logPath_);
    if (int error = ::clock_getcpuclockid(pid_, &processorClock_); error != 0)
        throw systemError("clock_getcpuclockid", error);
}

Agent::~Agent() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
    if (std::uncaught_exceptions() > 0) {
        std::ifstream log(logPath_);
        std::cerr << "The agent's log:\n" << std::string(std::istreambuf_iterator<char>(log), {});
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
}

double Agent::processorSeconds() const {
    timespec time{};
    if (::clock_gettime(processorClock_, &time) != 0)
        throw systemError("the agent's processor time");
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

long Agent::contextSwitches() const {
    long total = 0;
    std::filesystem::path tasks = "/proc/" + std::to_string(pid_) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
        std::ifstream status(task.path() / "status");
        std::string line;
        while (std::getline(status, line))
            total += counted(line, "voluntary_ctxt_switches:") +
                     counted(line, "nonvoluntary_ctxt_switches:");
    }
    return total;
}

std::size_t Agent::residentBytes() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (long kibibytes = counted(line, "VmRSS:"); kibibytes > 0)
            return static_cast<std::size_t>(kibibytes) * 1024;
    }
    throw std::runtime_error("no resident memory of the agent in /proc");
}

} // namespace veltro::bench
