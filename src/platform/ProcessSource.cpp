#include "platform/ProcessSource.hpp"

#include "platform/DescriptorWatch.hpp"

#include <sys/syscall.h>
#include <unistd.h>

namespace veltro {

namespace {

// A pidfd turns readable once the process has ended, also when it ended before the pidfd was
// opened and has not been reaped yet. No pidfd at all means the process is already gone.
FileDescriptor openPidfd(pid_t pid) {
    return FileDescriptor(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

} // namespace

struct ProcessSource::Impl : DescriptorSource::Impl {
    Impl(SerialQueue queue, FileDescriptor pidfd)
        : DescriptorSource::Impl(std::move(queue), -1, DescriptorSource::Readiness::readable, true,
                                 std::move(pidfd)) {}
};

ProcessSource::ProcessSource(SerialQueue queue, pid_t pid)
    : impl_(std::make_shared<Impl>(std::move(queue), openPidfd(pid))) {}

ProcessSource::~ProcessSource() {
    impl_->queue.impl()->post([impl = impl_] {
        if (!impl->cancelled)
            impl->cancel();
    });
}

void ProcessSource::setEventHandler(std::function<void()> handler) {
    impl_->queue.assertCurrent("ProcessSource::setEventHandler");
    impl_->handlers.setEvent(std::move(handler));
}

void ProcessSource::setCancelHandler(std::function<void()> handler) {
    impl_->queue.assertCurrent("ProcessSource::setCancelHandler");
    impl_->handlers.setCancel(std::move(handler));
}

void ProcessSource::activate() {
    impl_->activate();
}

void ProcessSource::cancel() {
    impl_->cancel();
}

bool ProcessSource::isCancelled() const {
    impl_->queue.assertCurrent("ProcessSource::isCancelled");
    return impl_->isCancelled();
}

} // namespace veltro
