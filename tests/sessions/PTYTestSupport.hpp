#pragma once

// Helpers of the pseudo-terminal session tests. Sessions and their events live on the event
// loop, so the tests reach them, and what the recorder saw, through it.

#include "platform/EventLoop.hpp"
#include "platform/ProcessInfo.hpp"
#include "sessions/PTYSession.hpp"
#include "sessions/PTYShellLauncher.hpp"
#include "support/Eventually.hpp"
#include "support/TemporaryFolder.hpp"

#include <sys/wait.h>

#include <deque>
#include <filesystem>
#include <fstream>
#include <future>

namespace veltro::testing {

template <class Work> auto onLoop(Work&& work) {
    return EventLoop::shared().sync(std::forward<Work>(work));
}

// Records what a session reports. While withholding, it keeps the `sent` callbacks, so that
// the test decides when each chunk counts as passed on.
class Recorder : public std::enable_shared_from_this<Recorder> {
public:
    enum class Kind { output, folder, exited };

    static std::shared_ptr<Recorder> make(bool withhold = false) {
        auto recorder = std::make_shared<Recorder>();
        recorder->withholding = withhold;
        return recorder;
    }

    ShellEvents events() {
        auto self = shared_from_this();
        return {[self](ByteView chunk, ShellEvents::Sent sent) {
                    self->chunkSizes.push_back(chunk.size());
                    self->output.append(chunk.begin(), chunk.end());
                    self->kinds.push_back(Kind::output);
                    if (self->withholding)
                        self->withheld.push_back(std::move(sent));
                    else
                        sent();
                },
                [self](std::string folder) {
                    self->folders.push_back(std::move(folder));
                    self->kinds.push_back(Kind::folder);
                },
                [self](std::int32_t status) {
                    self->exits.push_back(status);
                    self->kinds.push_back(Kind::exited);
                }};
    }

    template <class Read> auto read(Read&& reader) { return onLoop(std::forward<Read>(reader)); }
    bool waitFor(const std::function<bool()>& condition) {
        return eventually([&] { return read(condition); });
    }
    bool waitForText(const std::string& text) {
        return waitFor([&] { return output.find(text) != std::string::npos; });
    }
    bool waitForExit() {
        return waitFor([&] { return !exits.empty(); });
    }
    std::string text() {
        return read([&] { return output; });
    }
    std::vector<std::int32_t> exitStatuses() {
        return read([&] { return exits; });
    }
    std::size_t chunkCount() {
        return read([&] { return chunkSizes.size(); });
    }
    // Stops withholding after `count` more chunks have been acknowledged, or for good.
    void acknowledge(std::size_t count = SIZE_MAX) {
        onLoop([&] {
            withholding = count != SIZE_MAX;
            for (; count > 0 && !withheld.empty(); --count) {
                withheld.front()();
                withheld.pop_front();
            }
        });
    }

    std::string output;
    std::vector<std::size_t> chunkSizes;
    std::vector<std::string> folders;
    std::vector<std::int32_t> exits;
    std::vector<Kind> kinds;
    bool withholding = false;
    std::deque<ShellEvents::Sent> withheld;
};

inline UserAccount testAccount(const std::string& home, const std::string& shell = "/bin/sh") {
    return UserAccount{"tester", home, shell};
}

inline Environment testEnvironment() {
    return {{"PATH", "/usr/local/bin:/usr/bin:/bin"}, {"LANG", "C.UTF-8"}};
}

// What the launcher would run for `shell`: `arguments` replace the argument vector, so that a
// test can run a script with the real environment and folder rules.
inline ShellCommand command(const std::string& shell, std::vector<std::string> arguments = {},
                            const std::string& folder = "/") {
    ShellCommand command(shell, folder, testAccount("/"), testEnvironment(), {}, "",
                         ShellCommand::isFolder, ShellCommand::localeExists);
    if (!arguments.empty())
        command.arguments = std::move(arguments);
    return command;
}

inline ShellCommand script(const std::string& text, const std::string& folder = "/") {
    return command("/bin/sh", {"sh", "-c", text}, folder);
}

// A script whose output comes in five parts, each but the last waiting for a line of input, so
// that each becomes a chunk of its own.
inline ShellCommand fourChunksThenExit(int status) {
    return script("stty -echo; for i in 1 2 3 4; do printf \"c$i.\"; read x; done; printf c5.; "
                  "exit " +
                  std::to_string(status));
}

template <class Session> struct Outcome {
    std::shared_ptr<Session> session;
    std::string error;
};

// Begins a launch on the loop and waits for its outcome.
template <class Session, class Begin> Outcome<Session> await(Begin&& begin) {
    std::promise<Outcome<Session>> outcome;
    onLoop([&] {
        begin([&outcome](std::shared_ptr<Session> session, std::string error) {
            outcome.set_value({std::move(session), std::move(error)});
        });
    });
    return outcome.get_future().get();
}

inline std::shared_ptr<PTYSession> start(const ShellCommand& command,
                                         const std::shared_ptr<Recorder>& recorder,
                                         std::int64_t columns = 80, std::int64_t rows = 24) {
    // One launcher for all, as in the agent, so that closes in one turn share a scan.
    static PTYShellLauncher launcher(testAccount("/"), testEnvironment());
    return await<PTYSession>([&](auto started) {
               launcher.start(command, columns, rows, recorder->events(), started);
           })
        .session;
}

inline Outcome<ShellSession> launch(PTYShellLauncher& launcher, const ShellRequest& request,
                                    const std::shared_ptr<Recorder>& recorder) {
    return await<ShellSession>(
        [&](auto launched) { launcher.launch(request, recorder->events(), launched); });
}

template <class Session> void send(const std::shared_ptr<Session>& session, std::string_view text) {
    onLoop([&] { session->write(Bytes(text.begin(), text.end())); });
}

inline bool processExists(pid_t pid) {
    return std::filesystem::exists("/proc/" + std::to_string(pid));
}

// Lets the script of fourChunksThenExit() run to its end while all four chunks are withheld.
template <class Session>
bool reapedBehindFourChunks(const std::shared_ptr<Session>& session, Recorder& recorder) {
    for (int part = 1; part <= 4; ++part) {
        if (!recorder.waitForText("c" + std::to_string(part) + "."))
            return false;
        send(session, "\n");
    }
    return eventually([&] { return !processExists(session->pid()); });
}

// Lets go of the session and waits until nothing holds it any more.
template <class Session> bool released(std::shared_ptr<Session>& session) {
    std::weak_ptr<Session> weak = session;
    onLoop([&] { session.reset(); });
    return eventually([&] { return weak.expired(); });
}

inline std::size_t openDescriptorCount() {
    auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    // Less the iterator's own descriptor.
    return static_cast<std::size_t>(std::distance(entries, {})) - 1;
}

// Whether this process has any child, ended or running.
inline bool hasChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Waits until the process has ended; whether its parent has collected it yet does not matter.
inline bool ended(const ProcessHandle& process) {
    return eventually([&] {
        std::ifstream stat("/proc/" + std::to_string(process.pid()) + "/stat");
        std::string fields((std::istreambuf_iterator<char>(stat)), {});
        return !process.exists() || fields.empty() || fields[fields.rfind(')') + 2] == 'Z';
    });
}

} // namespace veltro::testing
