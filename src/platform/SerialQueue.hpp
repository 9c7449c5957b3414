#pragma once

#include "platform/Executor.hpp"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

namespace veltro {

// A labelled serial queue on an executor: its work runs one piece at a time, in the order
// submitted, on whichever executor thread is free. A SerialQueue is a cheap handle; copies
// name the same queue, and queued work keeps the queue alive until it has run.
class SerialQueue {
public:
    SerialQueue(std::string label, Executor& executor);

    const std::string& label() const;

    void async(std::function<void()> work) const;
    void asyncAfter(std::chrono::steady_clock::duration delay, std::function<void()> work) const;

    // Runs the work on the queue and waits for it. Calling this from the queue itself would
    // wait forever, so it stops the program instead.
    template <class Work> std::invoke_result_t<Work&> sync(Work&& work) const {
        using Result = std::invoke_result_t<Work&>;
        if constexpr (std::is_void_v<Result>) {
            syncErased([&] { work(); });
        } else {
            std::optional<Result> result;
            syncErased([&] { result.emplace(work()); });
            return std::move(*result);
        }
    }

    // Whether the calling thread is running work of this queue right now.
    bool isCurrent() const;

    // Stops the program, naming the operation and the queue, unless isCurrent().
    void assertCurrent(const char* operation) const;

    struct Impl;
    const std::shared_ptr<Impl>& impl() const { return impl_; }

private:
    void syncErased(const std::function<void()>& work) const;

    std::shared_ptr<Impl> impl_;
};

} // namespace veltro
