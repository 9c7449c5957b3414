#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace veltro::TerminalService {
namespace {

namespace fs = std::filesystem;

TEST(TerminalService, BundleIdentifierDecidesBetweenDevelopmentAndRelease) {
    const std::pair<std::string_view, std::string_view> cases[] = {
        {"tech.morvane.veltro.dev.terminal-helper", developmentVeltroBundleID},
        {"tech.morvane.veltro.dev", developmentVeltroBundleID},
        {"tech.morvane.veltro.terminal-helper", releaseVeltroBundleID},
        {"tech.morvane.veltro", releaseVeltroBundleID},
        {"", releaseVeltroBundleID},
        {"com.example.other", releaseVeltroBundleID},
        {"tech.morvane.veltro.dev.terminal-helper.terminal-helper", releaseVeltroBundleID},
        {"TECH.MORVANE.VELTRO.DEV.TERMINAL-HELPER", releaseVeltroBundleID},
        {"tech.morvane.veltro.dev.terminal-helperx", releaseVeltroBundleID},
        {"tech.morvane.veltro.devterminal-helper", releaseVeltroBundleID},
        {".terminal-helper", releaseVeltroBundleID},
    };
    for (const auto& [identifier, expected] : cases)
        EXPECT_EQ(deriveVeltroBundleID(identifier), expected) << identifier;
}

TEST(TerminalService, NamesOfBothVariants) {
    EXPECT_FALSE(isDevelopment(releaseVeltroBundleID));
    EXPECT_EQ(machServiceName(releaseVeltroBundleID),
              "KQ7310ZV4M.tech.morvane.veltro.terminal-helper");
    EXPECT_EQ(agentLabel(releaseVeltroBundleID), "tech.morvane.veltro.terminal-helper");
    EXPECT_EQ(helperBundleID(releaseVeltroBundleID), "tech.morvane.veltro.terminal-helper");
    EXPECT_EQ(agentPlistName(releaseVeltroBundleID), "tech.morvane.veltro.terminal-helper.plist");

    EXPECT_TRUE(isDevelopment(developmentVeltroBundleID));
    EXPECT_EQ(machServiceName(developmentVeltroBundleID),
              "KQ7310ZV4M.tech.morvane.veltro.dev.terminal-helper");
    EXPECT_EQ(agentLabel(developmentVeltroBundleID), "tech.morvane.veltro.dev.terminal-helper");
    EXPECT_EQ(helperBundleID(developmentVeltroBundleID), "tech.morvane.veltro.dev.terminal-helper");
    EXPECT_EQ(agentPlistName(developmentVeltroBundleID),
              "tech.morvane.veltro.dev.terminal-helper.plist");
}

TEST(TerminalService, ConstantsAreTheSameInEveryVariant) {
    EXPECT_EQ(teamID, "KQ7310ZV4M");
    EXPECT_EQ(appGroup, "KQ7310ZV4M.tech.morvane.veltro");
    EXPECT_EQ(protocolVersion, 1);
    EXPECT_EQ(downloadURL(), "https://morvane.tech/terminal-helper/");
}

TEST(TerminalService, NamesOfThisBuildFollowItsBundleIdentifier) {
    EXPECT_EQ(mainBundleIdentifier(), VELTRO_BUNDLE_IDENTIFIER);
    EXPECT_EQ(veltroBundleID(), deriveVeltroBundleID(VELTRO_BUNDLE_IDENTIFIER));
    EXPECT_EQ(agentLabel(), mainBundleIdentifier());
    EXPECT_EQ(helperBundleID(), agentLabel());
    EXPECT_EQ(agentPlistName(), agentLabel() + ".plist");
    EXPECT_EQ(machServiceName(), "KQ7310ZV4M." + agentLabel());
    EXPECT_EQ(isDevelopment(), veltroBundleID() == developmentVeltroBundleID);
    EXPECT_EQ(&veltroBundleID(), &veltroBundleID());
}

TEST(TerminalService, HelperRequirementNamesTheHelperForThisProcessSigner) {
    EXPECT_EQ(helperRequirement(),
              PeerRequirement::requirement(PeerRequirement::signerOfThisProcess(), helperBundleID(),
                                           false));
    EXPECT_TRUE(PeerRequirement::isSatisfied(helperRequirement(), {helperBundleID()}));
    EXPECT_FALSE(PeerRequirement::isSatisfied(helperRequirement(), {veltroBundleID()}));
}

class TemporaryFolder {
public:
    TemporaryFolder() {
        std::string pattern = (fs::temp_directory_path() / "veltro-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TemporaryFolder() {
        std::error_code ignored;
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::add, ignored);
        fs::remove_all(path, ignored);
    }

    std::string operator/(std::string_view name) const { return (path / name).string(); }

