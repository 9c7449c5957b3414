#include "app/BuildInformation.hpp"

#include "protocol/TerminalService.hpp"

#ifndef VELTRO_FEED_URL
#error "VELTRO_FEED_URL must be defined (empty for a build without an update feed)"
#endif
#ifndef VELTRO_VERSION
#error "VELTRO_VERSION must name the version this program is built as"
#endif

namespace veltro {

BuildInformation makeBuildInformation(const std::string& identifier, const std::string& version,
                                      const std::string& feedURL) {
    BuildInformation information{
        {"CFBundleIdentifier", identifier},
        {"CFBundleShortVersionString", version},
        {"CFBundleVersion", version},
    };
    if (!feedURL.empty())
        information.emplace("SUFeedURL", feedURL);
    return information;
}

const BuildInformation& buildInformation() {
    static const BuildInformation information =
        makeBuildInformation(TerminalService::buildIdentifier(), VELTRO_VERSION, VELTRO_FEED_URL);
    return information;
}

} // namespace veltro
