// The event loop of the service thread: queued handlers and periodic timers
// run on the thread that runs the loop, one at a time. Keeps asio out of
// the other files.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>

namespace zem::host {

class ServiceLoop {
public:
    ServiceLoop();
    ~ServiceLoop();
    ServiceLoop(const ServiceLoop &) = delete;
    ServiceLoop &operator=(const ServiceLoop &) = delete;

    // Queues fn to run on the loop; any thread.
    void post(std::function<void()> fn);

    // Runs tick on the loop every period_ms milliseconds until remove_timer;
    // any thread. Ids are chosen by the caller and must be unique.
    void add_timer(std::uint64_t id, int period_ms, std::function<void()> tick);
    // Once this returns the tick of id never runs again; false for an
    // unknown id.
    bool remove_timer(std::uint64_t id);

    // Runs the loop on the calling thread until stop(stop_flag). Returns 0,
    // or -1 when another thread runs the loop already. A stop requested
    // before run makes it return at once.
    int run(std::atomic<bool> &stop_flag);
    // Sets stop_flag and makes the run it belongs to return.
    void stop(std::atomic<bool> &stop_flag);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zem::host
