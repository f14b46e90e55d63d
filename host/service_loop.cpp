#include "service_loop.h"

#include "host_log.h"

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>

namespace zem::host {

namespace {

struct TimerEntry {
    TimerEntry(asio::io_context &io, std::chrono::milliseconds every, std::function<void()> fn)
        : timer(io), period(every), tick(std::move(fn)) {}

    asio::steady_timer timer; // touched only on the loop
    const std::chrono::milliseconds period;
    const std::function<void()> tick;
    std::atomic<bool> cancelled{false};
};

} // namespace

struct ServiceLoop::Impl {
    // Handlers hold weak references to timers: a removed timer dies with
    // its map entry, and a pending wait then finds nothing to run.
    void arm(const std::weak_ptr<TimerEntry> &weak, std::chrono::steady_clock::time_point when) {
        const auto entry = weak.lock();
        if (!entry || entry->cancelled) return;
        entry->timer.expires_at(when);
        entry->timer.async_wait([this, weak](const std::error_code &ec) {
            if (ec) return;
            const auto fired = weak.lock();
            if (!fired || fired->cancelled) return;
            fired->tick();
            // A tick that overran its period does not cause a burst of ticks.
            const auto now = std::chrono::steady_clock::now();
            auto next = fired->timer.expiry() + fired->period;
            if (next <= now) next = now + fired->period;
            arm(weak, next);
        });
    }

    asio::io_context io;
    std::mutex mutex;
    std::atomic<bool> *running = nullptr; // stop flag of the current run
    std::map<std::uint64_t, std::shared_ptr<TimerEntry>> timers;
};

ServiceLoop::ServiceLoop() : impl_(std::make_unique<Impl>()) {}

ServiceLoop::~ServiceLoop() {
    std::lock_guard lock(impl_->mutex);
    impl_->timers.clear();
}

void ServiceLoop::post(std::function<void()> fn) { asio::post(impl_->io, std::move(fn)); }

void ServiceLoop::add_timer(std::uint64_t id, int period_ms, std::function<void()> tick) {
    const auto period = std::chrono::milliseconds(std::max(period_ms, 1));
    auto entry = std::make_shared<TimerEntry>(impl_->io, period, std::move(tick));
    std::weak_ptr<TimerEntry> weak = entry;
    {
        std::lock_guard lock(impl_->mutex);
        impl_->timers[id] = std::move(entry);
    }
    // The timer object is armed on the loop, where it is used from then on.
    asio::post(impl_->io, [this, weak, period] {
        impl_->arm(weak, std::chrono::steady_clock::now() + period);
    });
}

bool ServiceLoop::remove_timer(std::uint64_t id) {
    std::shared_ptr<TimerEntry> entry;
    {
        std::lock_guard lock(impl_->mutex);
        const auto it = impl_->timers.find(id);
        if (it == impl_->timers.end()) return false;
        entry = std::move(it->second);
        impl_->timers.erase(it);
    }
    entry->cancelled = true;
    return true;
}

int ServiceLoop::run(std::atomic<bool> &stop_flag) {
    {
        std::lock_guard lock(impl_->mutex);
        if (impl_->running) return -1;
        if (stop_flag) return 0;
        impl_->io.restart();
        impl_->running = &stop_flag;
    }
    auto work = asio::make_work_guard(impl_->io);
    for (;;) {
        try {
            impl_->io.run();
            break;
        } catch (const std::exception &e) {
            log_error(std::string("service loop: a handler failed: ") + e.what());
        }
    }
    work.reset();
    std::lock_guard lock(impl_->mutex);
    impl_->running = nullptr;
    return 0;
}

void ServiceLoop::stop(std::atomic<bool> &stop_flag) {
    std::lock_guard lock(impl_->mutex);
    stop_flag = true;
    if (impl_->running == &stop_flag) impl_->io.stop();
}

} // namespace zem::host
