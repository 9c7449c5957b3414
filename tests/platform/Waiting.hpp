#pragma once

#include "platform/SerialQueue.hpp"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace veltro::testing {

// Generous: only a broken implementation ever waits this long.
constexpr auto patience = std::chrono::seconds(10);

// A counter that test threads can wait on.
class Counter {
public:
    // Notifies under the lock: a waiter may destroy the counter as soon as it sees the count.
    void increment() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }

    int value() const {
        std::lock_guard lock(mutex_);
        return count_;
    }

    bool waitFor(int count) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return count_ >= count; });
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    int count_ = 0;
};

// Waits until everything queued on the queue so far has run.
inline void drain(const SerialQueue& queue) {
    queue.sync([] {});
}

} // namespace veltro::testing
