#pragma once

// Helpers of the pseudo-terminal session tests. Sessions and their events live on the event
// loop, so the tests reach them, and what the recorder saw, through it.

#include "platform/EventLoop.hpp"
#include "platform/ProcessInfo.hpp"
#include "sessions/PTYSession.hpp"
#include "sessions/PTYShellLauncher.hpp"
#include "support/Eventually.hpp"
#include "support/ProcessCounts.hpp"
#include "support/TemporaryFolder.hpp"

#include <deque>
#include <filesystem>
#include <fstream>
#include <future>

namespace veltro::testing {

template <class Work> auto onLoop(Work&& work) {
    return EventLoop::shared().sync(std::forward<Work>(work));
}

struct Seen {
    std::string output;
    std::vector<std::size_t> chunks;
    std::vector<std::string> folders;
    std::vector<std::int32_t> exits;
    // Events of any kind after the first exit, a second exit included: there must be none.
    int afterExit = 0;
};

// Records what a session reports. While withholding, it keeps the `sent` callbacks, so that
// the test decides when each chunk counts as passed on.
class Recorder : public std::enable_shared_from_this<Recorder> {
public:
    explicit Recorder(bool withhold = false) : withholding(withhold) {}

    ShellEvents events() {
        auto self = shared_from_this();
        return {[self](ByteView chunk, ShellEvents::Sent sent) {
                    self->next().chunks.push_back(chunk.size());
                    self->seen.output.append(chunk.begin(), chunk.end());
                    if (self->withholding)
                        self->withheld.push_back(std::move(sent));
                    else
                        sent();
                },
                [self](std::string folder) { self->next().folders.push_back(std::move(folder)); },
                [self](std::int32_t status) { self->next().exits.push_back(status); }};
    }

    Seen now() {
        return onLoop([&] { return seen; });
    }
    bool waitFor(const std::function<bool(const Seen&)>& condition) {
        return eventually([&] { return onLoop([&] { return condition(seen); }); });
    }
    bool waitForText(const std::string& text) {
        return waitFor(
            [&](const Seen& seen) { return seen.output.find(text) != std::string::npos; });
    }
    bool waitForExit() {
        return waitFor([](const Seen& seen) { return !seen.exits.empty(); });
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

private:
    Seen& next() {
        seen.afterExit += seen.exits.empty() ? 0 : 1;
        return seen;
    }

    Seen seen;
    bool withholding;
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

// Begins a launch on the loop and waits for the session, or the error, it ends in.
template <class Session, class Begin>
std::pair<std::shared_ptr<Session>, std::string> await(Begin&& begin) {
    std::promise<std::pair<std::shared_ptr<Session>, std::string>> outcome;
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
        .first;
}

// Bytes in an order that a lost, doubled or swapped part would disturb.
inline std::string patterned(std::size_t size) {
    std::string data(size, '\0');
    for (std::size_t index = 0; index < size; ++index)
        data[index] = static_cast<char>((index * 7919) ^ (index >> 16));
    return data;
}

template <class Session> void send(const Session& session, std::string_view text) {
    onLoop([&] { session->write(Bytes(text.begin(), text.end())); });
}

// One whole session first, so that what the process sets up on first use is there before
// descriptors and children are counted.
inline bool warmedUp() {
    auto recorder = std::make_shared<Recorder>();
    return start(script("exit 0"), recorder) && recorder->waitForExit() &&
           eventually([] { return childProcesses() == 0; });
}

// A script whose output comes in five parts, each but the last waiting for a line of input, so
// that each becomes a chunk of its own; it is answered, while all four chunks are withheld,
// until the shell has been reaped.
inline std::shared_ptr<PTYSession>
reapedBehindFourChunks(const std::shared_ptr<Recorder>& recorder) {
    auto session = start(script("stty -echo; for i in 1 2 3 4; do printf \"c$i.\"; read x; done; "
                                "printf c5.; exit 3"),
                         recorder);
    for (int part = 1; part <= 4; ++part) {
        if (!recorder->waitForText("c" + std::to_string(part) + "."))
            return nullptr;
        send(session, "\n");
    }
    std::string proc = "/proc/" + std::to_string(session->pid());
    return eventually([&] { return !std::filesystem::exists(proc); }) ? session : nullptr;
}

// Lets go of the session and waits until nothing holds it any more.
template <class Session> bool released(std::shared_ptr<Session>& session) {
    std::weak_ptr<Session> weak = session;
    onLoop([&] { session.reset(); });
    return eventually([&] { return weak.expired(); });
}

// The process whose id the shell printed first, as <pid>.
inline std::optional<ProcessHandle> printedProcess(const Seen& seen) {
    return ProcessHandle::open(std::stoi(seen.output.substr(seen.output.find('<') + 1)));
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
