#include "sessions/LeftoverScan.hpp"

#include "platform/EventLoop.hpp"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <utility>

namespace veltro {

void LeftoverScan::request(Shell shell, ProcessInfo::Attachment attachment, Found found) {
    // Whatever else is asked before the loop comes to this joins the same scan.
    if (pending.empty())
        loop.post([self = shared_from_this()] { self->scanPending(); });
    pending.push_back({{shell, attachment}, std::move(found)});
}

void LeftoverScan::scanPending() {
    std::vector<Request> requests = std::exchange(pending, {});
    // The worker gets the shells alone: the callbacks, and the sessions they hold, stay on the
    // loop.
    std::vector<Scanned> shells;
    for (const Request& request : requests)
        shells.push_back(request.shell);
    loop.offload(
        [shells = std::move(shells)] { return scan(shells); },
        [self = shared_from_this(),
         requests = std::move(requests)](std::vector<std::vector<ProcessHandle>> leftovers) {
            self->deliver(
                std::make_shared<Results>(Results{std::move(requests), std::move(leftovers)}), 0);
        });
}

// One result a turn: each hang-up closes a terminal and signals its processes, and hundreds
// of them in one handler would keep every other tab's keystrokes waiting until the last.
void LeftoverScan::deliver(std::shared_ptr<Results> results, std::size_t index) {
    if (index >= results->requests.size())
        return;
    results->requests[index].found(std::move(results->leftovers[index]));
    loop.post([self = shared_from_this(), results, index] { self->deliver(results, index + 1); });
}

// The kernel passes a pid on only once no process uses it as a session id any more, so a
// process that holds the shell's pid and is not the shell has made a new session, whose members
// have nothing to do with the shell; without such a leader the session is still the shell's.
bool LeftoverScan::sessionIsShells(const Scanned& shell,
                                   const std::vector<ProcessInfo::Listed>& listed) {
    if (shell.shell.startTime == 0)
        return true;
    return std::ranges::none_of(listed, [&](const ProcessInfo::Listed& process) {
        return process.pid == shell.attachment.session &&
               process.stat.startTime != shell.shell.startTime;
    });
}

std::vector<std::vector<ProcessHandle>> LeftoverScan::scan(const std::vector<Scanned>& shells) {
    std::vector<ProcessInfo::Attachment> attachments;
    for (const Scanned& shell : shells)
        attachments.push_back(shell.attachment);
    std::vector<std::vector<ProcessInfo::Listed>> listed =
        ProcessInfo::attachedProcesses(attachments);

    pid_t agent = ::getpid();
    std::vector<std::vector<ProcessHandle>> leftovers(shells.size());
    for (std::size_t index = 0; index < shells.size(); ++index) {
        const Scanned& shell = shells[index];
        bool bySession = sessionIsShells(shell, listed[index]);
        for (const ProcessInfo::Listed& process : listed[index]) {
            if (process.pid == agent || process.pid == shell.shell.pid)
                continue;
            if (!bySession && (shell.attachment.terminal == 0 ||
                               process.stat.terminal != shell.attachment.terminal))
                continue;
            if (std::optional<ProcessHandle> handle = ProcessHandle::open(process))
                leftovers[index].push_back(std::move(*handle));
        }
    }
    return leftovers;
}

} // namespace veltro
