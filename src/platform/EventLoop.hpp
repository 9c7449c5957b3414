#pragma once

#include "platform/StopProgram.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>

#include <future>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

namespace veltro {

// An event loop: an io_context run by one thread of its own. Whoever starts the program owns
// its loop and hands it to what lives there: every session, connection, the listener and the
// lifetime tracker, so their state needs no lock and the hot paths (terminal read to socket
// write, socket read to terminal write) never change threads. What can block (spawning a shell,
// scans of /proc that grow with the process table) runs on one worker thread beside it, and its
// result comes back to the loop.
//
// Destroying the loop stops it and joins its threads; handlers still queued are destroyed unrun.
// So whatever its handlers use must outlive it, and whatever lives on it must not outlive it.
class EventLoop {
public:
    EventLoop();
    ~EventLoop();
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    asio::io_context& context() { return context_; }
    asio::io_context::executor_type executor() { return context_.get_executor(); }

    // Whether the calling thread is the loop's.
    bool isCurrent() const {
        return const_cast<asio::io_context&>(context_).get_executor().running_in_this_thread();
    }
    template <class Work> void post(Work&& work) { asio::post(context_, std::forward<Work>(work)); }

    // Runs the work at once on the loop, otherwise queues it there.
    template <class Work> void dispatch(Work&& work) {
        if (isCurrent())
            work();
        else
            post(std::forward<Work>(work));
    }

    // Runs the work on the loop and waits for its result: inline on the loop, otherwise queued
    // there while the caller waits. An exception of the work reaches the caller.
    template <class Work> std::invoke_result_t<Work&> sync(Work&& work) {
        if (isCurrent())
            return work();
        assertRunning("sync");
        std::packaged_task<std::invoke_result_t<Work&>()> task(std::forward<Work>(work));
        auto result = task.get_future();
        post([&task] { task(); });
        return result.get();
    }

    // Runs blocking work on the worker thread, then hands its result to `done` on the loop.
    template <class Work, class Done> void offload(Work&& work, Done&& done) {
        asio::post(worker_, [this, work = std::forward<Work>(work),
                             done = std::forward<Done>(done)]() mutable {
            if constexpr (std::is_void_v<std::invoke_result_t<Work&>>) {
                work();
                post(std::move(done));
            } else {
                post([done = std::move(done), result = work()]() mutable {
                    done(std::move(result));
                });
            }
        });
    }

    // Ends the loop: handlers still queued are destroyed unrun and the thread stops. Called at
    // the end of the process, from any thread, the loop's included.
    void stop();
    // Lets the loop end by itself once nothing is left to do: no handler queued, no operation or
    // timer pending. Called on the loop.
    void runOut() { guard_.reset(); }
    // Blocks until the loop has ended, by stop() or by running out.
    void waitUntilStopped();

private:
    void run();
    void assertRunning(const char* operation) const;

    // One thread runs it, which lets Asio keep the loop's own handlers off its locks.
    mutable asio::io_context context_{1};
    std::optional<asio::executor_work_guard<asio::io_context::executor_type>> guard_;
    asio::thread_pool worker_{1};
    std::once_flag stopOnce_;
    std::promise<void> stopped_;
    std::shared_future<void> stoppedFuture_;
    std::thread thread_;
};

} // namespace veltro
