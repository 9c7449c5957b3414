// GCC 12 warns under ThreadSanitizer that it does not model the atomic fences inside Asio,
// which -Werror would turn into a failed build; Asio's shared state is guarded by mutexes,
// which ThreadSanitizer does model. The pragma comes first so that it covers every header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "platform/DescriptorWatch.hpp"

#include <fcntl.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <system_error>

namespace veltro {

// Asio registers descriptors edge-triggered and an async_wait never looks at the descriptor
// itself, so a wait started while data is already there would sleep until more arrives. A
// source must behave like a level-triggered one (data left after a handler, or data that came
// while it was suspended, is an event), so each arming first asks the descriptor directly.

namespace {

// The source watches its own duplicate of the descriptor. epoll accepts a descriptor number
// once per instance, and a duplicate lets a read source and a write source watch the same
// terminal; it also means the owner's close can never leave a stale registration behind.
FileDescriptor duplicate(int fd) {
    FileDescriptor copy(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
    if (!copy)
        throw std::system_error(errno, std::system_category(),
                                "cannot watch descriptor " + std::to_string(fd));
    return copy;
}

} // namespace

DescriptorSource::Impl::Impl(SerialQueue queue, FileDescriptor watched, Readiness readiness,
                             bool once)
    : queue(std::move(queue)), owned(std::move(watched)), fd(owned.get()), readiness(readiness),
      once(once) {
    if (fd >= 0)
        watcher.emplace(this->queue.impl()->strand, fd);
}

bool DescriptorSource::Impl::isReadyNow() const {
    pollfd entry{fd, static_cast<short>(readiness == Readiness::readable ? POLLIN : POLLOUT), 0};
    if (::poll(&entry, 1, 0) != 1)
        return false;
    return (entry.revents & (POLLIN | POLLOUT | POLLHUP | POLLERR)) != 0;
}

void DescriptorSource::Impl::activate() {
    if (activated || cancelled)
        return;
    activated = true;
    arm();
}

void DescriptorSource::Impl::suspend() {
    ++suspensions;
}

void DescriptorSource::Impl::resume() {
    if (suspensions == 0)
        stopProgram("DescriptorSource::resume without a matching suspend on queue " +
                    queue.label());
    if (--suspensions == 0)
        arm();
}

void DescriptorSource::Impl::cancel() {
    if (cancelled)
        return;
    cancelled = true;
    if (!waitPending) {
        auto self = shared_from_this();
        queue.impl()->post([self] { self->finishCancel(); });
        return;
    }
    if (watcher)
        watcher->get().cancel();
}

void DescriptorSource::Impl::abandon() {
    if (cancelled)
        return;
    handlers.drop();
    cancel();
}

void DescriptorSource::Impl::arm() {
    if (!activated || cancelled || suspensions > 0 || waitPending || (once && delivered))
        return;
    waitPending = true;
    if (!watcher || isReadyNow()) {
        postReady();
        return;
    }
    startWait();
    // Readiness that came between the check and the wait has no edge left to wake the wait.
    if (isReadyNow()) {
        readyBeforeWait = true;
        watcher->get().cancel();
    }
}

void DescriptorSource::Impl::postReady() {
    auto self = shared_from_this();
    queue.impl()->post([self] { self->waitFinished({}); });
}

void DescriptorSource::Impl::startWait() {
    // Asio makes the descriptor non-blocking for its own reads and writes, which this source
    // never does. The mode belongs to the open file, which the owner's descriptor shares, so
    // it is put back as the owner had it.
    int flags = blockingModeChecked ? -1 : ::fcntl(fd, F_GETFL);
    blockingModeChecked = true;
    auto wait = readiness == Readiness::readable ? asio::posix::descriptor_base::wait_read
                                                 : asio::posix::descriptor_base::wait_write;
    watcher->get().async_wait(wait, [self = shared_from_this()](const asio::error_code& error) {
        self->waitFinished(error);
    });
    if (flags >= 0 && (flags & O_NONBLOCK) == 0)
        ::fcntl(fd, F_SETFL, flags);
}

void DescriptorSource::Impl::waitFinished(const asio::error_code& error) {
    waitPending = false;
    bool readyAtArming = std::exchange(readyBeforeWait, false);
    bool ready = !error || readyAtArming;
    if (cancelled) {
        finishCancel();
        return;
    }
    if (!ready) {
        // Not a readiness: the descriptor cannot be watched (a kind that epoll refuses).
        // Waiting again would fail again at once, so the source goes quiet until cancelled.
        std::fprintf(stderr, "veltro: source on queue %s stopped watching descriptor %d: %s\n",
                     queue.label().c_str(), fd, error.message().c_str());
        return;
    }
    if (suspensions > 0)
        return;
    delivered = true;
    handlers.runEvent();
    arm();
}

void DescriptorSource::Impl::finishCancel() {
    if (watcher)
        watcher->release();
    handlers.runCancel();
}

DescriptorSource::DescriptorSource(SerialQueue queue, int fd, Readiness readiness)
    : impl_(std::make_shared<Impl>(std::move(queue), duplicate(fd), readiness, false)) {}

// Needs nothing from the queue: a source dropped uncancelled stops there later, letting its
// descriptor go and releasing its handlers without running them.
DescriptorSource::~DescriptorSource() {
    impl_->queue.impl()->post([impl = impl_] { impl->abandon(); });
}

void DescriptorSource::setEventHandler(std::function<void()> handler) {
    impl_->queue.assertCurrent("DescriptorSource::setEventHandler");
    impl_->handlers.setEvent(std::move(handler));
}

void DescriptorSource::setCancelHandler(std::function<void()> handler) {
    impl_->queue.assertCurrent("DescriptorSource::setCancelHandler");
    impl_->handlers.setCancel(std::move(handler));
}

void DescriptorSource::activate() {
    impl_->queue.assertCurrent("DescriptorSource::activate");
    impl_->activate();
}

void DescriptorSource::suspend() {
    impl_->queue.assertCurrent("DescriptorSource::suspend");
    impl_->suspend();
}

void DescriptorSource::resume() {
    impl_->queue.assertCurrent("DescriptorSource::resume");
    impl_->resume();
}

void DescriptorSource::cancel() {
    impl_->queue.assertCurrent("DescriptorSource::cancel");
    impl_->cancel();
}

bool DescriptorSource::isCancelled() const {
    impl_->queue.assertCurrent("DescriptorSource::isCancelled");
    return impl_->isCancelled();
}

} // namespace veltro
