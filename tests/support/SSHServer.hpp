#pragma once

#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

#include "platform/FileDescriptor.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace veltro::testing {

// A program run as a child with the given standard descriptors (the benchmark uses it too, so
// it needs nothing of the test framework). Killed and reaped at the end unless it has ended.
class SpawnedProcess {
public:
    SpawnedProcess() = default;
    SpawnedProcess(std::vector<std::string> command, int input, int output, int errors) {
        std::vector<char*> argv;
        for (auto& word : command)
            argv.push_back(word.data());
        argv.push_back(nullptr);
        pid_ = ::fork();
        if (pid_ != 0)
            return;
        // In the child only async-signal-safe calls; a failure shows as status 127.
        ::dup2(input, 0);
        ::dup2(output, 1);
        ::dup2(errors, 2);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    SpawnedProcess(SpawnedProcess&& other) noexcept { *this = std::move(other); }
    // The process this held goes with `other`.
    SpawnedProcess& operator=(SpawnedProcess&& other) noexcept {
        std::swap(pid_, other.pid_);
        std::swap(status_, other.status_);
        return *this;
    }
    ~SpawnedProcess() {
        if (pid_ <= 0 || status_)
            return;
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }

    pid_t pid() const { return pid_; }
    bool running() {
        int raw = 0;
        if (pid_ > 0 && !status_ && ::waitpid(pid_, &raw, WNOHANG) == pid_)
            status_ = raw;
        return pid_ > 0 && !status_;
    }
    // The exit code once it has ended (within a minute); nothing if it runs on or was killed.
    std::optional<int> exitCode() {
        eventually([&] { return !running(); });
        if (!status_ || !WIFEXITED(*status_))
            return std::nullopt;
        return WEXITSTATUS(*status_);
    }

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
};

// A private OpenSSH server on a free loopback port, with a host key and one authorized client
// key made for it in a folder of its own, so that tests reach this machine's user over real
// ssh and nothing else. Run as root it logs in root; run as anyone else, only that user.
// Killed and reaped when it goes.
class SSHServer {
public:
    SSHServer() {
        for (const char* program : {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen"})
            if (::access(program, X_OK) != 0)
                throw std::runtime_error(std::string(program) +
                                         " is missing: make deps installs openssh-server and "
                                         "openssh-client");
        // The server's privilege separation needs this folder when it runs as root; a fresh
        // machine has it only once the system's own sshd has run.
        if (::geteuid() == 0 && ::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot make /run/sshd for the test's ssh server");
        for (const char* key : {"host", "client"})
            if (std::system(("/usr/bin/ssh-keygen -q -t ed25519 -N '' -f " + folder_ / key +
                             " </dev/null >>" + log() + " 2>&1")
                                .c_str()) != 0)
                throw std::runtime_error("ssh-keygen failed: " + contents(log()));
        // Another program may take a port between the look and sshd's bind: try a few.
        for (int attempt = 0; attempt < 5 && !server_.running(); ++attempt)
            start(freeLoopbackPort());
        if (!server_.running())
            throw std::runtime_error("the test's sshd did not listen: " + contents(log()));
    }
    SSHServer(const SSHServer&) = delete;
    SSHServer& operator=(const SSHServer&) = delete;

    std::string host() const { return "127.0.0.1"; }
    std::string log() const { return folder_ / "sshd.log"; }
    // The options to ssh that reach this server, before the host.
    std::vector<std::string> options() const { return {"-F", folder_ / "ssh_config"}; }
    // The whole command that runs `remoteCommand` on this server without a terminal.
    std::vector<std::string> command(const std::string& remoteCommand) const {
        return {"/usr/bin/ssh", "-F", folder_ / "ssh_config", "-T", host(), "--", remoteCommand};
    }

private:
    static std::string contents(const std::string& path) {
        std::stringstream text;
        text << std::ifstream(path).rdbuf();
        return text.str();
    }

    static int freeLoopbackPort() {
        FileDescriptor probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(probe.get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
            ::getsockname(probe.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
            throw std::runtime_error("no free loopback port for the test's sshd");
        return ntohs(address.sin_port);
    }

    void start(int port) {
        std::ofstream(folder_ / "sshd_config")
            << "Port " << port << "\nListenAddress 127.0.0.1\nHostKey " << folder_ / "host"
            << "\nAuthorizedKeysFile " << folder_ / "client.pub"
            << "\nPidFile none\nUsePAM no\nStrictModes no\nAuthenticationMethods publickey\n"
               "PermitRootLogin prohibit-password\nAllowTcpForwarding no\nPrintMotd no\n";
        // The client takes the host key on first sight into a private list, never prompts,
        // and reads none of the user's own ssh configuration, since -F names this one.
        std::ofstream(folder_ / "ssh_config")
            << "Port " << port << "\nIdentityFile " << folder_ / "client"
            << "\nIdentitiesOnly yes\nStrictHostKeyChecking no\nUserKnownHostsFile "
            << folder_ / "known_hosts"
            << "\nBatchMode yes\nLogLevel ERROR\n";
        FileDescriptor nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        FileDescriptor output(
            ::open(log().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        server_ = SpawnedProcess({"/usr/sbin/sshd", "-D", "-e", "-f", folder_ / "sshd_config"},
                                 nothing.get(), output.get(), output.get());
        std::string listening = "Server listening on 127.0.0.1 port " + std::to_string(port) + ".";
        eventually([&] {
            return contents(log()).find(listening) != std::string::npos || !server_.running();
        });
    }

    TemporaryFolder folder_;
    SpawnedProcess server_;
};

} // namespace veltro::testing
