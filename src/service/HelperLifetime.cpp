#include "service/HelperLifetime.hpp"

#include "platform/EventLoop.hpp"

#include <asio/steady_timer.hpp>

#include <chrono>

namespace veltro {

// Lives on the event loop; the handle's operations reach it there, in the order they are made.
struct HelperLifetime::Tracker : std::enable_shared_from_this<Tracker> {
    Tracker(EventLoop& loop, double idleDelay, Idle idle)
        : loop(loop), idleDelay(idleDelay), idle(std::move(idle)), timer(loop.context()) {}

    bool isIdle() const { return connections <= 0 && shells <= 0 && updates <= 0; }

    // Each change re-decides: an idle agent gets one fresh deadline, a busy one none.
    void changed() {
        if (ended || !isIdle()) {
            timer.cancel();
            return;
        }
        timer.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(idleDelay)));
        timer.async_wait([self = shared_from_this()](const asio::error_code& error) {
            if (!error && self->isIdle())
                self->idle();
        });
    }

    void change(std::int64_t Tracker::*count, std::int64_t by) {
        loop.dispatch([self = shared_from_this(), count, by] {
            self.get()->*count += by;
            self->changed();
        });
    }

    std::int64_t read(std::int64_t Tracker::*count) {
        return loop.sync([&] { return this->*count; });
    }

    std::int64_t connections = 0;
    std::int64_t shells = 0;
    std::int64_t updates = 0;
    bool ended = false;
    EventLoop& loop;
    const double idleDelay;
    const Idle idle;
    asio::steady_timer timer;
};

HelperLifetime::HelperLifetime(EventLoop& loop, double idleDelay, Idle idle)
    : tracker(std::make_shared<Tracker>(loop, idleDelay, std::move(idle))) {
    tracker->change(&Tracker::connections, 0);
}

HelperLifetime::~HelperLifetime() {
    // A pending deadline holds the tracker; the handle's end lets it go without firing.
    end();
}

void HelperLifetime::end() {
    tracker->loop.dispatch([tracker = tracker] {
        tracker->ended = true;
        tracker->timer.cancel();
    });
}

void HelperLifetime::connectionStarted() {
    tracker->change(&Tracker::connections, 1);
}

void HelperLifetime::connectionEnded() {
    tracker->change(&Tracker::connections, -1);
}

void HelperLifetime::shellStarted() {
    tracker->change(&Tracker::shells, 1);
}

void HelperLifetime::shellEnded() {
    tracker->change(&Tracker::shells, -1);
}

void HelperLifetime::updateStarted() {
    tracker->change(&Tracker::updates, 1);
}

void HelperLifetime::updateEnded() {
    tracker->change(&Tracker::updates, -1);
}

std::int64_t HelperLifetime::connections() const {
    return tracker->read(&Tracker::connections);
}

std::int64_t HelperLifetime::shells() const {
    return tracker->read(&Tracker::shells);
}

std::int64_t HelperLifetime::updates() const {
    return tracker->read(&Tracker::updates);
}

double HelperLifetime::idleDelay() const {
    return tracker->idleDelay;
}

} // namespace veltro
