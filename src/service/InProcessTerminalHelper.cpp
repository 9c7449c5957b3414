#include "service/InProcessTerminalHelper.hpp"

#include "platform/EventLoop.hpp"

namespace veltro {

InProcessTerminalHelper::InProcessTerminalHelper(std::shared_ptr<ShellLauncher> launcher,
                                                 std::shared_ptr<HelperLifetime> lifetime)
    : delegate(std::make_shared<TerminalHelperListenerDelegate>(std::nullopt, std::move(launcher),
                                                                std::move(lifetime))) {
    EventLoop::shared().sync([this] {
        listener = ipc::Listener::anonymous();
        listener->setDelegate(delegate.get());
        listener->resume();
    });
}

InProcessTerminalHelper::~InProcessTerminalHelper() {
    stop();
}

ipc::Endpoint InProcessTerminalHelper::endpoint() const {
    return EventLoop::shared().sync([this] { return listener->endpoint(); });
}

// Waits for the loop, so the listener never reaches the delegate once this returns.
void InProcessTerminalHelper::stop() {
    EventLoop::shared().sync([this] {
        listener->stop();
        listener->setDelegate(nullptr);
    });
}

} // namespace veltro
