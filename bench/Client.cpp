#include "Client.hpp"

#include "BareTerminal.hpp"

#include <limits>
#include <stdexcept>

namespace veltro::bench {

namespace {

constexpr std::size_t tailSize = 16;
// Enough round trips for many seconds of typing, so that recording one never allocates.
constexpr std::size_t echoCapacity = 1 << 20;

const Bytes keystroke{'x'};

// Every shell's size: an attach at the same size changes nothing on its screen.
constexpr std::int64_t columns = 80;
constexpr std::int64_t rows = 24;

} // namespace

Client::Client(const Agent& agent) : Client(agent.socketPath()) {}

Client::Client(const std::string& socketPath)
    : helper_(TerminalHelperClient::connect(loop_, handler(), socketPath)) {}

Client::~Client() {
    helper_->disconnect();
}

TerminalHelperClient::Handler Client::handler() {
    TerminalHelperClient::Handler handler;
    handler.output = [this](const UUID& id, const Bytes& data) { heard(id, data); };
    handler.exited = [this](const UUID&, std::int32_t) {
        std::lock_guard lock(mutex_);
        ++heard_.exits;
        notifyIfAwaited();
    };
    handler.folderChanged = [](const UUID&, const std::string&) {};
    // Whatever the library says about the ending, if anything, the connection is over.
    handler.disconnected = [this](const auto&...) {
        std::lock_guard lock(mutex_);
        heard_.ended = true;
        changed_.notify_all();
    };
    return handler;
}

void Client::heard(const UUID& id, const Bytes& data) {
    auto now = Clock::now();
    bool typing = false;
    {
        std::lock_guard lock(mutex_);
        heard_.bytes += data.size();
        heard_.speaking.insert(id);
        if (!heard_.firstOutput)
            heard_.firstOutput = now;
        std::size_t kept = std::min(data.size(), tailSize);
        heard_.tail.append(data.end() - static_cast<std::ptrdiff_t>(kept), data.end());
        if (heard_.tail.size() > tailSize)
            heard_.tail.erase(0, heard_.tail.size() - tailSize);
        EchoProbe& echo = heard_.echo;
        if (echo.pending && id == echo.id) {
            echo.latencies.push_back(microseconds(now - echo.typedAt));
            echo.pending = false;
            typing = nextKeystroke();
        }
        notifyIfAwaited();
    }
    if (typing)
        helper_->write(id, keystroke);
}

void Client::notifyIfAwaited() {
    if (awaited_ && (*awaited_)(heard_))
        changed_.notify_all();
}

bool Client::nextKeystroke() {
    EchoProbe& echo = heard_.echo;
    if (echo.remaining == 0)
        return false;
    --echo.remaining;
    echo.pending = true;
    echo.typedAt = Clock::now();
    return true;
}

UUID Client::open(const std::string& program, const ShellOptions& options) {
    UUID id = UUID::random();
    auto opened = helper_->openShell(id, columns, rows, "/", program, {}, options);
    if (opened.pid <= 0)
        throw std::runtime_error("the agent did not open " + program + ": " +
                                 opened.error.value_or("no reason given"));
    return id;
}

std::int64_t Client::attach(const UUID& id) {
    auto attached = helper_->attach(id, std::nullopt, columns, rows);
    if (attached.pid <= 0)
        throw std::runtime_error("the agent did not attach a kept shell: " +
                                 attached.error.value_or("no reason given"));
    return attached.offset;
}

std::vector<KeptShellInfo> Client::list() {
    return helper_->list();
}

void Client::type(const UUID& id, std::string_view text) {
    helper_->write(id, Bytes(text.begin(), text.end()));
}

void Client::close(const UUID& id) {
    helper_->close(id);
}

void Client::forget() {
    std::lock_guard lock(mutex_);
    EchoProbe echo = std::move(heard_.echo);
    heard_ = Heard{};
    heard_.echo = std::move(echo);
}

void Client::waitUntil(const std::function<bool(const Heard&)>& done) {
    std::unique_lock lock(mutex_);
    awaited_ = &done;
    changed_.wait(lock, [&] { return done(heard_) || heard_.ended; });
    awaited_ = nullptr;
    if (!done(heard_))
        throw std::runtime_error("the agent ended the connection");
}

std::vector<double> Client::echoes(const UUID& id, std::size_t keystrokes) {
    beginEchoes(id, keystrokes);
    return finishEchoes();
}

void Client::startEchoes(const UUID& id) {
    beginEchoes(id, std::numeric_limits<std::size_t>::max());
}

std::vector<double> Client::takeEchoes() {
    std::lock_guard lock(mutex_);
    EchoProbe& echo = heard_.echo;
    std::vector<double> latencies = std::move(echo.latencies);
    echo.latencies.clear();
    echo.latencies.reserve(std::min(echo.remaining, echoCapacity));
    return latencies;
}

std::vector<double> Client::stopEchoes() {
    {
        std::lock_guard lock(mutex_);
        heard_.echo.remaining = 0;
    }
    return finishEchoes();
}

void Client::beginEchoes(const UUID& id, std::size_t keystrokes) {
    {
        std::lock_guard lock(mutex_);
        EchoProbe& echo = heard_.echo;
        echo = EchoProbe{};
        echo.id = id;
        echo.remaining = keystrokes;
        echo.latencies.reserve(std::min(keystrokes, echoCapacity));
        if (!nextKeystroke())
            return;
    }
    helper_->write(id, keystroke);
}

std::vector<double> Client::finishEchoes() {
    waitUntil([](const Heard& heard) { return !heard.echo.pending; });
    return takeEchoes();
}

UUID openEchoShell(Client& client) {
    client.forget();
    UUID id = client.open("/bin/sh");
    client.type(id, std::string(echoScript) + "\n");
    client.waitUntil([](const Heard& heard) { return heard.tail.ends_with(readyMarker); });
    return id;
}

} // namespace veltro::bench
