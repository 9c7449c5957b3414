#include "AgentProcess.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace veltro::testing {

namespace {

// Writes the decimal digits of `value` into `buffer` after `prefix`; safe between fork and exec.
void formatPid(char* buffer, const char* prefix, pid_t value) {
    std::size_t length = std::strlen(prefix);
    std::memcpy(buffer, prefix, length);
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0);
    while (count > 0)
        buffer[length++] = digits[--count];
    buffer[length] = '\0';
}

} // namespace

AgentProcess::AgentProcess(Options options) {
    std::map<std::string, std::string> environment;
    for (char** entry = environ; *entry; ++entry) {
        std::string text = *entry;
        std::size_t equals = text.find('=');
        if (equals != std::string::npos)
            environment[text.substr(0, equals)] = text.substr(equals + 1);
    }
    for (const char* name : {"LISTEN_PID", "LISTEN_FDS", "LISTEN_FDNAMES", "XPC_SERVICE_NAME"})
        environment.erase(name);
    for (const auto& [name, value] : options.environment)
        environment[name] = value;
    bool handOver = options.listeningSocket >= 0;
    if (handOver)
        environment["LISTEN_FDS"] = "1";

    std::vector<std::string> entries;
    for (const auto& [name, value] : environment)
        entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (auto& entry : entries)
        envp.push_back(entry.data());
    char listenPid[64] = "LISTEN_PID=0";
    if (handOver)
        envp.push_back(listenPid);
    envp.push_back(nullptr);

    std::string program = VELTRO_HELPER_PATH;
    std::vector<std::string> arguments{program};
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    std::string logPath = options.logPath.empty() ? "/dev/null" : options.logPath;
    int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    int input = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

    pid_ = ::fork();
    if (pid_ == 0) {
        ::dup2(input, 0);
        ::dup2(log, 1);
        ::dup2(log, 2);
        if (handOver) {
            if (options.listeningSocket != 3)
                ::dup2(options.listeningSocket, 3);
            else
                ::fcntl(3, F_SETFD, 0);
            formatPid(listenPid, "LISTEN_PID=", ::getpid());
        }
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(log);
    ::close(input);
}

AgentProcess::~AgentProcess() {
    if (pid_ > 0 && !status_) {
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
}

std::optional<int> AgentProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (status_)
        return status_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = status;
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(20ms);
    }
}

namespace {

sockaddr_un addressOf(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    return address;
}

} // namespace

bool someoneListens(const std::string& path) {
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = addressOf(path);
    return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

FileDescriptor listeningSocketAt(const std::string& path, unsigned mode) {
    FileDescriptor socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address = addressOf(path);
    if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::chmod(path.c_str(), mode) != 0 || ::listen(socket.get(), 16) != 0)
        throw std::runtime_error("cannot listen at " + path + ": " + std::strerror(errno));
    return socket;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

} // namespace veltro::testing
