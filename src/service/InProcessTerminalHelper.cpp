#include "service/InProcessTerminalHelper.hpp"

namespace veltro {

InProcessTerminalHelper::InProcessTerminalHelper(std::shared_ptr<ShellLauncher> launcher,
                                                 std::shared_ptr<HelperLifetime> lifetime)
    : listener(xpc::Listener::anonymous()),
      delegate(std::make_shared<TerminalHelperListenerDelegate>(std::nullopt, std::move(launcher),
                                                                std::move(lifetime))) {
    listener->setDelegate(delegate.get());
    listener->resume();
}

InProcessTerminalHelper::~InProcessTerminalHelper() {
    invalidate();
}

xpc::Endpoint InProcessTerminalHelper::endpoint() const {
    return listener->endpoint();
}

void InProcessTerminalHelper::invalidate() {
    listener->invalidate();
}

} // namespace veltro
