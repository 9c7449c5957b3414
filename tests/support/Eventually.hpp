#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace veltro::testing {

// Polls `condition` until it holds or the timeout passes, and answers whether it held. For
// conditions that nothing announces, such as a process leaving /proc. The default patience is
// generous because sanitizer builds on a loaded machine run many times slower.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::steady_clock::duration timeout = std::chrono::seconds(60)) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

} // namespace veltro::testing
