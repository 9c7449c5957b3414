#pragma once

#include "platform/FileDescriptor.hpp"

#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

namespace veltro::ipc {

// Who is at the other end of a Unix socket, as the kernel saw it at connect.
struct PeerCredentials {
    pid_t pid = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    // A pidfd of the peer, where the kernel offers SO_PEERPIDFD; it tells whether `pid` still
    // names the same process.
    FileDescriptor pidfd;

    static std::optional<PeerCredentials> of(int socket);
};

// The identifier a peer is judged by: its Flatpak application id when it runs in a Flatpak
// sandbox, where it cannot claim another, and otherwise the one it declared.
struct PeerIdentity {
    std::optional<std::string> identifier;
    // Why no identifier could be trusted, when `identifier` is empty.
    std::string problem;

    // `procFolder` is where the processes' folders are ("/proc"); tests pass a folder of their
    // own. `pidfd` may be -1 when the kernel offered none.
    static PeerIdentity of(const std::string& declared, pid_t pid, int pidfd,
                           const std::string& procFolder = "/proc");
};

// The `name` of the `[Application]` group of a .flatpak-info key file, or nothing when the text
// has no such non-empty key.
std::optional<std::string> flatpakApplicationID(std::string_view keyFile);

} // namespace veltro::ipc
