#pragma once

#include <cstdint>
#include <functional>
#include <memory>

namespace veltro {

// Counts the agent's work (client connections, shells, update cycles) and runs `idle` once all
// three counts have stayed at zero or below for `idleDelay` seconds. The first timer is armed
// at construction, so an agent nobody connects to still ends.
//
// Every change moves a generation on and, if it leaves the agent idle, arms one fresh timer.
// Timers are never cancelled: one that fires after a later change finds another generation and
// does nothing. Nothing polls, so an idle agent makes no wake-ups besides its one timer.
//
// Callers pair every start with exactly one end. Counts are not clamped: an unmatched end
// drives a count below zero, which counts as idle.
class HelperLifetime {
public:
    using Idle = std::function<void()>;

    HelperLifetime(double idleDelay, Idle idle);
    HelperLifetime(const HelperLifetime&) = delete;
    HelperLifetime& operator=(const HelperLifetime&) = delete;

    void connectionStarted();
    void connectionEnded();
    void shellStarted();
    void shellEnded();
    void updateStarted();
    void updateEnded();

    std::int64_t connections() const;
    std::int64_t shells() const;
    std::int64_t updates() const;

    double idleDelay() const;

    struct Tracker;

private:
    // Armed timers hold the tracker itself, so it outlives this handle until its last timer
    // has fired.
    std::shared_ptr<Tracker> tracker;
};

} // namespace veltro
