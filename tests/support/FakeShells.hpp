#pragma once

#include "sessions/ShellLauncher.hpp"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltro::testing {

// A session whose shell ends when the test says so, recording what it was asked. Its input
// backlog is whatever the test sets.
class FakeSession final : public ShellSession {
public:
    FakeSession(pid_t pid, ShellEvents events) : events(std::move(events)), pid_(pid) {}

    pid_t pid() const override { return pid_; }
    bool write(Bytes data) override {
        input.insert(input.end(), data.begin(), data.end());
        return !backlogged;
    }
    void whenInputDrained(std::function<void()> drained) override {
        if (backlogged)
            drainedCallbacks.push_back(std::move(drained));
        else
            drained();
    }
    void resize(std::int64_t columns, std::int64_t rows) override {
        resizes.emplace_back(columns, rows);
    }
    void signalWindowChange() override { ++windowChanges; }
    std::optional<std::string> currentFolder() override { return "/fake/" + std::to_string(pid_); }
    ForegroundProcess foregroundProcess() override { return {true, "vim"}; }
    // A real session reports the end of a hung-up shell once it has been reaped.
    void close() override {
        ++closes;
        if (exitOnClose)
            exit(0x0100);
    }

    void exit(std::int32_t status) {
        if (std::exchange(exited, true))
            return;
        drain();
        events.exited(status);
    }
    void drain() {
        backlogged = false;
        for (auto& drained : std::exchange(drainedCallbacks, {}))
            drained();
    }

    ShellEvents events;
    Bytes input;
    std::vector<std::pair<std::int64_t, std::int64_t>> resizes;
    int closes = 0;
    int windowChanges = 0;
    bool backlogged = false;
    bool exitOnClose = true;

private:
    std::vector<std::function<void()>> drainedCallbacks;
    const pid_t pid_;
    bool exited = false;
};

// A launcher whose launches finish when the test says so.
class FakeLauncher final : public ShellLauncher {
public:
    // Every shell ends with the test, as real ones end once their connection has: until its
    // exit, a running session and its slot hold each other.
    ~FakeLauncher() override {
        for (auto& session : sessions)
            session->exit(0);
    }

    void launch(const ShellRequest& request, ShellEvents events, Launched launched) override {
        requests.push_back(request);
        pending.emplace_back(std::move(events), std::move(launched));
        if (finishAtOnce)
            finish();
    }

    // Finishes the oldest launch with a session, or with the error when one is given.
    std::shared_ptr<FakeSession> finish(std::optional<std::string> error = std::nullopt) {
        auto [events, launched] = std::move(pending.front());
        pending.erase(pending.begin());
        if (error) {
            launched(nullptr, *error);
            return nullptr;
        }
        auto session = std::make_shared<FakeSession>(nextPid++, std::move(events));
        session->backlogged = startBacklogged;
        sessions.push_back(session);
        launched(session, {});
        return session;
    }

    bool finishAtOnce = true;
    // Whether new sessions start with their input backlogged.
    bool startBacklogged = false;
    std::vector<ShellRequest> requests;
    std::vector<std::pair<ShellEvents, Launched>> pending;
    std::vector<std::shared_ptr<FakeSession>> sessions;
    pid_t nextPid = 1000;
};

} // namespace veltro::testing
