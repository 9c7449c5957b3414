#include "service/InProcessTerminalHelper.hpp"

#include "platform/EventLoop.hpp"

namespace veltro {

InProcessTerminalHelper::InProcessTerminalHelper(EventLoop& loop,
                                                 std::shared_ptr<ShellLauncher> launcher,
                                                 std::shared_ptr<HelperLifetime> lifetime)
    : loop(loop), delegate(std::make_shared<TerminalHelperListenerDelegate>(
                      std::nullopt, std::move(launcher), lifetime,
                      std::make_shared<KeptShells>(loop.executor(), lifetime))) {
    loop.sync([this] {
        listener = ipc::Listener::anonymous(this->loop);
        listener->setDelegate(delegate.get());
        listener->resume();
    });
}

InProcessTerminalHelper::~InProcessTerminalHelper() {
    stop();
}

ipc::Endpoint InProcessTerminalHelper::endpoint() const {
    return loop.sync([this] { return listener->endpoint(); });
}

// Waits for the loop, so the listener never reaches the delegate once this returns.
void InProcessTerminalHelper::stop() {
    loop.sync([this] {
        listener->stop();
        listener->setDelegate(nullptr);
    });
}

} // namespace veltro
