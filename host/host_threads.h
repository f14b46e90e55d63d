// The threads the plug-in asks the host for, and its events.
//
// A host thread runs the plug-in's main with the thread's handle as its
// argument. host_run_loop on a host thread runs the service loop until the
// thread is stopped.
#pragma once

#include "zem/host_api.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace zem::host {

class ServiceLoop;

class HostThreads {
public:
    explicit HostThreads(ServiceLoop &loop);
    // Joins the threads that have ended; one still running is detached (the
    // host exits without unloading the plug-in in that case).
    ~HostThreads();
    HostThreads(const HostThreads &) = delete;
    HostThreads &operator=(const HostThreads &) = delete;

    zem_handle create_thread(zem_thread_main main);
    // Checks that the calling thread is the host thread of argument.
    int begin(zem_handle argument) const;
    int run_loop();
    // Makes the thread's run_loop return, then waits up to ms (negative:
    // no limit) for the thread to end: 0 when it ended, ZEM_WAIT_TIMEOUT
    // when it did not, -1 for an unknown thread.
    int stop_thread(zem_handle thread, int ms);
    // Waits until every host thread has ended, at most timeout, and joins
    // them; true when none is left running.
    bool join_all(std::chrono::milliseconds timeout);
    // Number of host threads that have not ended.
    int running_count() const;

    zem_handle create_event();
    int close_event(zem_handle event);
    int set_event(zem_handle event);
    // 0 once the event is set, ZEM_WAIT_TIMEOUT after ms (negative: no
    // limit), -1 for an unknown event. Events stay set once set.
    int wait_event(zem_handle event, int ms);

private:
    struct Record {
        zem_handle handle = 0;
        std::thread thread;
        std::atomic<bool> stop{false};
        bool finished = false; // guarded by mutex_
    };
    struct Event {
        std::mutex mutex;
        std::condition_variable set_cv;
        bool set = false;
    };

    std::shared_ptr<Event> find_event(zem_handle event) const;

    // The record of the host thread running on the calling thread, if any.
    static thread_local Record *current_;

    ServiceLoop &loop_;
    mutable std::mutex mutex_;
    std::condition_variable finished_cv_;
    std::map<zem_handle, std::unique_ptr<Record>> threads_;
    std::map<zem_handle, std::shared_ptr<Event>> events_;
};

} // namespace zem::host
