#include "ipc/ClientSocketConnection.hpp"
#include "ipc/ConnectionTestSupport.hpp"

#include <gtest/gtest.h>

using namespace veltro;
using namespace veltro::ipctest;

namespace {

// What reached the client on the loop: replies, handlers and the agent's notifications.
class ClientLog : public TerminalClientProtocol {
public:
    explicit ClientLog(EventLoop& loop) : loop(loop) {}

    void output(UUID, Bytes) override { add("output"); }
    void exited(UUID, std::int32_t status) override { add("exited " + std::to_string(status)); }
    void folderChanged(UUID, std::string) override { add("folderChanged"); }
    void add(std::string event) { events_.push_back(std::move(event)); }
    std::vector<std::string> events() {
        return loop.sync([this] { return events_; });
    }

    EventLoop& loop;

private:
    std::vector<std::string> events_;
};

} // namespace

TEST(ClientConnection, AgentsLastWordsAreReadAfterItHasGoneAndUnknownNotificationsAreIgnored) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    FileDescriptor agent(pair[1]);
    EventLoop loop;
    auto log = std::make_shared<ClientLog>(loop);
    auto client = ipc::ClientSocketConnection::make(loop.context(), FileDescriptor(pair[0]),
                                                    "tech.morvane.veltro");
    client->setHandler(log);
    client->setDisconnectHandler([log](std::string reason) { log->add("ended: " + reason); });
    std::string said = encodeNotification("later", std::int64_t{1}) +
                       encodeNotification("exited", UUID::random(), std::int32_t{-1}) +
                       encodeNotification("closing", "The first message must be identify.");
    ASSERT_EQ(::write(agent.get(), said.data(), said.size()), ssize_t(said.size()));
    // Gone before the client could even say who it is: what it said is still read.
    agent.reset();
    client->resume();
    EXPECT_TRUE(eventually([&] { return log->events().size() == 2; }));
    // Once ended, the handler does not run again.
    client->disconnect();
    EXPECT_EQ(log->events(), (std::vector<std::string>{
                                 "exited -1",
                                 "ended: The first message must be identify.",
                             }));
}
