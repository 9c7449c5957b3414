#include "client/SSHProcess.hpp"

#include "ipc/ClientConnection.hpp"

#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

extern char** environ;

namespace veltro {

namespace {

// A keepalive every 10 seconds, with ssh's default of three unanswered, finds a dead network in
// about half a minute, so a kept shell is reconnected soon; an idle connection costs one small
// packet each time. A connect that gets no answer fails after 10 seconds rather than the
// system's two minutes, as nothing can be typed while one is under way. Both come after the
// user's options, which win when they set them too (the first value of an ssh option counts).
constexpr const char* keepalive = "ServerAliveInterval=10";
constexpr const char* connectTimeout = "ConnectTimeout=10";

// How long an ssh that was told to end gets after SIGTERM before SIGKILL.
constexpr std::chrono::seconds termination{1};

class SpawnSetup {
public:
    SpawnSetup() {
        actionsError = ::posix_spawn_file_actions_init(&actions);
        attributesError = ::posix_spawnattr_init(&attributes);
    }
    ~SpawnSetup() {
        // Destroying cannot fail for what was initialised.
        if (actionsError == 0)
            (void)::posix_spawn_file_actions_destroy(&actions);
        if (attributesError == 0)
            (void)::posix_spawnattr_destroy(&attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // ssh's standard input and output become `socket`. Its signals start as a fresh program's:
    // the caller may block or ignore some (veltro-terminal takes its signals through a
    // descriptor, and ignores SIGPIPE), and a blocked mask and ignored signals survive exec.
    int prepare(int socket) {
        if (actionsError != 0)
            return actionsError;
        if (attributesError != 0)
            return attributesError;
        sigset_t none, all;
        (void)sigemptyset(&none); // These cannot fail for a valid set.
        (void)sigfillset(&all);
        for (int error : {::posix_spawn_file_actions_adddup2(&actions, socket, STDIN_FILENO),
                          ::posix_spawn_file_actions_adddup2(&actions, socket, STDOUT_FILENO),
                          ::posix_spawnattr_setsigmask(&attributes, &none),
                          ::posix_spawnattr_setsigdefault(&attributes, &all),
                          ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK |
                                                                      POSIX_SPAWN_SETSIGDEF)})
            if (error != 0)
                return error;
        return 0;
    }

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;

private:
    int actionsError;
    int attributesError;
};

std::string statusText(int status) {
    if (WIFEXITED(status))
        return "exit status " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

// What runs: ssh, the user's options, ours, then the host and the remote command.
std::vector<std::string> sshArguments(const SSHDestination& destination) {
    std::vector<std::string> arguments{"ssh"};
    arguments.insert(arguments.end(), destination.options.begin(), destination.options.end());
    arguments.insert(arguments.end(),
                     {"-T", "-o", keepalive, "-o", connectTimeout, destination.host, "--",
                      destination.command.value_or(SSHDestination::defaultCommand)});
    return arguments;
}

} // namespace

SSHProcess::Started SSHProcess::start(const SSHDestination& destination) {
    // A host that reads as an option would be taken as one by ssh.
    if (destination.host.empty() || destination.host.front() == '-')
        throw ipc::ConnectionError("Cannot reach \"" + destination.host +
                                   "\" over ssh: that is not a host name.");
    int ends[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0)
        throw ipc::ConnectionError("Cannot make a socket pair for ssh to " + destination.host +
                                   ": " + std::strerror(errno));
    FileDescriptor ours(ends[0]);
    FileDescriptor theirs(ends[1]);

    std::vector<std::string> words = sshArguments(destination);
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    SpawnSetup setup;
    pid_t pid = 0;
    int error = setup.prepare(theirs.get());
    if (error == 0)
        error =
            ::posix_spawnp(&pid, argv[0], &setup.actions, &setup.attributes, argv.data(), environ);
    if (error != 0)
        throw ipc::ConnectionError("Cannot start ssh to reach " + destination.host + ": " +
                                   std::strerror(error));
    return {std::make_shared<SSHProcess>(pid), std::move(ours)};
}

SSHProcess::~SSHProcess() {
    (void)finish(std::chrono::seconds(2));
}

bool SSHProcess::reapedWithin(std::chrono::milliseconds patience) {
    auto deadline = std::chrono::steady_clock::now() + patience;
    for (;;) {
        int status = 0;
        pid_t result = ::waitpid(pid_, &status, WNOHANG);
        if (result == pid_) {
            status_ = status;
            return true;
        }
        // Not our child any more (someone else reaped it): there is nothing left to wait for.
        if (result < 0 && errno != EINTR) {
            status_ = 0;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string SSHProcess::finish(std::chrono::milliseconds patience) {
    std::lock_guard guard(mutex_);
    if (!status_ && !reapedWithin(patience)) {
        // ssh is our child and not yet reaped, so its pid cannot have been reused.
        (void)::kill(pid_, SIGTERM);
        if (!reapedWithin(termination)) {
            (void)::kill(pid_, SIGKILL);
            (void)reapedWithin(std::chrono::hours(1));
        }
    }
    return statusText(*status_);
}

} // namespace veltro
