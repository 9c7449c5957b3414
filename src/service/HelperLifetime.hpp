#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace veltro {

class EventLoop;

// Counts the agent's work (client connections, shells, update cycles) and runs `idle` once all
// three counts have stayed at zero or below for `idleDelay` seconds. The first timer is armed
// at construction, so an agent nobody connects to still ends.
//
// The counts live on the event loop, and the operations may be called from any thread. Every
// change that leaves the agent idle sets one fresh deadline; any other change withdraws it.
// Nothing polls, so an idle agent makes no wake-ups besides its one timer.
//
// Callers pair every start with exactly one end. Counts are not clamped: an unmatched end
// drives a count below zero, which counts as idle.
class HelperLifetime {
public:
    using Idle = std::function<void()>;

    // The counts and the deadline live on `loop`.
    HelperLifetime(EventLoop& loop, double idleDelay, Idle idle);
    ~HelperLifetime();
    HelperLifetime(const HelperLifetime&) = delete;
    HelperLifetime& operator=(const HelperLifetime&) = delete;

    void connectionStarted();
    void connectionEnded();
    void shellStarted();
    void shellEnded();
    void updateStarted();
    void updateEnded();

    // Withdraws the idle deadline for good, for an agent that is ending by other means: the
    // counts go on, but the idle action never runs.
    void end();

    std::int64_t connections() const;
    std::int64_t shells() const;
    std::int64_t updates() const;

    double idleDelay() const;

    struct Tracker;

private:
    std::shared_ptr<Tracker> tracker;
};

} // namespace veltro
