#include "protocol/PeerRequirement.hpp"
#include "protocol/TerminalService.hpp"
#include "support/TemporaryFolder.hpp"

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
    for (bool development : {false, true}) {
        std::string_view id = development ? developmentVeltroBundleID : releaseVeltroBundleID;
        std::string label = development ? "tech.morvane.veltro.dev.terminal-helper"
                                        : "tech.morvane.veltro.terminal-helper";
        EXPECT_EQ(isDevelopment(id), development);
        EXPECT_EQ(machServiceName(id), "KQ7310ZV4M." + label);
        EXPECT_EQ(agentLabel(id), label);
        EXPECT_EQ(helperBundleID(id), label);
        EXPECT_EQ(agentPlistName(id), label + ".plist");
    }
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

using TemporaryFolder = veltro::testing::TemporaryFolder;

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

TEST(TerminalService, RuntimeFolderIsAnAbsoluteRuntimeDirectoryOrElseAPrivateTemporaryOne) {
    TemporaryFolder temporary;
    EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", temporary.path()}}, ::getuid(), temporary / "x"),
              temporary.path());
    std::string expected = temporary / ("tech.morvane.veltro-" + std::to_string(::getuid()));
    // A restrictive umask must not leave the owner without access.
    mode_t previous = ::umask(0277);
    EXPECT_EQ(runtimeFolder({}, ::getuid(), temporary.path()), expected);
    ::umask(previous);
    EXPECT_EQ(modeOf(expected), 0700u);
    for (std::string value : {"", "relative/run", "run"})
        EXPECT_EQ(runtimeFolder({{"XDG_RUNTIME_DIR", value}}, ::getuid(), temporary.path()),
                  expected);
}

TEST(TerminalService, UnsafeRuntimeFoldersAreRefusedWithTheReasonAndNotRepaired) {
    TemporaryFolder temporary;
    const uid_t uid = ::getuid();
    std::string open = temporary / "open", safe = temporary / "safe", link = temporary / "link",
                file = temporary / "file", missing = temporary / "missing";
    std::string temporaryOne = temporary / ("tech.morvane.veltro-" + std::to_string(uid));
    fs::create_directory(open);
    fs::permissions(open, fs::perms::owner_all | fs::perms::group_read | fs::perms::others_exec);
    fs::create_directory(safe);
    fs::permissions(safe, fs::perms::owner_all);
    fs::create_directory_symlink(safe, link);
    std::ofstream(file) << "x";
    fs::create_directory(temporaryOne);
    fs::permissions(temporaryOne, fs::perms::owner_all | fs::perms::others_all);
    struct Case {
        std::function<void()> use;
        std::string folder;
        std::string reason;
    };
    std::vector<Case> cases = {
        {[&] { checkRuntimeFolder(open, uid); }, open, "0741"},
        {[&] { checkRuntimeFolder(link, uid); }, link, "symbolic link"},
        {[&] {
             runtimeFolder({{"XDG_RUNTIME_DIR", link}}, uid);
         },
         link, "symbolic link"},
        {[&] { checkRuntimeFolder(file, uid); }, file, "not a folder"},
        {[&] { checkRuntimeFolder(safe, uid + 1); }, safe, "owned by"},
        {[&] { checkRuntimeFolder(missing, uid); }, missing, ""},
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

TEST(TerminalService, SocketLivesInTheRuntimeFolderUnderTheServiceName) {
    TemporaryFolder temporary;
    const char* previous = std::getenv("XDG_RUNTIME_DIR");
    std::optional<std::string> saved =
        previous ? std::optional<std::string>(previous) : std::nullopt;
    ::setenv("XDG_RUNTIME_DIR", temporary.path().c_str(), 1);
    EXPECT_EQ(runtimeFolder(), temporary.path());
    EXPECT_EQ(socketPath(), temporary.path() + "/" + machServiceName());
    if (saved)
        ::setenv("XDG_RUNTIME_DIR", saved->c_str(), 1);
    else
        ::unsetenv("XDG_RUNTIME_DIR");
}

} // namespace
} // namespace veltro::TerminalService
