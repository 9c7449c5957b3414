#include "xpc/ClientSocketConnection.hpp"
#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::xpctest;

namespace {

const UUID shellID = *UUID::parse("0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0");

// What reached the client on the loop: replies, handlers and the agent's notifications.
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
    void add(std::string event) { events_.push_back(std::move(event)); }
    std::vector<std::string> events() {
        return loop().sync([this] { return events_; });
    }

private:
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
        listener->invalidate();
        delegate.endAll();
    }
};

} // namespace

TEST(ClientConnection, EveryMethodRoundTripsThroughASocketPair) {
    Pair pair;
    auto& client = *pair.client;
    auto log = pair.log;
    const std::string id = shellID.string();
    client.hello(-5, [log](std::int64_t version) { log->add(std::to_string(version)); });
    client.openShell(shellID, INT64_MIN, 24, "/ü", "/bin/zsh", {{"A", "1"}, {"B", ""}},
                     [log](std::int32_t pid, std::optional<std::string> error) {
                         log->add(std::to_string(pid) + error.value_or(" no error"));
                     });
    client.write(shellID, Bytes{'l', 's', '\r'});
    client.write(shellID, Bytes{});
    client.resize(shellID, 0, -1);
    client.currentFolder(
        shellID, [log](std::optional<std::string> folder) { log->add(folder.value_or("nil")); });
    client.isBusy(shellID, [log](bool busy, std::optional<std::string> name) {
        log->add(std::to_string(busy) + " " + name.value_or("nil"));
    });
    client.close(shellID);
    std::vector<std::string> atAgent = {"hello -5",
                                        "openShell " + id +
                                            " -9223372036854775808x24 /ü /bin/zsh A=1 B=",
                                        "write " + id + " ls\r",
                                        "write " + id + " ",
                                        "resize " + id + " 0x-1",
                                        "currentFolder " + id,
                                        "isBusy " + id,
                                        "close " + id};
    EXPECT_TRUE(eventually([&] { return pair.delegate.helper->calls() == atAgent; }));
    std::vector<std::string> replies = {"1", "4242 no error", "/tmp/folder", "1 vim"};
    EXPECT_TRUE(eventually([&] { return log->events() == replies; }));

    auto agent = pair.delegate.connection();
    static const Bytes data{'o', 'u', 't'};
    loop().sync([&] {
        agent->output(shellID, data, [] {});
        agent->exited(shellID, INT32_MIN);
        agent->folderChanged(shellID, "/Ünïcode");
    });
    replies.insert(replies.end(), {"output " + id + " out", "exited " + id + " -2147483648",
                                   "folderChanged " + id + " /Ünïcode"});
    EXPECT_TRUE(eventually([&] { return log->events() == replies; }));
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
    // Once ended, the handler does not run again and no reply is ever called.
    client->hello(1, [log](std::int64_t) { log->add("replied"); });
    client->invalidate();
    EXPECT_EQ(log->events(), (std::vector<std::string>{
                                 "error write: write: data must be a bin.",
                                 "exited " + shellID.string() + " 0",
                                 "ended: The first message must be identify.",
                             }));
}
