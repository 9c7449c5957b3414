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
    Executor sessions{"sessions", 2};
    Executor connections{"connections", 4};

    // std::exit() may also come from queue work; then that thread is left running its exit and
    // the others are joined.
    ~ProcessExecutors() {
        constexpr std::chrono::milliseconds grace{500};
        connections.impl().settle(grace);
        connections.impl().stop();
        sessions.impl().settle(grace);
        sessions.impl().stop();
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
    return processExecutors().sessions;
}

Executor& Executor::connections() {
    return processExecutors().connections;
}

const std::string& Executor::name() const {
    return impl_->name;
}

void Executor::shutdown() {
    if (impl_->isStopped())
        return;
    if (impl_->runsInThisThread())
        stopProgram("executor " + impl_->name + " shut down from one of its own threads");
    impl_->stop();
}

void Executor::Impl::settle(std::chrono::milliseconds grace) {
    if (isStopped() || runsInThisThread())
        return;
    {
        std::lock_guard lock(shutdownMutex);
        work.reset();
    }
    auto deadline = std::chrono::steady_clock::now() + grace;
    while (!context.stopped() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void Executor::Impl::stop() {
    std::lock_guard lock(shutdownMutex);
    if (isStopped())
        return;
    stopped.store(true, std::memory_order_release);
    work.reset();
    context.stop();
    for (auto& thread : threads) {
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach();
        else
            thread.join();
    }
    threads.clear();
    context.dropPendingWork();
}

} // namespace veltro
