#include "xpc/ClientSocketConnection.hpp"
#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::xpctest;

namespace {

const UUID shellID = *UUID::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

// What reached the client: replies and the agent's notifications, in order.
class ClientLog : public TerminalClientProtocol {
public:
    void output(UUID id, Bytes data) override {
        add("output " + id.string() + " " + std::string(data.begin(), data.end()));
    }
    void exited(UUID id, std::int32_t status) override {
        add("exited " + id.string() + " " + std::to_string(status));
    }
    void folderChanged(UUID id, std::string folder) override {
        add("folderChanged " + id.string() + " " + folder);
    }
    void add(std::string event) {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
    }
    std::vector<std::string> events() {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    std::mutex mutex_;
    std::vector<std::string> events_;
};

// A client connected to an in-process agent through a socket pair.
struct Pair {
    TestDelegate delegate;
    std::shared_ptr<xpc::Listener> listener = xpc::Listener::anonymous();
    std::shared_ptr<ClientLog> log = std::make_shared<ClientLog>();
    std::shared_ptr<xpc::ClientConnection> client;

    Pair() {
        listener->setDelegate(&delegate);
        listener->resume();
        client = xpc::connect(listener->endpoint(), "tech.morvane.veltro");
        client->setExportedObject(log);
        client->setInvalidationHandler(
            [log = log](std::string reason) { log->add("invalidated " + reason); });
        client->resume();
    }
    ~Pair() {
        client->invalidate();
        stopListener(listener);
        delegate.endAll();
    }
};

} // namespace

TEST(ClientConnection, EveryMethodRoundTripsThroughASocketPair) {
    Pair pair;
    auto& client = *pair.client;
    const std::string id = shellID.string();
    struct Case {
        std::function<void()> call;
        std::string atAgent;
        std::string reply;
    };
    auto log = pair.log;
    std::vector<Case> cases = {
        {[&] { client.hello(-5, [log](std::int64_t v) { log->add(std::to_string(v)); }); },
         "hello -5", "1"},
        {[&] {
             client.openShell(shellID, INT64_MIN, 24, "/ü", "/bin/zsh", {{"A", "1"}, {"B", ""}},
                              [log](std::int32_t pid, std::optional<std::string> error) {
                                  log->add(std::to_string(pid) + error.value_or(" no error"));
                              });
         },
         "openShell " + id + " -9223372036854775808x24 /ü /bin/zsh A=1 B=", "4242 no error"},
        {[&] {
             client.write(shellID, Bytes{'l', 's', '\r'});
         },
         "write " + id + " ls\r", ""},
        {[&] { client.write(shellID, Bytes{}); }, "write " + id + " ", ""},
        {[&] { client.resize(shellID, 0, -1); }, "resize " + id + " 0x-1", ""},
        {[&] {
             client.currentFolder(shellID, [log](std::optional<std::string> folder) {
                 log->add(folder.value_or("nil"));
             });
         },
         "currentFolder " + id, "/tmp/folder"},
        {[&] {
             client.isBusy(shellID, [log](bool busy, std::optional<std::string> name) {
                 log->add(std::to_string(busy) + " " + name.value_or("nil"));
             });
         },
         "isBusy " + id, "1 vim"},
        {[&] { client.close(shellID); }, "close " + id, ""},
    };
    std::vector<std::string> atAgent, replies;
    for (const auto& c : cases) {
        c.call();
        atAgent.push_back(c.atAgent);
        if (!c.reply.empty())
            replies.push_back(c.reply);
    }
    EXPECT_TRUE(eventually([&] { return pair.delegate.helper->calls().size() == cases.size(); }));
    EXPECT_EQ(pair.delegate.helper->calls(), atAgent);
    EXPECT_TRUE(eventually([&] { return pair.log->events().size() == replies.size(); }));
    EXPECT_EQ(pair.log->events(), replies);

    auto agent = pair.delegate.connection();
    static const Bytes data{'o', 'u', 't'};
    loop().sync([&] {
        agent->output(shellID, data, [] {});
        agent->exited(shellID, INT32_MIN);
        agent->folderChanged(shellID, "/Ünïcode");
    });
    replies.insert(replies.end(), {"output " + id + " out", "exited " + id + " -2147483648",
                                   "folderChanged " + id + " /Ünïcode"});
    EXPECT_TRUE(eventually([&] { return pair.log->events().size() == replies.size(); }));
    EXPECT_EQ(pair.log->events(), replies);
}

TEST(ClientConnection, EndReachesTheInvalidationHandlerOnceAndLaterCallsAreDropped) {
    Pair pair;
    auto agent = pair.delegate.connection();
    loop().sync([&] { agent->invalidate(); });
    EXPECT_TRUE(eventually([&] { return pair.log->events().size() == 1; }));
    pair.client->hello(1, [log = pair.log](std::int64_t) { log->add("replied"); });
    pair.client->invalidate();
    loop().sync([] {});
    EXPECT_EQ(pair.log->events(), std::vector<std::string>{"invalidated "});
}

TEST(ClientConnection, AgentsLastWordsReachTheHandlersAndUnknownNotificationsAreIgnored) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    FileDescriptor agent(pair[1]);
    auto log = std::make_shared<ClientLog>();
    auto client = xpc::ClientSocketConnection::make(FileDescriptor(pair[0]), "tech.morvane.veltro");
    client->setExportedObject(log);
    client->setErrorHandler([log](std::string method, std::string message) {
        log->add("error " + method + ": " + message);
    });
    client->setInvalidationHandler([log](std::string reason) { log->add("ended: " + reason); });
    std::string said = encodeNotification("error", "write", "write: data must be a bin.") +
                       encodeNotification("later", std::int64_t{1}) +
                       encodeNotification("exited", shellID, std::int32_t{0}) +
                       encodeNotification("closing", "The first message must be identify.");
    ASSERT_EQ(::write(agent.get(), said.data(), said.size()), ssize_t(said.size()));
    // Gone before the client could even say who it is: what it said is still read.
    agent.reset();
    client->resume();
    EXPECT_TRUE(eventually([&] { return log->events().size() == 3; }));
    EXPECT_EQ(log->events(), (std::vector<std::string>{
                                 "error write: write: data must be a bin.",
                                 "exited " + shellID.string() + " 0",
                                 "ended: The first message must be identify.",
                             }));
}
