#include "protocol/TerminalService.hpp"
#include "support/TemporaryFolder.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace veltro::TerminalService {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// Only an absolute runtime directory is taken; else a private folder of the user's is made in
// the temporary one. A folder that is not a folder of the user's own, closed to others, is
// refused and left as it was. The agent's end-to-end tests refuse one that others can enter.
TEST(TerminalService, RuntimeFolderIsASafeRuntimeDirectoryOrAPrivateTemporaryOneAndElseRefused) {
    veltro::testing::TemporaryFolder temporary;
    const uid_t uid = ::getuid();
    std::string safe = temporary / "safe", link = temporary / "link", file = temporary / "file",
                missing = temporary / "missing";
    std::string temporaryOne = temporary / ("tech.morvane.veltro-" + std::to_string(uid));
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", temporary.path()}}, uid, missing),
              temporary.path());
    // A restrictive umask must not leave the owner without access.
    mode_t previous = ::umask(0277);
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", "run"}}, uid, temporary.path()), temporaryOne);
    ::umask(previous);
    EXPECT_EQ(modeOf(temporaryOne), 0700u);
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", ""}}, uid, temporary.path()), temporaryOne);

    fs::create_directory(safe);
    fs::permissions(safe, fs::perms::owner_all);
    fs::create_directory_symlink(safe, link);
    std::ofstream(file) << "x";
    fs::permissions(temporaryOne, fs::perms::owner_all | fs::perms::others_all);
    EXPECT_THROW(runtimeFolder({{"XDG_RUNTIME_DIR", link}}, uid), RuntimeFolderError);
    EXPECT_THROW(checkRuntimeFolder(file, uid), RuntimeFolderError);
    EXPECT_THROW(checkRuntimeFolder(safe, uid + 1), RuntimeFolderError);
    EXPECT_THROW(runtimeFolder({}, uid, temporary.path()), RuntimeFolderError);
    EXPECT_EQ(modeOf(temporaryOne), 0707u);
    EXPECT_THROW(runtimeFolder({}, uid, missing), RuntimeFolderError);
    fs::remove(temporaryOne);
    fs::create_directory_symlink(safe, temporaryOne);
    EXPECT_THROW(runtimeFolder({}, uid, temporary.path()), RuntimeFolderError);
    checkRuntimeFolder(safe, uid);
}

} // namespace
} // namespace veltro::TerminalService
