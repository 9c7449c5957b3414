#pragma once

#include "platform/SerialQueue.hpp"

#include <functional>
#include <memory>

namespace veltro {

// Watches a descriptor for readiness on a serial queue.
//
// A source starts inactive; activate() starts watching. The event handler runs on the
// queue each time the descriptor is ready, and the source re-arms itself after each run.
// suspend() and resume() are counted, as with a dispatch source: events are delivered only
// while the count of suspensions is zero. cancel() stops the source; once no wait is pending
// any more the cancel handler runs, exactly once, on the queue, after the last event handler,
// also when the source was suspended, never activated, or had no wait pending. After the
// cancel handler has run the source drops both handlers, so objects they hold are released.
//
// The descriptor is not owned: the source never closes it, so its owner may close it once
// the cancel handler has run, and not before.
//
// Every member except the constructor must be called on the source's queue.
class DescriptorSource {
public:
    enum class Readiness { readable, writable };

    DescriptorSource(SerialQueue queue, int fd, Readiness readiness);
    ~DescriptorSource();
    DescriptorSource(const DescriptorSource&) = delete;
    DescriptorSource& operator=(const DescriptorSource&) = delete;

    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);

    void activate();
    void suspend();
    void resume();
    void cancel();
    bool isCancelled() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

class ReadSource : public DescriptorSource {
public:
    ReadSource(SerialQueue queue, int fd)
        : DescriptorSource(std::move(queue), fd, Readiness::readable) {}
};

class WriteSource : public DescriptorSource {
public:
    WriteSource(SerialQueue queue, int fd)
        : DescriptorSource(std::move(queue), fd, Readiness::writable) {}
};

} // namespace veltro
