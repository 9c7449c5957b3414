#pragma once

#include "support/Eventually.hpp"

#include "service/TerminalClient.hpp"
#include "sessions/ShellLaunchError.hpp"
#include "sessions/ShellLauncher.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace veltro::testing {

// A door that threads wait at until it is opened; counts who arrived.
class Gate {
public:
    void open() {
        std::lock_guard guard(mutex);
        isOpen = true;
        changed.notify_all();
    }
    void pass() {
        std::unique_lock lock(mutex);
        ++arrived;
        changed.notify_all();
        changed.wait(lock, [this] { return isOpen; });
    }
    bool waitForArrivals(int count) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(20), [&] { return arrived >= count; });
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool isOpen = false;
    int arrived = 0;
};

// A session whose shell ends when the test says so, recording what it was asked.
class FakeSession final : public ShellSession {
public:
    FakeSession(pid_t pid, ShellEvents events) : pid_(pid), events(std::move(events)) {}

    pid_t pid() const override { return pid_; }
    void write(Bytes data) override {
        std::lock_guard guard(mutex);
        writes.push_back(std::move(data));
    }
    void resize(std::int64_t columns, std::int64_t rows) override {
        std::lock_guard guard(mutex);
        resizes.emplace_back(columns, rows);
    }
    std::optional<std::string> currentFolder() override { return "/fake/" + std::to_string(pid_); }
    ForegroundProcess foregroundProcess() override { return {true, "vim"}; }
    void close() override {
        bool exitNow = false;
        {
            std::lock_guard guard(mutex);
            ++closes;
            exitNow = exitOnClose;
        }
        // A real session reports the end of a hung-up shell once it has been reaped.
        if (exitNow)
            exit(0x0100);
    }

    // The shell ends: the exit event, at most once, as a session reports it.
    void exit(std::int32_t status) {
        {
            std::lock_guard guard(mutex);
            if (hasExited)
                return;
            hasExited = true;
        }
        events.exited(status);
    }
    void emitOutput(Bytes chunk, ShellEvents::Sent sent) {
        events.output(std::move(chunk), std::move(sent));
    }
    void emitFolder(std::string folder) { events.folderChanged(std::move(folder)); }

    int closeCount() {
        std::lock_guard guard(mutex);
        return closes;
    }
    std::vector<Bytes> recordedWrites() {
        std::lock_guard guard(mutex);
        return writes;
    }
    std::vector<std::pair<std::int64_t, std::int64_t>> recordedResizes() {
        std::lock_guard guard(mutex);
        return resizes;
    }
    void setExitOnClose(bool value) {
        std::lock_guard guard(mutex);
        exitOnClose = value;
    }

private:
    const pid_t pid_;
    ShellEvents events;
    std::mutex mutex;
    std::vector<Bytes> writes;
    std::vector<std::pair<std::int64_t, std::int64_t>> resizes;
    int closes = 0;
    bool exitOnClose = false;
    bool hasExited = false;
};

// A launcher whose launches can be held open at a gate, made to fail, or given something to
// do with the new session before launch() returns.
class FakeLauncher final : public ShellLauncher {
public:
    // Every shell ends with the test, as real ones end once their connection has: until its
    // exit, a running session and its slot hold each other.
    ~FakeLauncher() override {
        for (auto& session : sessions)
            session->exit(0);
    }

    std::shared_ptr<ShellSession> launch(const ShellRequest& request, ShellEvents events) override {
        std::shared_ptr<Gate> heldAt;
        std::optional<std::string> failWith;
        std::function<void(FakeSession&)> during;
        bool exitOnClose = false;
        pid_t pid = 0;
        {
            std::lock_guard guard(mutex);
            requests.push_back(request);
            heldAt = gate;
            failWith = failure;
            during = duringLaunch;
            exitOnClose = sessionsExitOnClose;
            pid = nextPid++;
        }
        if (heldAt)
            heldAt->pass();
        if (failWith)
            throw ShellLaunchError(*failWith);
        auto session = std::make_shared<FakeSession>(pid, std::move(events));
        session->setExitOnClose(exitOnClose);
        {
            std::lock_guard guard(mutex);
            sessions.push_back(session);
        }
        if (during)
            during(*session);
        return session;
    }

    void holdLaunchesAt(std::shared_ptr<Gate> value) {
        std::lock_guard guard(mutex);
        gate = std::move(value);
    }
    void failLaunchesWith(std::optional<std::string> text) {
        std::lock_guard guard(mutex);
        failure = std::move(text);
    }
    void beforeReturning(std::function<void(FakeSession&)> action) {
        std::lock_guard guard(mutex);
        duringLaunch = std::move(action);
    }
    void makeSessionsExitOnClose() {
        std::lock_guard guard(mutex);
        sessionsExitOnClose = true;
    }
    std::shared_ptr<FakeSession> session(std::size_t index) {
        std::lock_guard guard(mutex);
        return index < sessions.size() ? sessions[index] : nullptr;
    }
    std::size_t launchCount() {
        std::lock_guard guard(mutex);
        return requests.size();
    }
    std::vector<ShellRequest> recordedRequests() {
        std::lock_guard guard(mutex);
        return requests;
    }

private:
    std::mutex mutex;
    std::shared_ptr<Gate> gate;
    std::optional<std::string> failure;
    std::function<void(FakeSession&)> duringLaunch;
    bool sessionsExitOnClose = false;
    pid_t nextPid = 4000;
    std::vector<ShellRequest> requests;
    std::vector<std::shared_ptr<FakeSession>> sessions;
};

// Records every report and acknowledges output at once.
class FakeClient final : public TerminalClient {
public:
    void output(const UUID& id, Bytes data, Sent sent) override {
        {
            std::lock_guard guard(mutex);
            outputs.emplace_back(id, std::move(data));
        }
        sent();
    }
    void exited(const UUID& id, std::int32_t status) override {
        std::lock_guard guard(mutex);
        exits.emplace_back(id, status);
    }
    void folderChanged(const UUID& id, std::string folder) override {
        std::lock_guard guard(mutex);
        folders.emplace_back(id, std::move(folder));
    }

    std::vector<std::pair<UUID, Bytes>> recordedOutputs() {
        std::lock_guard guard(mutex);
        return outputs;
    }
    std::vector<std::pair<UUID, std::int32_t>> recordedExits() {
        std::lock_guard guard(mutex);
        return exits;
    }
    std::vector<std::pair<UUID, std::string>> recordedFolders() {
        std::lock_guard guard(mutex);
        return folders;
    }

private:
    std::mutex mutex;
    std::vector<std::pair<UUID, Bytes>> outputs;
    std::vector<std::pair<UUID, std::int32_t>> exits;
    std::vector<std::pair<UUID, std::string>> folders;
};

} // namespace veltro::testing
