#pragma once

#include <map>
#include <string>

namespace veltro {

// The bundle's information dictionary, fixed when the agent is built: its identifier, its
// version and, only when the build names an update feed, "SUFeedURL".
using BuildInformation = std::map<std::string, std::string>;

const BuildInformation& buildInformation();

// The dictionary for a given identifier, version and feed (empty: no feed key at all).
BuildInformation makeBuildInformation(const std::string& identifier, const std::string& version,
                                      const std::string& feedURL);

} // namespace veltro
