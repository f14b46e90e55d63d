#include "host_threads.h"

#include "handles.h"
#include "host_log.h"
#include "service_loop.h"

#include <system_error>

namespace zem::host {

thread_local HostThreads::Record *HostThreads::current_ = nullptr;

HostThreads::HostThreads(ServiceLoop &loop) : loop_(loop) {}

HostThreads::~HostThreads() {
    std::lock_guard lock(mutex_);
    for (auto &[handle, record] : threads_) {
        if (!record->thread.joinable()) continue;
        if (record->finished) {
            record->thread.join();
        } else {
            record->thread.detach();
        }
    }
}

zem_handle HostThreads::create_thread(zem_thread_main main) {
    if (!main) return 0;
    auto record = std::make_unique<Record>();
    record->handle = next_handle();
    Record *raw = record.get();
    std::lock_guard lock(mutex_);
    try {
        record->thread = std::thread([this, raw, main] {
            current_ = raw;
            main(raw->handle);
            {
                std::lock_guard done(mutex_);
                raw->finished = true;
            }
            finished_cv_.notify_all();
        });
    } catch (const std::system_error &e) {
        log_error(std::string("cannot create a thread for the plug-in: ") + e.what());
        return 0;
    }
    const zem_handle handle = raw->handle;
    threads_.emplace(handle, std::move(record));
    return handle;
}

int HostThreads::begin(zem_handle argument) const {
    // create_thread files the record before the new thread can take the lock.
    std::lock_guard lock(mutex_);
    const auto it = threads_.find(argument);
    return it != threads_.end() && it->second.get() == current_ ? 0 : -1;
}

int HostThreads::run_loop() {
    Record *record = current_;
    if (!record) {
        log_error("host_run_loop called on a thread the host did not create");
        return -1;
    }
    const int result = loop_.run(record->stop);
    if (result != 0) log_error("host_run_loop called while another thread runs the loop");
    return result;
}

int HostThreads::stop_thread(zem_handle thread, int ms) {
    std::unique_lock lock(mutex_);
    const auto it = threads_.find(thread);
    if (it == threads_.end()) return -1;
    Record *record = it->second.get();
    loop_.stop(record->stop);
    if (record == current_) return 0; // a thread cannot wait for itself
    const auto ended = [record] { return record->finished; };
    if (ms < 0) {
        finished_cv_.wait(lock, ended);
    } else if (!finished_cv_.wait_for(lock, std::chrono::milliseconds(ms), ended)) {
        return ZEM_WAIT_TIMEOUT;
    }
    std::unique_ptr<Record> owned = std::move(it->second);
    threads_.erase(it);
    lock.unlock();
    owned->thread.join();
    return 0;
}

bool HostThreads::join_all(std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const bool all_ended = finished_cv_.wait_for(lock, timeout, [this] {
        for (const auto &[handle, record] : threads_)
            if (!record->finished) return false;
        return true;
    });
    for (auto it = threads_.begin(); it != threads_.end();) {
        if (!it->second->finished) {
            ++it;
            continue;
        }
        it->second->thread.join();
        it = threads_.erase(it);
    }
    return all_ended;
}

int HostThreads::running_count() const {
    std::lock_guard lock(mutex_);
    int count = 0;
    for (const auto &[handle, record] : threads_)
        if (!record->finished) ++count;
    return count;
}

zem_handle HostThreads::create_event() {
    const zem_handle handle = next_handle();
    std::lock_guard lock(mutex_);
    events_.emplace(handle, std::make_shared<Event>());
    return handle;
}

int HostThreads::close_event(zem_handle event) {
    std::lock_guard lock(mutex_);
    return events_.erase(event) ? 0 : -1;
}

std::shared_ptr<HostThreads::Event> HostThreads::find_event(zem_handle event) const {
    std::lock_guard lock(mutex_);
    const auto it = events_.find(event);
    return it == events_.end() ? nullptr : it->second;
}

int HostThreads::set_event(zem_handle event) {
    const auto found = find_event(event);
    if (!found) return -1;
    {
        std::lock_guard lock(found->mutex);
        found->set = true;
    }
    found->set_cv.notify_all();
    return 0;
}

int HostThreads::wait_event(zem_handle event, int ms) {
    const auto found = find_event(event);
    if (!found) return -1;
    std::unique_lock lock(found->mutex);
    const auto is_set = [&found] { return found->set; };
    if (ms < 0) {
        found->set_cv.wait(lock, is_set);
        return 0;
    }
    return found->set_cv.wait_for(lock, std::chrono::milliseconds(ms), is_set) ? 0
                                                                               : ZEM_WAIT_TIMEOUT;
}

} // namespace zem::host
