// GCC 12 warns under ThreadSanitizer that it does not model the atomic fences inside Asio,
// which -Werror would turn into a failed build; Asio's shared state is guarded by mutexes,
// which ThreadSanitizer does model. The pragma comes first so that it covers every header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "platform/ProcessSource.hpp"

#include "platform/DescriptorWatch.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>

namespace veltro {

namespace {

// A pidfd turns readable once the process has ended, also when it ended before the pidfd was
// opened and has not been reaped yet. ESRCH means the process is gone altogether, so no pidfd
// is needed to know that it ended; any other failure leaves its end unobservable.
FileDescriptor openPidfd(pid_t pid) {
    FileDescriptor pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    if (!pidfd && errno != ESRCH)
        throw std::system_error(errno, std::system_category(),
                                "cannot watch process " + std::to_string(pid));
    return pidfd;
}

} // namespace

struct ProcessSource::Impl : DescriptorSource::Impl {
    Impl(SerialQueue queue, FileDescriptor pidfd)
        : DescriptorSource::Impl(std::move(queue), std::move(pidfd),
                                 DescriptorSource::Readiness::readable, true) {}
};

ProcessSource::ProcessSource(SerialQueue queue, pid_t pid)
    : impl_(std::make_shared<Impl>(std::move(queue), openPidfd(pid))) {}

// As for DescriptorSource: a source dropped uncancelled stops later, on its queue, and its
// handlers are released without running.
ProcessSource::~ProcessSource() {
    impl_->queue.impl()->post([impl = impl_] { impl->abandon(); });
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
    impl_->queue.assertCurrent("ProcessSource::activate");
    impl_->activate();
}

void ProcessSource::cancel() {
    impl_->queue.assertCurrent("ProcessSource::cancel");
    impl_->cancel();
}

bool ProcessSource::isCancelled() const {
    impl_->queue.assertCurrent("ProcessSource::isCancelled");
    return impl_->isCancelled();
}

} // namespace veltro
