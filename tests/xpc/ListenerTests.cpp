#include "xpc/XPCTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

using namespace veltro;
using namespace veltro::xpctest;

TEST(BindListeningSocket, SocketFileIsPrivateAndReplacedOnlyWhenNobodyListens) {
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    // A leftover of an agent that did not clean up: nothing listens on it.
    ASSERT_TRUE(xpc::bindListeningSocket(path));
    FileDescriptor socket = xpc::bindListeningSocket(path);
    ASSERT_TRUE(socket);
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_TRUE(S_ISSOCK(status.st_mode));
    EXPECT_EQ(status.st_mode & 0777, 0600u);

    EXPECT_FALSE(xpc::bindListeningSocket(path));
    EXPECT_TRUE(RawPeer(path).connected());

    std::string precious = folder / "precious";
    std::ofstream(precious) << "precious";
    EXPECT_THROW(xpc::bindListeningSocket(precious), xpc::ConnectionError);
    EXPECT_EQ(std::filesystem::file_size(precious), 8u);
}

TEST(Listener, InvalidatedListenerRemovesItsOwnSocketFileButNotAReplacement) {
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    auto listener = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
    listener->resume();
    listener->invalidate();
    EXPECT_FALSE(std::filesystem::exists(path));

    auto replaced = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
    std::filesystem::remove(path);
    FileDescriptor newcomer = xpc::bindListeningSocket(path);
    replaced.reset();
    EXPECT_TRUE(std::filesystem::exists(path));
}

TEST(Listener, InProcessEndpointConnectsOnlyWhileTheListenerListens) {
    auto listener = xpc::Listener::anonymous();
    TestDelegate delegate;
    listener->setDelegate(&delegate);
    auto early = xpc::connect(listener->endpoint(), "tech.morvane.veltro");
    listener->resume();
    early->resume();
    EXPECT_TRUE(eventually([&] { return delegate.accepted == 1; }));
    xpc::Endpoint endpoint = listener->endpoint();
    listener->invalidate();
    EXPECT_THROW(xpc::connect(endpoint, "tech.morvane.veltro"), xpc::ConnectionError);
    listener.reset();
    EXPECT_THROW(xpc::connect(endpoint, "tech.morvane.veltro"), xpc::ConnectionError);
    early->invalidate();
    delegate.endAll();
}

TEST(Listener, ConnectionRefusedByTheDelegateEnds) {
    struct Refusing : xpc::ListenerDelegate {
        bool shouldAcceptNewConnection(xpc::Listener&,
                                       const std::shared_ptr<xpc::AgentConnection>&) override {
            return false;
        }
    } refusing;
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    auto listener = xpc::Listener::listening(xpc::bindListeningSocket(path), path);
    listener->setDelegate(&refusing);
    listener->resume();
    RawPeer peer(path);
    peer.identify();
    EXPECT_TRUE(peer.closedByAgent());
    stopListener(listener);
}
