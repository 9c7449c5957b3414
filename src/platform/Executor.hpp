#pragma once

#include <memory>
#include <string>

namespace veltro {

// A small pool of threads that runs the work of serial queues.
//
// The process has two of them, and the split is what keeps synchronous calls safe:
//
//  - sessions(): runs every shell session's queue and the lifetime queue. Work here never
//    waits for anything (no sync(), no blocking I/O), so a session queue always makes
//    progress while someone waits for it.
//  - connections(): runs the connection layer. Its threads may wait synchronously for a
//    session's queue (a folder or busy question), which is safe only because that queue
//    runs on the other executor and so cannot be starved by the waiting thread.
//
// Destroying an executor stops it and joins its threads; it must not be destroyed from
// one of its own threads.
class Executor {
public:
    Executor(std::string name, unsigned threads);
    ~Executor();
    Executor(const Executor&) = delete;
    Executor& operator=(const Executor&) = delete;

    static Executor& sessions();
    static Executor& connections();

    const std::string& name() const;

    // Stops running work and joins the threads. Idempotent. Work not yet started is dropped.
    void shutdown();

    struct Impl;
    Impl& impl() const { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace veltro
