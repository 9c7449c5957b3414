#pragma once

#include "platform/SerialQueue.hpp"

#include <sys/types.h>

#include <functional>
#include <memory>

namespace veltro {

// Fires once on a serial queue when a process has ended, through a pidfd of it. A child that
// had already exited before the source was made fires as soon as the source is activated; so
// does a process that no longer exists at all (the pidfd cannot be opened), since its end has
// then certainly happened. The source does not reap the process.
//
// Handlers and cancellation behave as for DescriptorSource, and every member except the
// constructor must be called on the source's queue.
class ProcessSource {
public:
    ProcessSource(SerialQueue queue, pid_t pid);
    ~ProcessSource();
    ProcessSource(const ProcessSource&) = delete;
    ProcessSource& operator=(const ProcessSource&) = delete;

    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);

    void activate();
    void cancel();
    bool isCancelled() const;

    struct Impl;

private:
    std::shared_ptr<Impl> impl_;
};

} // namespace veltro
