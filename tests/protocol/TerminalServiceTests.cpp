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

using TemporaryFolder = veltro::testing::TemporaryFolder;

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// The reason the folder was refused, checking that the refusal names the folder.
std::string refusal(const std::function<void()>& use, const std::string& folder) {
    try {
        use();
    } catch (const RuntimeFolderError& error) {
        EXPECT_EQ(error.folder(), folder);
        return error.reason();
    }
    ADD_FAILURE() << folder << " was not refused";
    return {};
}

// Only an absolute runtime directory is taken; else a private folder of the user's is made in
// the temporary one. A folder others could enter, or that is not the user's own, is refused and
// left as it was.
TEST(TerminalService, RuntimeFolderIsASafeRuntimeDirectoryOrAPrivateTemporaryOneAndElseRefused) {
    TemporaryFolder temporary;
    const uid_t uid = ::getuid();
    std::string open = temporary / "open", safe = temporary / "safe", link = temporary / "link",
                file = temporary / "file", missing = temporary / "missing";
    std::string temporaryOne = temporary / ("tech.morvane.veltro-" + std::to_string(uid));
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", temporary.path()}}, uid, missing),
              temporary.path());
    // A restrictive umask must not leave the owner without access.
    mode_t previous = ::umask(0277);
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", "run"}}, uid, temporary.path()), temporaryOne);
    ::umask(previous);
    EXPECT_EQ(modeOf(temporaryOne), 0700u);
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", ""}}, uid, temporary.path()), temporaryOne);
    fs::create_directory(open);
    fs::permissions(open, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec);
    fs::create_directory(safe);
    fs::permissions(safe, fs::perms::owner_all);
    fs::create_directory_symlink(safe, link);
    std::ofstream(file) << "x";
    fs::permissions(temporaryOne, fs::perms::owner_all | fs::perms::others_all);
    struct Case {
        std::function<void()> use;
        std::string folder;
        std::string reason;
    };
    std::vector<Case> cases = {
        {[&] { checkRuntimeFolder(open, uid); }, open, "0741"},
        {[&] {
             runtimeFolder({{"XDG_RUNTIME_DIR", link}}, uid);
         },
         link, "symbolic link"},
        {[&] { checkRuntimeFolder(file, uid); }, file, "not a folder"},
        {[&] { checkRuntimeFolder(safe, uid + 1); }, safe, "owned by"},
        {[&] { runtimeFolder({}, uid, temporary.path()); }, temporaryOne, "0707"},
        {[&] { runtimeFolder({}, uid, missing); },
         missing + "/tech.morvane.veltro-" + std::to_string(uid), ""},
    };
    for (const auto& c : cases)
        EXPECT_NE(refusal(c.use, c.folder).find(c.reason), std::string::npos) << c.folder;
    EXPECT_EQ(modeOf(temporaryOne), 0707u);
    fs::remove(temporaryOne);
    fs::create_directory_symlink(safe, temporaryOne);
    refusal([&] { runtimeFolder({}, uid, temporary.path()); }, temporaryOne);
    checkRuntimeFolder(safe, uid);
}

} // namespace
} // namespace veltro::TerminalService
