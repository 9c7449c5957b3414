#include "ipc/ConnectionTestSupport.hpp"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

using namespace veltro;
using namespace veltro::ipctest;

TEST(Listener, SocketFileIsPrivateReplacedOnlyWhenNobodyListensAndRemovedOnlyByItsOwner) {
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    // A leftover of an agent that did not clean up: nothing listens on it.
    ASSERT_TRUE(ipc::bindListeningSocket(path));
    EventLoop loop;
    auto listener = ipc::Listener::listening(loop, ipc::bindListeningSocket(path), path);
    struct stat status {};
    ASSERT_EQ(::lstat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_FALSE(ipc::bindListeningSocket(path));
    listener->stop();
    EXPECT_FALSE(std::filesystem::exists(path));

    // Another agent's socket now at the path is not the listener's to remove.
    auto replaced = ipc::Listener::listening(loop, ipc::bindListeningSocket(path), path);
    std::filesystem::remove(path);
    FileDescriptor newcomer = ipc::bindListeningSocket(path);
    replaced.reset();
    EXPECT_TRUE(std::filesystem::exists(path));

    std::string precious = folder / "precious";
    std::ofstream(precious) << "precious";
    EXPECT_THROW(ipc::bindListeningSocket(precious), ipc::ConnectionError);
    EXPECT_EQ(std::filesystem::file_size(precious), 8u);
}

TEST(Listener, ConnectionPastSixtyFourAwaitingIdentifyIsClosedAtOnce) {
    SocketAgent agent;
    std::vector<std::unique_ptr<RawPeer>> silent;
    for (int i = 0; i < 64; ++i)
        silent.push_back(std::make_unique<RawPeer>(agent.path));
    ASSERT_TRUE(eventually([&] { return agent.delegate.accepted == 64; }));
    RawPeer past(agent.path);
    EXPECT_FALSE(past.receive());
    EXPECT_TRUE(past.closed());
    EXPECT_EQ(agent.delegate.accepted, 64);
    for (auto& peer : silent) {
        pollfd entry{peer->fd(), POLLIN, 0};
        EXPECT_EQ(::poll(&entry, 1, 0), 0);
    }
    // One that identifies itself makes room for the next.
    EXPECT_TRUE(silent.front()->greet());
    RawPeer next(agent.path);
    EXPECT_TRUE(eventually([&] { return agent.delegate.accepted == 65; }));
}

namespace {

// Names the socket of the starved agent that the test below runs as a child of itself.
constexpr const char* starvedAgentVariable = "VELTRO_TEST_STARVED_AGENT";
constexpr rlim_t starvedLimit = 32;

[[noreturn]] void runStarvedAgent(const std::string& path) {
    EventLoop loop;
    TestDelegate delegate(loop);
    auto listener = ipc::Listener::listening(loop, ipc::bindListeningSocket(path), path);
    listener->setDelegate(&delegate);
    listener->resume();
    // One whole connection while descriptors are free: the undefined-behaviour sanitizer needs a
    // pipe to check a virtual call the first time, and takes a failure to make one for a fault.
    RawPeer(path).greet();
    eventually([&] { return delegate.ended == 1; });
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = starvedLimit;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    // Serves, once it has told the test that it is short of descriptors, until the test closes
    // its end of standard input.
    char byte = 'r';
    ::write(0, &byte, 1);
    while (::read(0, &byte, 1) > 0) {
    }
    ::_exit(0);
}

} // namespace

TEST(Listener, FloodOfSilentConnectionsWithFewDescriptorsLeftLeavesTheAgentServing) {
    if (const char* path = std::getenv(starvedAgentVariable))
        runStarvedAgent(path);
    TemporaryFolder folder;
    std::string path = folder / "agent.socket";
    // Everything the child needs is made before the fork: the test has other threads.
    std::string self = std::filesystem::read_symlink("/proc/self/exe");
    std::string filter = "--gtest_filter=Listener.FloodOfSilentConnections*";
    std::string variable = std::string(starvedAgentVariable) + "=" + path;
    std::vector<char*> arguments{self.data(), filter.data(), nullptr};
    std::vector<char*> environment{variable.data()};
    for (char** entry = environ; *entry != nullptr; ++entry)
        environment.push_back(*entry);
    environment.push_back(nullptr);
    int control[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, control), 0);
    FileDescriptor keepServing(control[1]);
    pid_t child = ::fork();
    if (child == 0) {
        ::dup2(control[0], 0);
        ::execve(self.c_str(), arguments.data(), environment.data());
        ::_exit(127);
    }
    ::close(control[0]);
    // Flooded before its limit is set, the agent would hold every connection until it timed out.
    char ready = 0;
    ASSERT_EQ(::read(keepServing.get(), &ready, 1), 1);

    constexpr int floodSize = 200;
    std::vector<std::unique_ptr<RawPeer>> flood;
    for (int i = 0; i < floodSize; ++i)
        flood.push_back(std::make_unique<RawPeer>(path));
    auto refused = [&] {
        return std::count_if(flood.begin(), flood.end(), [](auto& peer) {
            pollfd entry{peer->fd(), POLLIN, 0};
            return ::poll(&entry, 1, 0) == 1;
        });
    };
    // The agent cannot hold more connections than it has descriptors; the others are closed.
    EXPECT_TRUE(eventually([&] { return refused() >= floodSize - int(starvedLimit); }));
    flood.clear();
    EXPECT_TRUE(eventually([&] { return RawPeer(path).greet(); }));
    keepServing.reset();
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}
