#pragma once

#include "app/Alert.hpp"
#include "app/ServiceManagement.hpp"
#include "protocol/PeerRequirement.hpp"

#include <ostream>

namespace veltro {

// The pass the program makes when it is started neither by the launch service nor with
// "--agent": it registers its launch service (team-signed builds only), prints one status line
// on `output`, tells the person through `alert` what is left to do, and answers the exit
// status, which is 0 on every path.
int runInstallMode(const PeerRequirement::Signer& signer, ServiceManagement& service, Alert& alert,
                   std::ostream& output);

} // namespace veltro
