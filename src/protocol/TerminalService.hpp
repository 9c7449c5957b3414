#pragma once

#include "protocol/Bytes.hpp"

#include <sys/types.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

// The names under which the agent and its clients find each other. Everything follows from one
// decision, release or development, taken from the bundle identifier fixed at build time.
namespace veltro::TerminalService {

constexpr std::string_view releaseVeltroBundleID = "tech.morvane.veltro";
constexpr std::string_view developmentVeltroBundleID = "tech.morvane.veltro.dev";
constexpr std::string_view teamID = "KQ7310ZV4M";
constexpr std::int64_t protocolVersion = 2;

// The client's bundle identifier for a main bundle identifier, with or without the
// ".terminal-helper" suffix: the development identifier when it names the development build,
// the release identifier for anything else.
std::string deriveVeltroBundleID(std::string_view buildIdentifier);

// The identifier this program was built with.
const std::string& buildIdentifier();
// deriveVeltroBundleID(buildIdentifier()), computed once.
const std::string& veltroBundleID();
bool isDevelopment();
std::string socketName();
std::string agentLabel();
std::string helperBundleID();
// The requirement the agent itself meets, computed once from this process's signer.
const std::string& helperRequirement();
const std::string& downloadURL();

// The same names for any client bundle identifier.
bool isDevelopment(std::string_view veltroBundleID);
std::string socketName(std::string_view veltroBundleID);
std::string agentLabel(std::string_view veltroBundleID);
std::string helperBundleID(std::string_view veltroBundleID);

// A runtime folder that must not hold the agent's socket. The text names the folder and why.
class RuntimeFolderError : public std::runtime_error {
public:
    RuntimeFolderError(std::string folder, std::string reason);

    const std::string& folder() const { return folder_; }
    const std::string& reason() const { return reason_; }

private:
    std::string folder_;
    std::string reason_;
};

// Throws RuntimeFolderError unless `path` is a real folder (not a symbolic link) owned by `uid`
// and closed to group and others.
void checkRuntimeFolder(const std::string& path, uid_t uid);

// $XDG_RUNTIME_DIR when it is an absolute path; otherwise `temporaryRoot`/tech.morvane.veltro-UID,
// created with mode 0700 if missing. Checked before it is returned.
std::string runtimeFolder(const Environment& environment, uid_t uid,
                          const std::string& temporaryRoot = "/tmp");
// The runtime folder of this process's user.
std::string runtimeFolder();

// Where the agent listens: the runtime folder joined with socketName().
std::string socketPath();

} // namespace veltro::TerminalService
