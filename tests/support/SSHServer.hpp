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
#include <chrono>
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
    SpawnedProcess(SpawnedProcess&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)), status_(other.status_) {}
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
        for (const char* program : {serverProgram, clientProgram, keygenProgram})
            if (::access(program, X_OK) != 0)
                throw std::runtime_error(std::string(program) +
                                         " is missing: make deps installs openssh-server and "
                                         "openssh-client");
        // The server's privilege separation needs this folder when it runs as root; a fresh
        // machine has it only once the system's own sshd has run.
        if (::geteuid() == 0 && ::mkdir("/run/sshd", 0755) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot make /run/sshd for the test's ssh server");
        makeKey(folder_ / "host_key");
        makeKey(folder_ / "client_key");
        std::ofstream(folder_ / "authorized_keys") << contents(folder_ / "client_key.pub");
        // Another program may take a port between the look and sshd's bind: try a few.
        for (int attempt = 0; attempt < 5 && !server_.running(); ++attempt)
            start();
        if (!server_.running())
            throw std::runtime_error("the test's sshd did not listen: " + contents(log()));
    }
    SSHServer(const SSHServer&) = delete;
    SSHServer& operator=(const SSHServer&) = delete;

    int port() const { return port_; }
    std::string host() const { return "127.0.0.1"; }
    std::string log() const { return folder_ / "sshd.log"; }

    // ssh and the options that reach this server, before the host: its port and client key,
    // the host key taken on first sight into a private list, no prompt, no warning, and none of
    // the user's own ssh configuration.
    std::vector<std::string> options() const {
        return {clientProgram,
                "-F",
                "/dev/null",
                "-p",
                std::to_string(port_),
                "-i",
                folder_ / "client_key",
                "-o",
                "IdentitiesOnly=yes",
                "-o",
                "StrictHostKeyChecking=no",
                "-o",
                "UserKnownHostsFile=" + (folder_ / "known_hosts"),
                "-o",
                "BatchMode=yes",
                "-o",
                "LogLevel=ERROR"};
    }

    // The whole command that runs `remoteCommand` on this server without a terminal.
    std::vector<std::string> command(const std::string& remoteCommand) const {
        std::vector<std::string> command = options();
        command.insert(command.end(), {"-T", host(), "--", remoteCommand});
        return command;
    }

private:
    static constexpr const char* serverProgram = "/usr/sbin/sshd";
    static constexpr const char* clientProgram = "/usr/bin/ssh";
    static constexpr const char* keygenProgram = "/usr/bin/ssh-keygen";

    void makeKey(const std::string& path) {
        std::string command = std::string(keygenProgram) +
                              " -q -t ed25519 -N '' -C veltro-test -f " + path + " </dev/null >>" +
                              log() + " 2>&1";
        if (std::system(command.c_str()) != 0)
            throw std::runtime_error("ssh-keygen failed: " + contents(log()));
    }

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

    static bool accepts(int port) {
        FileDescriptor socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }

    void start() {
        port_ = freeLoopbackPort();
        std::string config = folder_ / "sshd_config";
        std::ofstream(config) << "Port " << port_ << "\n"
                              << "ListenAddress 127.0.0.1\n"
                              << "HostKey " << (folder_ / "host_key") << "\n"
                              << "AuthorizedKeysFile " << (folder_ / "authorized_keys") << "\n"
                              << "PidFile none\n"
                              << "UsePAM no\n"
                              << "StrictModes no\n"
                              << "AuthenticationMethods publickey\n"
                              << "PermitRootLogin prohibit-password\n"
                              << "AllowTcpForwarding no\n"
                              << "X11Forwarding no\n"
                              << "PrintMotd no\n";
        FileDescriptor nothing(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        FileDescriptor output(
            ::open(log().c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        server_ = SpawnedProcess({serverProgram, "-D", "-e", "-f", config}, nothing.get(),
                                 output.get(), output.get());
        eventually([&] { return accepts(port_) || !server_.running(); });
    }

    TemporaryFolder folder_;
    int port_ = 0;
    SpawnedProcess server_;
};

// ssh running a command on an SSHServer, as a client of the agent runs it: its standard input
// and output are one socket whose other end the test holds, its standard error is appended to
// `log`. Killed at the end unless it has ended.
class SSHClient {
public:
    SSHClient(const SSHServer& server, const std::string& remoteCommand, const std::string& log) {
        int ends[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
            throw std::runtime_error("cannot make a socket pair for ssh");
        socket_ = FileDescriptor(ends[0]);
        FileDescriptor theirs(ends[1]);
        FileDescriptor errors(::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600));
        ssh_ =
            SpawnedProcess(server.command(remoteCommand), theirs.get(), theirs.get(), errors.get());
    }

    // The test's end of ssh's standard input and output.
    FileDescriptor takeSocket() { return std::move(socket_); }
    // ssh's exit code, which is the remote command's; nothing while it runs or when killed.
    std::optional<int> exitCode() { return ssh_.exitCode(); }

private:
    FileDescriptor socket_;
    SpawnedProcess ssh_;
};

} // namespace veltro::testing
