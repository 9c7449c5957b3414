#pragma once

// The shared state of a descriptor source, also behind ProcessSource. Private to src/platform.

#include "platform/AsioSupport.hpp"
#include "platform/FileDescriptor.hpp"
#include "platform/ReadSource.hpp"
#include "platform/SourceHandlers.hpp"

#include <asio/posix/stream_descriptor.hpp>

#include <optional>

namespace veltro {

// A stream_descriptor that never closes the descriptor it watches: it is released, not
// closed, whenever it goes away.
class UnownedDescriptor {
public:
    UnownedDescriptor(const Strand& strand, int fd) : descriptor_(strand, fd) {}
    UnownedDescriptor(const UnownedDescriptor&) = delete;
    UnownedDescriptor& operator=(const UnownedDescriptor&) = delete;
    ~UnownedDescriptor() { release(); }

    asio::posix::stream_descriptor& get() { return descriptor_; }
    void release() {
        if (descriptor_.is_open())
            descriptor_.release();
    }

private:
    asio::posix::stream_descriptor descriptor_;
};

// Everything lives on the source's queue, except construction and destruction, which need
// nothing from it. A pending wait holds a strong reference, so the state outlives the
// DescriptorSource object for as long as Asio still has to report to it.
struct DescriptorSource::Impl : std::enable_shared_from_this<DescriptorSource::Impl> {
    // Watches the descriptor, which the state owns. Without one it watches nothing, and
    // activation delivers an event as if the descriptor had been ready at once. With once
    // set, the source delivers at most one event.
    Impl(SerialQueue queue, FileDescriptor watched, Readiness readiness, bool once);
    virtual ~Impl() = default;

    void activate();
    void suspend();
    void resume();
    void cancel();
    void abandon();
    bool isCancelled() const { return cancelled; }

    void arm();
    void startWait();
    void postReady();
    void waitFinished(const asio::error_code& error);
    void finishCancel();
    bool isReadyNow() const;

    SerialQueue queue;
    SourceHandlers handlers;
    // Declared before the watcher, so the descriptor is closed only after the watcher has
    // let it go.
    FileDescriptor owned;
    int fd;
    std::optional<UnownedDescriptor> watcher;
    Readiness readiness;
    bool once;
    bool activated = false;
    bool cancelled = false;
    bool waitPending = false;
    bool delivered = false;
    bool blockingModeChecked = false;
    bool readyBeforeWait = false;
    unsigned suspensions = 0;
};

} // namespace veltro
