// GCC 12 warns under ThreadSanitizer that it does not model the atomic fences inside Asio,
// which -Werror would turn into a failed build; Asio's shared state is guarded by mutexes,
// which ThreadSanitizer does model. The pragma comes first so that it covers every header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "platform/AsioSupport.hpp"

#include <asio/steady_timer.hpp>

#include <condition_variable>
#include <exception>

namespace veltro {

namespace {

// What a caller of sync() waits for: the work has run (perhaps throwing), or the executor
// dropped it unrun at shutdown.
struct SyncState {
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    bool ran = false;
    std::exception_ptr error;

    void finish(bool workRan) {
        {
            std::lock_guard lock(mutex);
            done = true;
            ran = workRan;
        }
        finished.notify_one();
    }
};

// Posted for sync(): runs the work once, and reports a drop if destroyed without running.
class SyncWork {
public:
    SyncWork(std::shared_ptr<SyncState> state, const std::function<void()>& work)
        : state_(std::move(state)), work_(&work) {}
    SyncWork(SyncWork&& other) noexcept : state_(std::move(other.state_)), work_(other.work_) {}
    SyncWork(const SyncWork&) = delete;
    SyncWork& operator=(const SyncWork&) = delete;
    SyncWork& operator=(SyncWork&&) = delete;
    ~SyncWork() {
        if (state_)
            state_->finish(false);
    }

    void operator()() {
        auto state = std::move(state_);
        try {
            (*work_)();
        } catch (...) {
            state->error = std::current_exception();
        }
        state->finish(true);
    }

private:
    std::shared_ptr<SyncState> state_;
    const std::function<void()>* work_;
};

} // namespace

SerialQueue::SerialQueue(std::string label, Executor& executor)
    : impl_(std::make_shared<Impl>(std::move(label), executor.impl())) {}

const std::string& SerialQueue::label() const {
    return impl_->label;
}

void SerialQueue::async(std::function<void()> work) const {
    impl_->post([impl = impl_, work = std::move(work)] { work(); });
}

void SerialQueue::asyncAfter(std::chrono::steady_clock::duration delay,
                             std::function<void()> work) const {
    if (impl_->executor.isStopped())
        return;
    auto timer = std::make_shared<asio::steady_timer>(impl_->strand, delay);
    timer->async_wait([impl = impl_, timer, work = std::move(work)](const asio::error_code& error) {
        if (!error)
            work();
    });
}

bool SerialQueue::isCurrent() const {
    return impl_->strand.running_in_this_thread();
}

void SerialQueue::assertCurrent(const char* operation) const {
    if (!isCurrent())
        stopProgram(std::string(operation) + " must run on queue " + impl_->label);
}

void SerialQueue::syncErased(const std::function<void()>& work) const {
    if (isCurrent())
        stopProgram("sync on queue " + impl_->label + " from the queue itself would wait forever");
    if (impl_->executor.isStopped())
        stopProgram("sync on queue " + impl_->label + " after its executor " +
                    impl_->executor.name + " shut down");
    auto state = std::make_shared<SyncState>();
    asio::post(impl_->strand, SyncWork(state, work));
    std::unique_lock lock(state->mutex);
    state->finished.wait(lock, [&] { return state->done; });
    if (!state->ran)
        stopProgram("sync on queue " + impl_->label + ": its executor " + impl_->executor.name +
                    " shut down before the work ran");
    if (state->error)
        std::rethrow_exception(state->error);
}

} // namespace veltro
