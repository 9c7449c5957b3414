#pragma once

// The Asio side of executors and queues, shared by the platform's own implementation files.
// Nothing outside src/platform includes this header, so Asio stays out of the rest of the
// system.

#include "platform/Executor.hpp"
#include "platform/SerialQueue.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace veltro {

// Prints the message to standard error and aborts: for faults of the program itself.
[[noreturn]] void stopProgram(const std::string& message);

// An io_context whose pending work can be dropped while every service is still alive, so that
// handlers destroyed then may still release queues and I/O objects of any executor.
class ExecutionContext : public asio::io_context {
public:
    void dropPendingWork() { shutdown(); }
};

struct Executor::Impl {
    Impl(std::string name, unsigned threads);

    bool runsInThisThread() { return context.get_executor().running_in_this_thread(); }
    bool isStopped() const { return stopped.load(std::memory_order_acquire); }

    // Stops running work, joins the threads and drops the work not yet started. Called from
    // one of the executor's own threads (only at exit), it leaves that thread to finish alone.
    void stop();

    // Lets the work already queued run out, for at most `grace`, before the executor is
    // stopped: connections and sources let go of themselves through queued work, and dropping
    // that work at exit would strand them. Work that waits on live descriptors never runs out,
    // so the grace bounds the wait.
    void settle(std::chrono::milliseconds grace);

    std::string name;
    ExecutionContext context;
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> work;
    std::vector<std::thread> threads;
    std::mutex shutdownMutex;
    std::atomic<bool> stopped{false};
};

using Strand = asio::strand<asio::io_context::executor_type>;

struct SerialQueue::Impl {
    Impl(std::string label, Executor::Impl& executor)
        : label(std::move(label)), executor(executor), strand(executor.context.get_executor()) {}

    // Queues the work on the strand. Once the executor has shut down, work is dropped at once
    // instead: it would never run, and destroying it later could outlive the executor.
    template <class Work> void post(Work&& work) {
        if (executor.isStopped())
            return;
        asio::post(strand, std::forward<Work>(work));
    }

    std::string label;
    Executor::Impl& executor;
    Strand strand;
};

} // namespace veltro
