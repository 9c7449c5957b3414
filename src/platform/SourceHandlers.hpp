#pragma once

// The event and cancel handlers of a source, with the rules every source shares: events run
// only before cancellation, the cancel handler runs once, and both are dropped after it.
// Private to src/platform.

#include <functional>
#include <memory>
#include <utility>

namespace veltro {

class SourceHandlers {
public:
    void setEvent(std::function<void()> handler) {
        if (!finished_)
            event_ = std::make_shared<const std::function<void()>>(std::move(handler));
    }

    void setCancel(std::function<void()> handler) {
        if (!finished_)
            cancel_ = std::move(handler);
    }

    // The handler may replace itself or cancel the source while it runs.
    void runEvent() const {
        auto handler = event_;
        if (handler && *handler)
            (*handler)();
    }

    // Runs the cancel handler once, then drops both handlers and whatever they hold.
    void runCancel() {
        if (finished_)
            return;
        finished_ = true;
        auto cancel = std::exchange(cancel_, nullptr);
        auto event = std::exchange(event_, nullptr);
        event.reset();
        if (cancel)
            cancel();
    }

    // Drops both handlers without running either: nobody is left to tell.
    void drop() {
        finished_ = true;
        auto cancel = std::exchange(cancel_, nullptr);
        auto event = std::exchange(event_, nullptr);
    }

private:
    std::shared_ptr<const std::function<void()>> event_;
    std::function<void()> cancel_;
    bool finished_ = false;
};

} // namespace veltro
