#pragma once

#include "platform/Expected.hpp"
#include "protocol/TerminalHelperProtocol.hpp"
#include "service/HelperLifetime.hpp"
#include "service/TerminalClient.hpp"
#include "sessions/OutputHistory.hpp"
#include "sessions/ShellEvents.hpp"
#include "sessions/ShellSession.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace veltro {

class KeptShells;

// Whoever has a kept shell attached: told when the shell leaves it for another connection or
// for good, so it can drop its own entry.
class KeptShellHolder {
public:
    virtual ~KeptShellHolder() = default;
    virtual void keptShellLeft(const UUID& id) = 0;
};

// A shell that belongs to the agent rather than to a connection: it outlives the connection
// that has it, for `keep` seconds, and keeps its recent output for whoever attaches next. Every
// member runs on the event loop.
class KeptShell final : public std::enable_shared_from_this<KeptShell> {
public:
    KeptShell(asio::any_io_executor executor, std::weak_ptr<KeptShells> registry, UUID id,
              std::string identifier, ShellOptions options, std::int64_t columns,
              std::int64_t rows);

    const UUID& id() const { return id_; }
    const std::string& identifier() const { return identifier_; }
    const ShellOptions& options() const { return options_; }
    const std::shared_ptr<ShellSession>& session() const { return session_; }
    bool hasExited() const { return exitStatus_.has_value(); }
    pid_t pid() const { return pid_; }
    bool isHeldBy(const KeptShellHolder* holder) const {
        return client_ && holder_.lock().get() == holder;
    }

    // What the launcher reports through. A kept shell starts attached to the connection that
    // opened it.
    ShellEvents events();
    void launched(std::shared_ptr<ShellSession> session);
    void openedBy(std::weak_ptr<KeptShellHolder> holder, std::shared_ptr<TerminalClient> client);

    // Takes the shell onto `client`: the one that had it is told and forgets it. Answers the
    // offset its output starts from, or the reason it cannot be attached. The output waits until
    // startReplay().
    Expected<std::int64_t> attach(std::weak_ptr<KeptShellHolder> holder,
                                  std::shared_ptr<TerminalClient> client,
                                  std::optional<std::int64_t> from, std::int64_t columns,
                                  std::int64_t rows);
    // Sends the kept output from the attach's offset on, then the live output.
    void startReplay();
    // The holder lets go: the shell runs on, and its keep period starts.
    void detach();
    // Hangs the shell up (or forgets it once it has ended) and lets it go for good.
    void close();
    void resized(std::int64_t columns, std::int64_t rows);
    // The launch failed: the shell never ran.
    void abandon() { forget(); }

    KeptShellInfo info();

private:
    using Note = std::function<void(TerminalClient& client)>;

    struct HeldChunk {
        ByteView chunk;
        ShellEvents::Sent sent;
        // What the shell reported after this chunk, sent after it.
        std::vector<Note> notes;
    };

    void output(ByteView chunk, ShellEvents::Sent sent);
    void report(Note note);
    void exited(std::int32_t status);
    void replayMore();
    void flushHeld(bool toClient);
    void finishExit();
    void forget();
    void letGo();

    asio::steady_timer keepTimer_;
    std::weak_ptr<KeptShells> registry_;
    const UUID id_;
    const std::string identifier_;
    const ShellOptions options_;
    std::int64_t columns_;
    std::int64_t rows_;

    std::shared_ptr<ShellSession> session_;
    pid_t pid_ = 0;
    OutputHistory history_;
    std::optional<std::int32_t> exitStatus_;
    std::weak_ptr<KeptShellHolder> holder_;
    std::shared_ptr<TerminalClient> client_;
    std::chrono::steady_clock::time_point keepEnds_;
    bool closed_ = false;
    bool forgotten_ = false;

    // Replay: kept bytes from `cursor_` on still go to the client, at most four pieces at once.
    // Live chunks read meanwhile wait here, unacknowledged, which holds the reading; they are
    // not added to the history yet, so nothing the replay has still to send is overwritten.
    bool replaying_ = false;
    bool replayStarted_ = false;
    bool inReplayMore_ = false;
    std::int64_t cursor_ = 0;
    int piecesInFlight_ = 0;
    // Tells a piece's completion from an earlier attach's.
    std::uint64_t attachment_ = 0;
    std::vector<HeldChunk> held_;
};

// Every kept shell of the agent, by the identifier of the client that opened it and its id, and
// the budget of their histories.
class KeptShells final : public std::enable_shared_from_this<KeptShells> {
public:
    static constexpr std::int64_t historyBudget = 256 * 1024 * 1024;
    // At most four pieces of replay wait for a connection at once, as with live chunks.
    static constexpr int piecesInFlightLimit = 4;

    KeptShells(asio::any_io_executor executor, std::shared_ptr<HelperLifetime> lifetime);

    // A new kept shell, registered and counted, or the reason there is none.
    Expected<std::shared_ptr<KeptShell>> create(const UUID& id, const std::string& identifier,
                                                ShellOptions options, std::int64_t columns,
                                                std::int64_t rows);
    std::shared_ptr<KeptShell> find(const std::string& identifier, const UUID& id) const;
    std::vector<std::shared_ptr<KeptShell>> of(const std::string& identifier) const;
    std::int64_t historyInUse() const { return historyInUse_; }
    std::size_t size() const { return shells_.size(); }

    // Hangs up every kept shell, for an agent that is ending.
    void closeAll();

    // For KeptShell: it has gone for good.
    void forget(const KeptShell& shell);

private:
    asio::any_io_executor executor_;
    std::shared_ptr<HelperLifetime> lifetime_;
    std::map<std::pair<std::string, UUID>, std::shared_ptr<KeptShell>> shells_;
    std::int64_t historyInUse_ = 0;
};

} // namespace veltro
