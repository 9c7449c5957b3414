#pragma once

#include "Agent.hpp"
#include "BareTerminal.hpp"
#include "Bench.hpp"

#include "client/TerminalHelperClient.hpp"
#include "platform/EventLoop.hpp"

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace veltro::bench {

// Keystrokes into one shell that echoes them. Each is typed by the output handler as soon as the
// echo of the one before arrives, so that a round trip holds the agent and the client library
// but no change of thread within the benchmark.
struct EchoProbe {
    UUID id;
    // Keystrokes still to type.
    std::size_t remaining = 0;
    // A keystroke has been typed and its echo has not come back yet.
    bool pending = false;
    Clock::time_point typedAt;
    // Round trips, in microseconds.
    std::vector<double> latencies;
};

// What one connection has heard from the agent, summed over all its shells.
struct Heard {
    std::size_t bytes = 0;
    std::size_t exits = 0;
    // The shells that have written anything.
    std::set<UUID> speaking;
    // The last few bytes of output, to find a marker in.
    std::string tail;
    std::optional<Clock::time_point> firstOutput;
    bool ended = false;
    EchoProbe echo;
};

// One connection to an agent through the client library, on a loop of its own, as the desktop
// terminal would hold it.
// Waiting threads are woken only once what they wait for holds, so that a burst of output does
// not also measure the benchmark's own wake-ups.
class Client {
public:
    explicit Client(const Agent& agent);
    // Through another socket than the agent's own, such as one that ssh carries.
    explicit Client(const std::string& socketPath);
    // Ends the connection; the agent closes every shell of it.
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Opens a shell running `program` in "/", kept when `options` say so; throws when the
    // agent refuses.
    UUID open(const std::string& program, const ShellOptions& options = {});
    // Takes the kept shell `id` onto this connection with every byte it still keeps; answers
    // the offset its output starts from, or throws when the agent refuses.
    std::int64_t attach(const UUID& id);
    std::vector<KeptShellInfo> list();
    void type(const UUID& id, std::string_view text);
    void close(const UUID& id);

    // Forgets what has been heard so far.
    void forget();
    // Waits until `done` holds of what has been heard; throws if the connection ends first.
    void waitUntil(const std::function<bool(const Heard&)>& done);
    // Runs `look` on what has been heard and answers its result.
    template <class Look> auto inspect(Look look) {
        std::lock_guard lock(mutex_);
        return look(heard_);
    }

    // Times `keystrokes` round trips through the echoing shell `id`.
    std::vector<double> echoes(const UUID& id, std::size_t keystrokes);
    // Keeps typing into the echoing shell `id` until stopEchoes().
    void startEchoes(const UUID& id);
    // The round trips so far, which are then forgotten.
    std::vector<double> takeEchoes();
    // Stops typing once the echo on its way has come; answers the round trips not yet taken.
    std::vector<double> stopEchoes();

private:
    TerminalHelperClient::Handler handler();
    void beginEchoes(const UUID& id, std::size_t keystrokes);
    // Waits for the last echo, and answers the round trips not yet taken.
    std::vector<double> finishEchoes();
    void heard(const UUID& id, const Bytes& data);
    // These two run with the lock held; the client library is called without it, as it may
    // wait for the thread that delivers to the handler.
    void notifyIfAwaited();
    // Whether to type another keystroke, which then counts as typed now.
    bool nextKeystroke();

    // First, so that it ends last: the library's handler reaches the members below.
    EventLoop loop_;
    std::mutex mutex_;
    std::condition_variable changed_;
    Heard heard_;
    const std::function<bool(const Heard&)>* awaited_ = nullptr;
    std::shared_ptr<TerminalHelperClient> helper_;
};

// Opens a shell running echoScript and waits until it echoes.
UUID openEchoShell(Client& client);

// From the open request to the exit of a shell that writes a burst of `bytes` (with
// burstScript, or `script` when given), after all its output has been heard; and the agent's
// processor time in between.
Burst agentBurst(const Agent& agent, Client& client, std::size_t bytes,
                 const ShellOptions& shellOptions = {},
                 const std::optional<std::string>& script = std::nullopt);
// Round trips of `keystrokes` single keystrokes through a fresh echoing shell, in microseconds.
std::vector<double> agentEchoes(Client& client, int keystrokes);

} // namespace veltro::bench
