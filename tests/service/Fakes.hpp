#pragma once

#include "service/TerminalClient.hpp"
#include "sessions/ShellLauncher.hpp"
#include "xpc/AgentConnection.hpp"

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
        drainedCallbacks.push_back(std::move(drained));
    }
    void resize(std::int64_t columns, std::int64_t rows) override {
        resizes.emplace_back(columns, rows);
    }
    std::optional<std::string> currentFolder() override { return "/fake"; }
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

    void launch(const ShellRequest&, ShellEvents events, Launched launched) override {
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
        sessions.push_back(session);
        launched(session, {});
        return session;
    }

    bool finishAtOnce = true;
    std::vector<std::pair<ShellEvents, Launched>> pending;
    std::vector<std::shared_ptr<FakeSession>> sessions;
    pid_t nextPid = 1000;
};

// Records what the service tells the client; output is acknowledged at once.
class FakeClient final : public TerminalClient {
public:
    void output(const UUID&, ByteView data, Sent sent) override {
        outputs.emplace_back(data.begin(), data.end());
        sent();
    }
    void exited(const UUID& id, std::int32_t status) override { exits.emplace_back(id, status); }
    void folderChanged(const UUID&, std::string folder) override {
        folders.push_back(std::move(folder));
    }
    void suspendInput() override { ++suspensions; }
    void resumeInput() override { --suspensions; }

    std::vector<Bytes> outputs;
    std::vector<std::pair<UUID, std::int32_t>> exits;
    std::vector<std::string> folders;
    int suspensions = 0;
};

// An agent-side connection that records how it was set up.
class FakeConnection final : public xpc::AgentConnection {
public:
    void setCodeSigningRequirement(std::string value) override {
        steps.push_back("requirement " + value);
    }
    void setExportedObject(std::shared_ptr<TerminalHelperProtocol> object) override {
        steps.push_back("exported");
        exported = std::move(object);
    }
    void setInvalidationHandler(std::function<void()> handler) override {
        steps.push_back("invalidation");
        invalidation = std::move(handler);
    }
    void resume() override { steps.push_back("resume"); }
    void invalidate() override {
        if (auto handler = std::exchange(invalidation, nullptr))
            handler();
    }
    void suspendReading() override {}
    void resumeReading() override {}
    pid_t peerPid() const override { return 42; }
    void output(const UUID&, ByteView, std::function<void()> onWritten) override { onWritten(); }
    void exited(const UUID& id, std::int32_t status) override { exits.emplace_back(id, status); }
    void folderChanged(const UUID&, std::string_view) override {}
    void scheduleSendBarrierBlock(std::function<void()> block) override { block(); }

    std::vector<std::string> steps;
    std::shared_ptr<TerminalHelperProtocol> exported;
    std::function<void()> invalidation;
    std::vector<std::pair<UUID, std::int32_t>> exits;
};

} // namespace veltro::testing
