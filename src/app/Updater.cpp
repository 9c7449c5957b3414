#include "app/Updater.hpp"

namespace veltro {

namespace {

class UnavailableUpdater : public Updater {
public:
    Expected<void> start() override {
        return unexpected(std::string("no software-update framework is available on Linux; the "
                                      "package manager updates the helper"));
    }
};

} // namespace

std::unique_ptr<Updater> makePlatformUpdater(UpdaterDelegate&) {
    return std::make_unique<UnavailableUpdater>();
}

} // namespace veltro
