#include "platform/EventLoop.hpp"

#include <pthread.h>

#include <exception>

namespace veltro {

EventLoop::EventLoop()
    : guard_(context_.get_executor()), stoppedFuture_(stopped_.get_future().share()),
      thread_([this] { run(); }) {
    // Named for ps, top and debuggers; the kernel keeps 15 bytes.
    asio::post(worker_, [] { (void)::pthread_setname_np(::pthread_self(), "veltro-worker"); });
}

EventLoop::~EventLoop() {
    stop();
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id())
        thread_.join();
    else if (thread_.joinable())
        thread_.detach();
    worker_.join();
}

void EventLoop::run() {
    // Only for ps, top and debuggers, and it fails only for a name over 15 bytes.
    (void)::pthread_setname_np(::pthread_self(), "veltro-loop");
    // A handler that throws has broken an invariant of the program: say so before stopping.
    try {
        context_.run();
    } catch (const std::exception& error) {
        stopProgram(std::string("uncaught exception on the event loop: ") + error.what());
    } catch (...) {
        stopProgram("uncaught exception on the event loop");
    }
    stop();
}

void EventLoop::assertRunning(const char* operation) const {
    if (context_.stopped())
        stopProgram(std::string(operation) +
                    " after the event loop has stopped would wait forever");
}

void EventLoop::stop() {
    std::call_once(stopOnce_, [this] {
        context_.stop();
        stopped_.set_value();
    });
}

void EventLoop::waitUntilStopped() {
    stoppedFuture_.wait();
}

} // namespace veltro
