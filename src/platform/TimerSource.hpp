#pragma once

#include "platform/SerialQueue.hpp"

#include <chrono>
#include <functional>
#include <memory>

namespace veltro {

// A one-shot timer on a serial queue. schedule() sets the deadline on the monotonic clock; a
// new deadline replaces a pending one, so a timer re-armed before it fires fires once, at the
// later deadline. An activated timer that was never scheduled never fires.
//
// Handlers and cancellation behave as for DescriptorSource, and every member except the
// constructor must be called on the source's queue.
class TimerSource {
public:
    explicit TimerSource(SerialQueue queue);
    ~TimerSource();
    TimerSource(const TimerSource&) = delete;
    TimerSource& operator=(const TimerSource&) = delete;

    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);

    void activate();
    void schedule(std::chrono::steady_clock::time_point deadline);
    void cancel();
    bool isCancelled() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace veltro