    fs::path path;
};

mode_t modeOf(const std::string& path) {
    struct stat status {};
    EXPECT_EQ(::lstat(path.c_str(), &status), 0) << path;
    return status.st_mode & 07777;
}

// The reason the folder was refused, checking that the message names the folder.
std::string refusal(const std::function<void()>& use, const std::string& folder) {
    try {
        use();
    } catch (const RuntimeFolderError& error) {
        EXPECT_EQ(error.folder(), folder);
        EXPECT_NE(std::string(error.what()).find(folder), std::string::npos) << error.what();
        EXPECT_NE(std::string(error.what()).find(error.reason()), std::string::npos);
        return error.reason();
    }
    ADD_FAILURE() << folder << " was not refused";
    return {};
}

TEST(TerminalService, RuntimeFolderIsTheUsersRuntimeDirectoryWhenItIsSafe) {
    TemporaryFolder temporary;
    std::string runtime = temporary.path.string();
    ASSERT_EQ(modeOf(runtime), 0700u);
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", runtime}}, ::getuid(), temporary / "none"),
              runtime);
}

TEST(TerminalService, MissingTemporaryRuntimeFolderIsCreatedPrivate) {
    TemporaryFolder temporary;
    std::string expected = temporary / ("tech.morvane.veltro-" + std::to_string(::getuid()));
    // A restrictive umask must not leave the owner without access.
    mode_t previous = ::umask(0277);
    std::string folder = runtimeFolder({}, ::getuid(), temporary.path.string());
    ::umask(previous);
    EXPECT_EQ(folder, expected);
    EXPECT_EQ(modeOf(folder), 0700u);
    EXPECT_EQ(runtimeFolder({}, ::getuid(), temporary.path.string()), expected);
}

TEST(TerminalService, RuntimeDirectoryThatIsNotAbsoluteIsIgnored) {
    TemporaryFolder temporary;
    std::string expected = temporary / ("tech.morvane.veltro-" + std::to_string(::getuid()));
    for (std::string value : {"", "relative/run", "run"})
        EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", value}}, ::getuid(), temporary.path.string()),
                  expected);
}

TEST(TerminalService, UnsafeRuntimeFoldersAreRefusedWithTheReason) {
    TemporaryFolder temporary;
    const uid_t uid = ::getuid();

    std::string open = temporary / "open";
    fs::create_directory(open);
    fs::permissions(open, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec);
    EXPECT_NE(refusal([&] { checkRuntimeFolder(open, uid); }, open).find("0741"),
              std::string::npos);

    std::string safe = temporary / "safe";
    fs::create_directory(safe);
    fs::permissions(safe, fs::perms::owner_all);
    std::string link = temporary / "link";
    fs::create_directory_symlink(safe, link);
    EXPECT_NE(refusal([&] { checkRuntimeFolder(link, uid); }, link).find("symbolic link"),
              std::string::npos);
    EXPECT_NE(refusal(
                  [&] {
                      runtimeFolder({{"XDG_RUNTIME_DIR", link}}, uid);
                  },
                  link)
                  .find("symbolic link"),
              std::string::npos);

    std::string file = temporary / "file";
    std::ofstream(file) << "x";
    EXPECT_NE(refusal([&] { checkRuntimeFolder(file, uid); }, file).find("not a folder"),
              std::string::npos);

    EXPECT_NE(refusal([&] { checkRuntimeFolder(safe, uid + 1); }, safe).find("owned by"),
              std::string::npos);

    std::string missing = temporary / "missing";
    EXPECT_FALSE(refusal([&] { checkRuntimeFolder(missing, uid); }, missing).empty());
    checkRuntimeFolder(safe, uid);
}

TEST(TerminalService, UnsafeTemporaryRuntimeFolderIsRefusedNotRepaired) {
    TemporaryFolder temporary;
    std::string folder = temporary / ("tech.morvane.veltro-" + std::to_string(::getuid()));
    fs::create_directory(folder);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::others_all);
    refusal([&] { runtimeFolder({}, ::getuid(), temporary.path.string()); }, folder);
    EXPECT_EQ(modeOf(folder), 0707u);

    fs::remove(folder);
    fs::create_directory_symlink(temporary.path, folder);
    refusal([&] { runtimeFolder({}, ::getuid(), temporary.path.string()); }, folder);
}

TEST(TerminalService, TemporaryRuntimeFolderThatCannotBeCreatedIsRefused) {
    TemporaryFolder temporary;
    std::string root = temporary / "absent";
    std::string folder = root + "/tech.morvane.veltro-" + std::to_string(::getuid());
    refusal([&] { runtimeFolder({}, ::getuid(), root); }, folder);
}

TEST(TerminalService, SocketLivesInTheRuntimeFolderUnderTheServiceName) {
    TemporaryFolder temporary;
    const char* previous = std::getenv("XDG_RUNTIME_DIR");
    std::optional<std::string> saved =
        previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("XDG_RUNTIME_DIR", temporary.path.c_str(), 1);
    EXPECT_EQ(runtimeFolder(), temporary.path.string());
    EXPECT_EQ(socketPath(), temporary.path.string() + "/" + machServiceName());
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
} // namespace veltro::TerminalService
