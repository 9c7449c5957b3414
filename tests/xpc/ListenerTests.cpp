#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>
#include <thread>

using namespace veltro;
using namespace veltro::xpctest;

namespace {

// Leaves a socket file behind with nothing listening on it, as a crashed agent would.
void leaveStaleSocket(const std::string& path) {
    FileDescriptor socket = xpc::bindListeningSocket(path);
    ASSERT_TRUE(socket);
}

} // namespace

TEST(BindListeningSocket, SocketFileIsPrivateToTheUser) {
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    FileDescriptor socket = xpc::bindListeningSocket(path);
    ASSERT_TRUE(socket);
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);
}

TEST(BindListeningSocket, LeftoverSocketNobodyListensOnIsReplaced) {
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    leaveStaleSocket(path);
    FileDescriptor socket = xpc::bindListeningSocket(path);
    EXPECT_TRUE(socket);
    RawPeer peer(path);
    EXPECT_TRUE(peer.connected());
}

TEST(BindListeningSocket, AnotherListeningAgentIsLeftAloneAndNoDescriptorIsGiven) {
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    FileDescriptor first = xpc::bindListeningSocket(path);
    ASSERT_TRUE(first);
    FileDescriptor second = xpc::bindListeningSocket(path);
    EXPECT_FALSE(second);
    RawPeer peer(path);
    EXPECT_TRUE(peer.connected());
}

TEST(BindListeningSocket, FileThatIsNotASocketIsNeverReplaced) {
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    std::ofstream(path) << "precious";
    EXPECT_THROW(xpc::bindListeningSocket(path), xpc::ConnectionError);
    std::ifstream file(path);
    std::string text;
    file >> text;
    EXPECT_EQ(text, "precious");
}

TEST(Listener, InvalidatedListenerRemovesItsOwnSocketFileButNotAReplacement) {
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    auto listener = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
    listener->resume();
    listener->invalidate();
    for (int i = 0; i < 500 && std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(std::filesystem::exists(path));

    auto replaced = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
    std::filesystem::remove(path);
    FileDescriptor newcomer = xpc::bindListeningSocket(path);
    replaced.reset();
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(Listener, InvalidatedListenerAcceptsNoFurtherConnections) {
    auto listener = xpc::Listener::anonymous();
    TestDelegate delegate;
    listener->setDelegate(&delegate);
    listener->resume();
    auto first = xpc::Connection::connect(listener->endpoint(), "tech.morvane.veltro");
    first->resume();
    ASSERT_TRUE(delegate.accepted.wait());
    listener->invalidate();
    EXPECT_THROW(xpc::Connection::connect(listener->endpoint(), "tech.morvane.veltro"),
                 xpc::ConnectionError);
    endConnection(first);
    stopListener(listener);
    delegate.endAll();
}

TEST(Listener, EndpointOfAGoneListenerCannotConnect) {
    auto listener = xpc::Listener::anonymous();
    xpc::Endpoint endpoint = listener->endpoint();
    listener.reset();
    EXPECT_THROW(xpc::Connection::connect(endpoint, "tech.morvane.veltro"), xpc::ConnectionError);
}

TEST(Listener, ConnectionRefusedByTheDelegateEnds) {
    struct Refusing : xpc::ListenerDelegate {
        bool shouldAcceptNewConnection(xpc::Listener&,
                                       const std::shared_ptr<xpc::Connection>&) override {
            return false;
        }
    } refusing;
    TemporaryFolder folder;
    std::string path = folder.path() + "/agent.socket";
    auto listener = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
    listener->setDelegate(&refusing);
    listener->resume();
    RawPeer peer(path);
    peer.identify();
    EXPECT_TRUE(peer.closedByAgent());
    stopListener(listener);
}
