// GCC 12 warns under ThreadSanitizer that it does not model the atomic fences inside Asio,
// which -Werror would turn into a failed build; Asio's shared state is guarded by mutexes,
// which ThreadSanitizer does model. The pragma comes first so that it covers every header.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wtsan"
#endif

#include "platform/AsioSupport.hpp"

#include <pthread.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace veltro {

void stopProgram(const std::string& message) {
    std::fprintf(stderr, "veltro: %s\n", message.c_str());
    std::fflush(stderr);
    std::abort();
}

namespace {

// Work that throws has broken an invariant of the program; say where before stopping.
void runContext(Executor::Impl& executor) {
    // Named for debuggers and top; the kernel keeps 15 bytes of it.
    ::pthread_setname_np(::pthread_self(), executor.name.substr(0, 15).c_str());
    try {
        executor.context.run();
    } catch (const std::exception& error) {
        stopProgram("uncaught exception on executor " + executor.name + ": " + error.what());
    } catch (...) {
        stopProgram("uncaught exception on executor " + executor.name);
    }
}

// The two executors of the process, made on first use.
//
// The rule that keeps synchronous calls from deadlocking: work on the sessions' executor never
// waits for anything (no sync(), no blocking I/O), so every session queue, and the lifetime
// queue, always makes progress. Threads of the connections' executor may wait synchronously for
// a session's queue (its current folder, its foreground process), which is safe only because
// that queue runs on the other executor: a waiting connection thread can never be the thread
// the awaited work needs.
//
// At exit the connections stop first, while the sessions still run, so a connection thread
// still waiting for a session's queue gets its answer and can be joined.
struct ProcessExecutors {
    std::unique_ptr<Executor> sessions = std::make_unique<Executor>("sessions", 2);
    std::unique_ptr<Executor> connections = std::make_unique<Executor>("connections", 4);

    ~ProcessExecutors() {
        if (sessions->impl().runsInThisThread() || connections->impl().runsInThisThread()) {
            // The process is exiting from queue work; a thread cannot join itself, so stop
            // all work and leave the threads to the end of the process.
            sessions->impl().context.stop();
            connections->impl().context.stop();
            static_cast<void>(sessions.release());
            static_cast<void>(connections.release());
            return;
        }
        connections->shutdown();
        sessions->shutdown();
    }
};

ProcessExecutors& processExecutors() {
    static ProcessExecutors executors;
    return executors;
}

} // namespace

Executor::Impl::Impl(std::string name, unsigned threadCount)
    : name(std::move(name)), work(context.get_executor()) {
    threads.reserve(threadCount);
    for (unsigned index = 0; index < threadCount; ++index)
        threads.emplace_back([this] { runContext(*this); });
}

Executor::Executor(std::string name, unsigned threads)
    : impl_(std::make_unique<Impl>(std::move(name), threads == 0 ? 1 : threads)) {}

Executor::~Executor() {
    shutdown();
}

Executor& Executor::sessions() {
    return *processExecutors().sessions;
}

Executor& Executor::connections() {
    return *processExecutors().connections;
}

const std::string& Executor::name() const {
    return impl_->name;
}

void Executor::shutdown() {
    if (impl_->runsInThisThread())
        stopProgram("executor " + impl_->name + " shut down from one of its own threads");
    std::lock_guard lock(impl_->shutdownMutex);
    if (impl_->isStopped())
        return;
    impl_->stopped.store(true, std::memory_order_release);
    impl_->work.reset();
    impl_->context.stop();
    for (auto& thread : impl_->threads)
        thread.join();
    impl_->threads.clear();
    impl_->context.dropPendingWork();
}

} // namespace veltro
