#include "service/HelperLifetime.hpp"

#include "platform/Executor.hpp"
#include "platform/SerialQueue.hpp"
#include "service/Locked.hpp"

#include <chrono>

namespace veltro {

namespace {

struct State {
    std::int64_t connections = 0;
    std::int64_t shells = 0;
    std::int64_t updates = 0;
    std::int64_t generation = 0;
};

// The change one operation makes to the counts.
using Change = void (*)(State&);

bool isIdle(const State& state) {
    return state.connections <= 0 && state.shells <= 0 && state.updates <= 0;
}

} // namespace

struct HelperLifetime::Tracker : std::enable_shared_from_this<Tracker> {
    Tracker(double idleDelay, Idle idle)
        : idleDelay(idleDelay), idle(std::move(idle)),
          queue("tech.morvane.veltro.terminal-helper.lifetime", Executor::sessions()) {}

    // One atomic step per operation: the count, the generation and the idle decision are
    // taken together under the lock; the timer is armed after it has been released.
    void change(Change apply) {
        std::int64_t generation = 0;
        bool idleNow = state.with([&](State& value) {
            if (apply)
                apply(value);
            generation = ++value.generation;
            return isIdle(value);
        });
        if (!idleNow)
            return;
        arm(generation);
    }

    void arm(std::int64_t generation) {
        auto delay = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(idleDelay));
        queue.asyncAfter(delay,
                         [tracker = shared_from_this(), generation] { tracker->fire(generation); });
    }

    // An unchanged generation means no operation ran since the timer was armed, so the agent
    // is still idle; the counts need no second look.
    void fire(std::int64_t generation) {
        std::int64_t current = state.with([](State& value) { return value.generation; });
        if (current != generation)
            return;
        idle();
    }

    std::int64_t read(std::int64_t State::*count) {
        return state.with([count](State& value) { return value.*count; });
    }

    Locked<State> state;
    const double idleDelay;
    const Idle idle;
    const SerialQueue queue;
};

HelperLifetime::HelperLifetime(double idleDelay, Idle idle)
    : tracker(std::make_shared<Tracker>(idleDelay, std::move(idle))) {
    tracker->change(nullptr);
}

void HelperLifetime::connectionStarted() {
    tracker->change([](State& state) { ++state.connections; });
}

void HelperLifetime::connectionEnded() {
    tracker->change([](State& state) { --state.connections; });
}

void HelperLifetime::shellStarted() {
    tracker->change([](State& state) { ++state.shells; });
}

void HelperLifetime::shellEnded() {
    tracker->change([](State& state) { --state.shells; });
}

void HelperLifetime::updateStarted() {
    tracker->change([](State& state) { ++state.updates; });
}

void HelperLifetime::updateEnded() {
    tracker->change([](State& state) { --state.updates; });
}

std::int64_t HelperLifetime::connections() const {
    return tracker->read(&State::connections);
}

std::int64_t HelperLifetime::shells() const {
    return tracker->read(&State::shells);
}

std::int64_t HelperLifetime::updates() const {
    return tracker->read(&State::updates);
}

double HelperLifetime::idleDelay() const {
    return tracker->idleDelay;
}

} // namespace veltro
