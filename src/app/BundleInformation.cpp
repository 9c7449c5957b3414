#include "app/BundleInformation.hpp"

#include "protocol/TerminalService.hpp"

#ifndef VELTRO_FEED_URL
#error "VELTRO_FEED_URL must be defined (empty for a build without an update feed)"
#endif
#ifndef VELTRO_VERSION
#error "VELTRO_VERSION must name the version this program is built as"
#endif

namespace veltro {

BundleInformation makeBundleInformation(const std::string& identifier, const std::string& version,
                                        const std::string& feedURL) {
    BundleInformation information{
        {"CFBundleIdentifier", identifier},
        {"CFBundleShortVersionString", version},
        {"CFBundleVersion", version},
    };
    if (!feedURL.empty())
        information.emplace("SUFeedURL", feedURL);
    return information;
}

const BundleInformation& mainBundleInformation() {
    static const BundleInformation information = makeBundleInformation(
        TerminalService::mainBundleIdentifier(), VELTRO_VERSION, VELTRO_FEED_URL);
    return information;
}

} // namespace veltro
