#pragma once

#include "support/Eventually.hpp"

// Shared helpers of the pseudo-terminal session tests: a recorder of a session's events, and a
// few ways to wait for what a real shell does.

#include "platform/ProcessInfo.hpp"
#include "sessions/PTYSession.hpp"
#include "sessions/ShellCommand.hpp"
#include "sessions/UserAccount.hpp"

#include <dirent.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace veltro::testing {

using namespace std::chrono_literals;

// Long enough for a loaded machine under the sanitizers; never a statement about speed.
constexpr auto patience = 60s;

// Records everything a session reports. While withholding, the `sent` callbacks are kept
// instead of being called, so the test decides when each chunk counts as passed on.
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
        ShellEvents events;
        events.output = [self](Bytes chunk, ShellEvents::Sent sent) {
            bool acknowledge = false;
            {
                std::lock_guard lock(self->mutex);
                self->chunkSizes.push_back(chunk.size());
                self->output.append(chunk.begin(), chunk.end());
                self->kinds.push_back(Kind::output);
                if (self->withholding)
                    self->withheld.push_back(std::move(sent));
                else
                    acknowledge = true;
            }
            self->changed.notify_all();
            if (acknowledge)
                sent();
        };
        events.folderChanged = [self](std::string folder) {
            {
                std::lock_guard lock(self->mutex);
                self->folders.push_back(std::move(folder));
                self->kinds.push_back(Kind::folder);
            }
            self->changed.notify_all();
        };
        events.exited = [self](std::int32_t status) {
            {
                std::lock_guard lock(self->mutex);
                self->exits.push_back(status);
                self->kinds.push_back(Kind::exited);
            }
            self->changed.notify_all();
        };
        return events;
    }

    bool waitFor(const std::function<bool()>& condition,
                 std::chrono::steady_clock::duration timeout = patience) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, condition);
    }

    bool waitForText(std::string_view text,
                     std::chrono::steady_clock::duration timeout = patience) {
        return waitFor([&] { return output.find(text) != std::string::npos; }, timeout);
    }

    bool waitForExit(std::chrono::steady_clock::duration timeout = patience) {
        return waitFor([&] { return !exits.empty(); }, timeout);
    }

    // Calls the oldest withheld `sent`, outside the lock, as a receiver on another thread would.
    void acknowledgeOne() {
        ShellEvents::Sent sent;
        {
            std::lock_guard lock(mutex);
            if (withheld.empty())
                return;
            sent = std::move(withheld.front());
            withheld.pop_front();
        }
        sent();
    }

    // Stops withholding and acknowledges everything kept so far.
    void acknowledgeAll() {
        std::deque<ShellEvents::Sent> kept;
        {
            std::lock_guard lock(mutex);
            withholding = false;
            kept.swap(withheld);
        }
        for (auto& sent : kept)
            sent();
    }

    template <class Read> auto read(Read&& reader) {
        std::lock_guard lock(mutex);
        return reader();
    }

    std::string text() {
        return read([&] { return output; });
    }
    std::vector<std::string> folderChanges() {
        return read([&] { return folders; });
    }
    std::vector<std::int32_t> exitStatuses() {
        return read([&] { return exits; });
    }
    std::size_t chunkCount() {
        return read([&] { return chunkSizes.size(); });
    }

    std::mutex mutex;
    std::condition_variable changed;
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

// A command as the launcher would build it for `shell`, then with its argument vector replaced,
// so a test can run a script through the real environment and folder rules.
inline ShellCommand scriptCommand(const std::string& shell, std::vector<std::string> arguments,
                                  const std::string& folder = "/") {
    ShellCommand command(shell, folder, testAccount("/"), testEnvironment(), {}, "",
                         ShellCommand::isFolder, ShellCommand::localeExists);
    command.arguments = std::move(arguments);
    return command;
}

// An interactive shell, as a client's "shell" option would name it.
inline ShellCommand interactiveCommand(const std::string& shell, const std::string& folder = "/") {
    return ShellCommand(shell, folder, testAccount("/"), testEnvironment(), {}, "",
                        ShellCommand::isFolder, ShellCommand::localeExists);
}

// Runs a short script to its end and until its session is gone, so that everything the process
// sets up on first use is there and everything of the session itself has been released.
inline bool runToCompletion(const ShellCommand& command) {
    auto recorder = Recorder::make();
    std::weak_ptr<PTYSession> session = PTYSession::make(command, 80, 24, recorder->events());
    return recorder->waitForExit() && eventually([&] { return session.expired(); });
}

// Lets go of the session and waits until nothing holds it any more: its sources, its queued
// work and its forced kill have all run and released it.
template <class Session> bool released(std::shared_ptr<Session>& session) {
    std::weak_ptr<Session> weak = session;
    session.reset();
    return eventually([&] { return weak.expired(); });
}

inline Bytes bytes(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

inline bool processExists(pid_t pid) {
    return std::filesystem::exists("/proc/" + std::to_string(pid));
}

inline std::size_t openDescriptorCount() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    // The iterator's own descriptor was among them.
    return count - 1;
}

// What each open descriptor refers to, for a message when the count is off.
inline std::string descriptorTargets() {
    std::string targets;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        targets += entry.path().filename().string() + " -> " +
                   std::filesystem::read_symlink(entry.path(), error).string() + "\n";
    }
    return targets;
}

// The descriptor count once it has stopped changing: a session's sources let go of their
// descriptors on its queue a moment after the session itself is gone.
inline std::size_t settledDescriptorCount() {
    for (;;) {
        std::size_t count = openDescriptorCount();
        std::this_thread::sleep_for(100ms);
        if (openDescriptorCount() == count)
            return count;
    }
}

// Whether this process has a child that was never reaped (or any child at all).
inline bool hasChildren() {
    siginfo_t info{};
    return ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

// Waits until the process held by the pidfd has ended.
inline bool waitForEnd(const ProcessHandle& process) {
    return eventually([&] { return !process.exists() || !processExists(process.pid()); });
}

// A temporary folder removed with everything in it at the end of the test.
class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "veltro-pty-XXXXXX");
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    TemporaryFolder(const TemporaryFolder&) = delete;
    TemporaryFolder& operator=(const TemporaryFolder&) = delete;

    std::filesystem::path path;
};

} // namespace veltro::testing
