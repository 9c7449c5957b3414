#include "ipc/PeerIdentity.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>

using namespace veltro;
using namespace veltro::ipc;
namespace fs = std::filesystem;

namespace {

FileDescriptor pidfdOf(pid_t pid) {
    return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

} // namespace

// A sandboxed peer cannot claim another application's identifier: it is known by the name in
// its .flatpak-info, and refused when that file is there but cannot be trusted.
TEST(PeerIdentity, SandboxedPeerIsKnownByItsFlatpakApplicationAndRefusedWhenItCannotBeRead) {
    auto info = [](std::string text) {
        return [text](const fs::path& root) { std::ofstream(root / ".flatpak-info") << text; };
    };
    struct Case {
        std::function<void(const fs::path& root)> prepare;
        std::optional<std::string> identifier;
    };
    const Case cases[] = {
        {[](const fs::path&) {}, "tech.morvane.veltro"},
        {info("[Instance]\nname=not.this\n\n[Application]\n# the app\nname = org.example.Terminal "
              "\nruntime=runtime/org.gnome.Platform\n"),
         "org.example.Terminal"},
        {info("[Application]\nruntime=x\n"), std::nullopt},
        {[](const fs::path& root) { fs::create_directory(root / ".flatpak-info"); }, std::nullopt},
        {[](const fs::path& root) {
             std::ofstream(root / "real") << "[Application]\nname=org.example.Linked\n";
             fs::create_symlink(root / "real", root / ".flatpak-info");
         },
         std::nullopt},
        {[](const fs::path& root) { fs::remove(root); }, std::nullopt},
    };
    const pid_t pid = ::getpid();
    FileDescriptor pidfd = pidfdOf(pid);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        SCOPED_TRACE(i);
        veltro::testing::TemporaryFolder proc;
        fs::path root = fs::path(proc.path()) / std::to_string(pid) / "root";
        fs::create_directories(root);
        cases[i].prepare(root);
        auto identity = PeerIdentity::of("tech.morvane.veltro", pid, pidfd.get(), proc.path());
        EXPECT_EQ(identity.identifier, cases[i].identifier);
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
    veltro::testing::TemporaryFolder proc;
    fs::create_directories(fs::path(proc.path()) / std::to_string(child) / "root");
    EXPECT_FALSE(
        PeerIdentity::of("tech.morvane.veltro", child, pidfd.get(), proc.path()).identifier);
}
