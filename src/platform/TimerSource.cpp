// GCC 12 warns under ThreadSanitizer that it does not model the atomic fences inside Asio,
// which -Werror would turn into a failed build; Asio's shared state is guarded by mutexes,
// which ThreadSanitizer does model. The pragma comes first so that it covers every header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "platform/TimerSource.hpp"

#include "platform/AsioSupport.hpp"
#include "platform/SourceHandlers.hpp"

#include <asio/steady_timer.hpp>

#include <optional>

namespace veltro {

// Lives on the timer's queue; a pending wait holds a strong reference, so the state outlives
// the TimerSource object for as long as Asio still has to report to it.
struct TimerSource::Impl : std::enable_shared_from_this<TimerSource::Impl> {
    explicit Impl(SerialQueue queue) : queue(std::move(queue)), timer(this->queue.impl()->strand) {}

    void activate() {
        queue.assertCurrent("TimerSource::activate");
        if (activated || cancelled)
            return;
        activated = true;
        arm();
    }

    void schedule(std::chrono::steady_clock::time_point newDeadline) {
        queue.assertCurrent("TimerSource::schedule");
        if (cancelled)
            return;
        deadline = newDeadline;
        ++generation;
        arm();
    }

    void cancel() {
        queue.assertCurrent("TimerSource::cancel");
        if (cancelled)
            return;
        cancelled = true;
        deadline.reset();
        if (pendingWaits > 0) {
            timer.cancel();
            return;
        }
        queue.impl()->post([self = shared_from_this()] { self->handlers.runCancel(); });
    }

    // Replaces any wait in progress: expires_at() aborts it, and a wait that had already
    // completed is recognised as stale by its generation.
    void arm() {
        if (!activated || cancelled || !deadline)
            return;
        timer.expires_at(*deadline);
        ++pendingWaits;
        timer.async_wait([self = shared_from_this(), armed = generation](
                             const asio::error_code& error) { self->waitFinished(error, armed); });
    }

    void waitFinished(const asio::error_code& error, unsigned armed) {
        --pendingWaits;
        if (cancelled) {
            if (pendingWaits == 0)
                handlers.runCancel();
            return;
        }
        if (error || armed != generation || !deadline)
            return;
        deadline.reset();
        handlers.runEvent();
    }

    SerialQueue queue;
    SourceHandlers handlers;
    asio::steady_timer timer;
    std::optional<std::chrono::steady_clock::time_point> deadline;
    unsigned generation = 0;
    unsigned pendingWaits = 0;
    bool activated = false;
    bool cancelled = false;
};

TimerSource::TimerSource(SerialQueue queue) : impl_(std::make_shared<Impl>(std::move(queue))) {}

// Needs nothing from the queue: a timer dropped uncancelled stops there later, releasing its
// handlers without running them.
TimerSource::~TimerSource() {
    impl_->queue.impl()->post([impl = impl_] {
        if (impl->cancelled)
            return;
        impl->handlers.drop();
        impl->cancel();
    });
}

void TimerSource::setEventHandler(std::function<void()> handler) {
    impl_->queue.assertCurrent("TimerSource::setEventHandler");
    impl_->handlers.setEvent(std::move(handler));
}

void TimerSource::setCancelHandler(std::function<void()> handler) {
    impl_->queue.assertCurrent("TimerSource::setCancelHandler");
    impl_->handlers.setCancel(std::move(handler));
}

void TimerSource::activate() {
    impl_->activate();
}

void TimerSource::schedule(std::chrono::steady_clock::time_point deadline) {
    impl_->schedule(deadline);
}

void TimerSource::cancel() {
    impl_->cancel();
}

bool TimerSource::isCancelled() const {
    impl_->queue.assertCurrent("TimerSource::isCancelled");
    return impl_->cancelled;
}

} // namespace veltro
