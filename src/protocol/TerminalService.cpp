#include "protocol/TerminalService.hpp"

#include "platform/StopProgram.hpp"
#include "protocol/PeerRequirement.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef VELTRO_BUNDLE_IDENTIFIER
#error "VELTRO_BUNDLE_IDENTIFIER must name the bundle identifier this program is built with"
#endif

namespace veltro::TerminalService {

namespace {

constexpr std::string_view helperSuffix = ".terminal-helper";
constexpr std::string_view downloadURLText = "https://morvane.tech/terminal-helper/";

// Only the scheme and the path are fixed; a constant that is not such a URL is a programming
// error.
bool isDownloadURL(std::string_view text) {
    constexpr std::string_view scheme = "https://";
    constexpr std::string_view path = "/terminal-helper/";
    if (!text.starts_with(scheme) || !text.ends_with(path))
        return false;
    std::string_view host = text.substr(scheme.size(), text.size() - scheme.size() - path.size());
    return !host.empty() && host.find_first_of("/?#@ ") == std::string_view::npos;
}

std::string describeMode(mode_t mode) {
    char text[8];
    std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
    return text;
}

} // namespace

std::string deriveVeltroBundleID(std::string_view buildIdentifier) {
    std::string_view identifier = buildIdentifier;
    if (identifier.ends_with(helperSuffix))
        identifier.remove_suffix(helperSuffix.size());
    if (identifier == developmentVeltroBundleID)
        return std::string(developmentVeltroBundleID);
    return std::string(releaseVeltroBundleID);
}

const std::string& buildIdentifier() {
    static const std::string identifier = VELTRO_BUNDLE_IDENTIFIER;
    return identifier;
}

const std::string& veltroBundleID() {
    static const std::string identifier = deriveVeltroBundleID(buildIdentifier());
    return identifier;
}

bool isDevelopment(std::string_view veltroBundleID) {
    return veltroBundleID == developmentVeltroBundleID;
}

std::string socketName(std::string_view veltroBundleID) {
    return std::string(teamID) + "." + std::string(veltroBundleID) + std::string(helperSuffix);
}

std::string agentLabel(std::string_view veltroBundleID) {
    return std::string(veltroBundleID) + std::string(helperSuffix);
}

std::string helperBundleID(std::string_view veltroBundleID) {
    return agentLabel(veltroBundleID);
}

bool isDevelopment() {
    return isDevelopment(veltroBundleID());
}
std::string socketName() {
    return socketName(veltroBundleID());
}
std::string agentLabel() {
    return agentLabel(veltroBundleID());
}
std::string helperBundleID() {
    return helperBundleID(veltroBundleID());
}

const std::string& helperRequirement() {
    static const std::string text = PeerRequirement::requirement(
        PeerRequirement::signerOfThisProcess(), helperBundleID(), false);
    return text;
}

const std::string& downloadURL() {
    static const std::string url = [] {
        if (!isDownloadURL(downloadURLText))
            stopProgram("the built-in download URL is not an https URL of the helper\u2019s page");
        return std::string(downloadURLText);
    }();
    return url;
}

RuntimeFolderError::RuntimeFolderError(std::string folder, std::string reason)
    : std::runtime_error("The runtime folder " + folder + " can’t be used: " + reason),
      folder_(std::move(folder)), reason_(std::move(reason)) {}

void checkRuntimeFolder(const std::string& path, uid_t uid) {
    // lstat, not stat: a symbolic link could point anyone's socket at a folder of their choice.
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0)
        throw RuntimeFolderError(path, std::strerror(errno));
    if (S_ISLNK(status.st_mode))
        throw RuntimeFolderError(path, "it is a symbolic link");
    if (!S_ISDIR(status.st_mode))
        throw RuntimeFolderError(path, "it is not a folder");
    if (status.st_uid != uid)
        throw RuntimeFolderError(path, "it is owned by user " + std::to_string(status.st_uid) +
                                           ", not by user " + std::to_string(uid));
    if ((status.st_mode & 077) != 0)
        throw RuntimeFolderError(path, "group or others may access it (mode " +
                                           describeMode(status.st_mode) + ")");
}

std::string runtimeFolder(const Environment& environment, uid_t uid,
                          const std::string& temporaryRoot) {
    auto runtime = environment.find("XDG_RUNTIME_DIR");
    if (runtime != environment.end() && runtime->second.starts_with('/')) {
        checkRuntimeFolder(runtime->second, uid);
        return runtime->second;
    }
    std::string folder = temporaryRoot + "/tech.morvane.veltro-" + std::to_string(uid);
    if (::mkdir(folder.c_str(), 0700) == 0) {
        // The umask may have taken bits away; the owner needs all three.
        if (::chmod(folder.c_str(), 0700) != 0)
            throw RuntimeFolderError(folder, std::strerror(errno));
    } else if (errno != EEXIST) {
        throw RuntimeFolderError(folder, std::strerror(errno));
    }
    checkRuntimeFolder(folder, uid);
    return folder;
}

std::string runtimeFolder() {
    Environment environment;
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"))
        environment["XDG_RUNTIME_DIR"] = runtime;
    return runtimeFolder(environment, ::getuid());
}

std::string socketPath() {
    return runtimeFolder() + "/" + socketName();
}

} // namespace veltro::TerminalService
