#include "support/TemporaryFolder.hpp"
#include "xpc/PeerIdentity.hpp"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>

using namespace veltro;
using namespace veltro::xpc;

namespace {

// A process folder of its own, holding one process's root folder.
struct FakeProc {
    veltro::testing::TemporaryFolder folder;
    pid_t pid = ::getpid();
    std::filesystem::path root =
        std::filesystem::path(folder.path()) / std::to_string(pid) / "root";

    FakeProc() { std::filesystem::create_directories(root); }

    void writeInfo(const std::string& text) { std::ofstream(root / ".flatpak-info") << text; }
};

FileDescriptor pidfdOf(pid_t pid) {
    return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

} // namespace

TEST(PeerIdentity, SandboxedPeerIsKnownByItsFlatpakApplicationWhateverItDeclares) {
    FakeProc proc;
    proc.writeInfo("[Instance]\nname=not.this\n\n[Application]\n# the app\nname = "
                   "org.example.Terminal \nruntime=runtime/org.gnome.Platform\n");
    FileDescriptor pidfd = pidfdOf(proc.pid);
    auto identity =
        PeerIdentity::of("tech.morvane.veltro", proc.pid, pidfd.get(), proc.folder.path());
    EXPECT_EQ(identity.identifier, "org.example.Terminal");
}

TEST(PeerIdentity, PeerOnTheHostIsKnownByTheIdentifierItDeclares) {
    FakeProc proc;
    FileDescriptor pidfd = pidfdOf(proc.pid);
    auto identity =
        PeerIdentity::of("tech.morvane.veltro", proc.pid, pidfd.get(), proc.folder.path());
    EXPECT_EQ(identity.identifier, "tech.morvane.veltro");
    EXPECT_EQ(PeerIdentity::of("x", proc.pid, -1).identifier, "x");
}

TEST(PeerIdentity, FlatpakInfoThatCannotBeReadOrParsedRefusesThePeer) {
    std::vector<std::function<void(FakeProc&)>> damages = {
        [](FakeProc& proc) { proc.writeInfo("[Application]\nruntime=x\n"); },
        [](FakeProc& proc) { proc.writeInfo("[Application]\nname=\n"); },
        [](FakeProc& proc) { proc.writeInfo("name=org.example.Elsewhere\n"); },
        [](FakeProc& proc) { std::filesystem::create_directory(proc.root / ".flatpak-info"); },
        [](FakeProc& proc) {
            std::ofstream(proc.root / "real") << "[Application]\nname=org.example.Linked\n";
            std::filesystem::create_symlink(proc.root / "real", proc.root / ".flatpak-info");
        },
        [](FakeProc& proc) { std::filesystem::remove(proc.root); },
    };
    for (std::size_t i = 0; i < damages.size(); ++i) {
        SCOPED_TRACE(i);
        FakeProc proc;
        damages[i](proc);
        auto identity = PeerIdentity::of("tech.morvane.veltro", proc.pid, -1, proc.folder.path());
        EXPECT_FALSE(identity.identifier);
        EXPECT_FALSE(identity.problem.empty());
    }
}

TEST(PeerIdentity, PeerWhoseProcessIsGoneIsRefusedSoARecycledPidCannotStandIn) {
    pid_t child = ::fork();
    if (child == 0)
        ::_exit(0);
    FileDescriptor pidfd = pidfdOf(child);
    ASSERT_TRUE(pidfd);
    ::waitpid(child, nullptr, 0);
    // Another process may now hold the pid; it looks like a host process with a root folder.
    veltro::testing::TemporaryFolder folder;
    std::filesystem::create_directories(std::filesystem::path(folder.path()) /
                                        std::to_string(child) / "root");
    auto identity = PeerIdentity::of("tech.morvane.veltro", child, pidfd.get(), folder.path());
    EXPECT_FALSE(identity.identifier);
}

TEST(PeerCredentials, SocketPairPeerIsThisProcess) {
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    FileDescriptor a(pair[0]), b(pair[1]);
    auto credentials = PeerCredentials::of(a.get());
    ASSERT_TRUE(credentials);
    EXPECT_EQ(credentials->pid, ::getpid());
    EXPECT_EQ(credentials->uid, ::geteuid());
}
