#pragma once

#include "platform/ProcessInfo.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace veltro {

class EventLoop;

// Finds what closing shells leave behind: the processes attached to each shell's session or
// terminal, other than the shell and the agent, each held by a pidfd so that a later kill
// reaches that very process. The scan of /proc runs on the loop's worker, and the requests of
// one turn of the loop share a single scan, and each result reaches its shell in a turn of its
// own, so that hundreds of tabs closing at once cost the loop little. Used on the loop only.
class LeftoverScan : public std::enable_shared_from_this<LeftoverScan> {
public:
    using Found = std::function<void(std::vector<ProcessHandle> leftovers)>;

    explicit LeftoverScan(EventLoop& loop) : loop(loop) {}

    struct Shell {
        pid_t pid = 0;
        // When the shell started, 0 if unknown.
        std::uint64_t startTime = 0;
    };

    // `found` runs on the loop, in a later turn, with what the scan found for `shell`. Once the
    // shell's pid leads a session again, in another process, that session is not the shell's,
    // and only the terminal ties processes to the shell.
    void request(Shell shell, ProcessInfo::Attachment attachment, Found found);

private:
    struct Scanned {
        Shell shell;
        ProcessInfo::Attachment attachment;
    };
    struct Request {
        Scanned shell;
        Found found;
    };

    struct Results {
        std::vector<Request> requests;
        std::vector<std::vector<ProcessHandle>> leftovers;
    };

    void scanPending();
    void deliver(std::shared_ptr<Results> results, std::size_t index);
    static std::vector<std::vector<ProcessHandle>> scan(const std::vector<Scanned>& shells);
    static bool sessionIsShells(const Scanned& shell,
                                const std::vector<ProcessInfo::Listed>& listed);

    EventLoop& loop;
    std::vector<Request> pending;
};

} // namespace veltro
