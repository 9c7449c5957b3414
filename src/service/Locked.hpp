#pragma once

#include <mutex>
#include <utility>

namespace veltro {

// One value behind a small lock of its own. Access goes only through short critical sections
// that neither call out nor take another lock, so a plain non-recursive mutex is enough and no
// lock order can ever be violated.
template <class Value> class Locked {
public:
    Locked() = default;
    explicit Locked(Value value) : value_(std::move(value)) {}
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;

    // Runs `access` with the value while holding the lock and answers what it answers.
    template <class Access> decltype(auto) with(Access&& access) {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::forward<Access>(access)(value_);
    }

    Value load() {
        std::lock_guard<std::mutex> guard(mutex_);
        return value_;
    }

    // Stores `value` and answers the value it replaced.
    Value exchange(Value value) {
        std::lock_guard<std::mutex> guard(mutex_);
        return std::exchange(value_, std::move(value));
    }

private:
    std::mutex mutex_;
    Value value_{};
};

} // namespace veltro
