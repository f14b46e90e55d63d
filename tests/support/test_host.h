// The test host: an in-process implementation of the host_api table for
// plug-in tests.
//
// A TestHost owns a filled host_api table and a host handle. It keeps
// attributes, records reports and every message the plug-in sends, lets a
// test deliver messages and advance a fake clock, and runs the service
// thread's loop when the plug-in starts one. Everything the plug-in calls is
// thread-safe (one mutex); plug-in code is never called with it held.
//
// Where plug-in code runs. The plug-in's handlers, timer callbacks and code
// given to post() run one at a time on the "dispatching" thread:
//  - while a thread created through host_create_thread exists (from its
//    creation until its main function returns), that thread: the work is
//    queued to it, it runs the work inside host_run_loop, and the calling
//    test thread waits;
//  - otherwise the calling thread itself (inline mode), which lets unit tests
//    of the service object work without a service thread.
// deliver(), advance() and post() return once the work and everything it
// queued in turn (see below) has run.
//
// Re-entry. A deliver() or advance() made on the dispatching thread while it
// runs plug-in code (for example from a send hook acting as the requester)
// cannot wait: it is queued, runs after the current handler returns, and
// deliver() returns std::nullopt. So handlers never nest, as with a real
// host. post() on the dispatching thread runs its function at once. In
// inline mode only plug-in code run through deliver(), advance() or post()
// counts as dispatching: a test that calls the plug-in directly and wants
// hook replies queued wraps that call in post().
//
// One TestHost exists at a time: host_report and host_is_secure_mode carry
// no handle, so they reach the current one (set by the constructor, cleared
// by the destructor). The destructor stops and joins every thread still
// running.
#pragma once

#include "zem/host_api.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

namespace zem::test {

using Bytes = std::vector<std::uint8_t>;

// One decoded report argument: an int, a string, or nullptr for a null
// string pointer.
using ReportArg = std::variant<int, std::string, std::nullptr_t>;

struct Report {
    std::uint32_t msg_id = 0;
    int code = 0;
    // False when no catalogue format was found for the code (and the code is
    // not the trace code): then args is empty and terminated is false.
    bool catalogued = false;
    // Arguments decoded by the conversions of the code's catalogue format.
    std::vector<ReportArg> args;
    // True when the int after the last argument was the terminating 0.
    bool terminated = false;
    // False when the format held a conversion the decoder does not know.
    bool decoded = true;
    // The report as the catalogue formats it.
    std::string text;

    int int_arg(std::size_t i) const;                 // throws when not an int
    const std::string &str_arg(std::size_t i) const;  // throws when not a string
};

struct SentMessage {
    std::string channel;  // "" when the handle named no live channel
    Bytes bytes;
};

struct TimerInfo {
    zem_handle id = 0;
    int period_ms = 0;
    std::int64_t due_ms = 0;  // on the fake clock
};

struct ThreadInfo {
    zem_handle handle = 0;
    zem_handle argument = 0;   // the value its main received
    int begin_calls = 0;       // host_thread_begin calls made on this thread
    bool began_right = false;  // a begin call carried this thread's argument
    int end_calls = 0;         // host_thread_end calls made on this thread
    bool loop_entered = false;
    bool stop_requested = false;
    bool main_returned = false;
    int main_result = 0;
    bool joined = false;
};

class TestHost {
public:
    // Throws std::logic_error when another TestHost exists.
    TestHost();
    ~TestHost();
    TestHost(const TestHost &) = delete;
    TestHost &operator=(const TestHost &) = delete;

    const host_api *api() const { return &api_; }
    zem_handle handle() const;
    static TestHost *current();

    // --- attributes ---------------------------------------------------------
    void set_attrib(const std::string &name, const std::string &value);
    void unset_attrib(const std::string &name);
    std::optional<std::string> attrib(const std::string &name) const;
    // Values the plug-in got stay readable until the host is destroyed, even
    // after the attribute changes (the plug-in keeps some pointers).

    // --- reports ------------------------------------------------------------
    std::vector<Report> reports() const;
    std::vector<Report> reports_with(int code) const;
    void clear_reports();

    // --- secure mode --------------------------------------------------------
    void set_secure_mode(bool secure);

    // --- channels -----------------------------------------------------------
    // Each setup call fails (returns 0) for the given channel or subject name.
    void fail_register(const std::string &channel);
    void fail_open(const std::string &channel);
    void fail_subscribe(const std::string &subject);
    void fail_create_publisher(const std::string &subject);
    // The next count sends or publishes on name return result (nonzero) and
    // are not recorded as sent; count -1 means all of them.
    void fail_sends(const std::string &name, int result, int count = -1);
    // The next count sends or publishes on any channel return result.
    void fail_next_sends(int count, int result);
    void clear_send_failures();

    // Accepted messages on one channel or subject, oldest first.
    std::vector<Bytes> sent(const std::string &name) const;
    // Every accepted message in sending order.
    std::vector<SentMessage> sent_log() const;
    // Refused sends (injected failures and unknown handles; "" for these).
    int failed_sends(const std::string &name) const;
    void clear_sent();

    // Names the plug-in set up successfully, in call order.
    std::vector<std::string> registered() const;
    std::vector<std::string> opened() const;
    std::vector<std::string> subscribed() const;
    std::vector<std::string> publishers() const;
    // The name behind any channel handle the host gave out ("" if none).
    std::string channel_of(zem_handle handle) const;
    // Registrations, connections, subscriptions and publishers not released.
    std::size_t live_channel_handles() const;

    // Runs on the sending thread after each accepted send or publish, outside
    // the host's lock. A deliver() from inside it is queued (see above).
    using SendHook = std::function<void(const std::string &name, const Bytes &bytes)>;
    void on_send(SendHook hook);

    // Hands bytes to the handler registered or subscribed on name and returns
    // its result; std::nullopt when nothing listens on name, when the call
    // was queued from the dispatching thread, or when the service thread
    // ended before handling it.
    std::optional<int> deliver(const std::string &name, const Bytes &bytes);

    // --- timers and the fake clock ------------------------------------------
    // Moves the clock by ms and runs every timer that falls due, in due order
    // (periodic timers re-arm; one removed by a callback never runs again; one
    // added by a callback counts from the current fake time).
    void advance(std::int64_t ms);
    std::int64_t now() const;
    std::vector<TimerInfo> active_timers() const;

    // --- events -------------------------------------------------------------
    // Events are manual-reset: once set, every wait returns 0 at once.
    // Waits longer than limit are cut to limit (the plug-in waits 10000 ms
    // for its start event). Default: no limit.
    void set_max_wait(std::chrono::milliseconds limit);
    // Events created and not closed.
    std::size_t live_events() const;

    // --- threads ------------------------------------------------------------
    // host_stop_thread waits for the thread in real time (its teardown runs
    // plug-in code); set_max_wait does not shorten it.
    void fail_create_thread(bool fail);
    // New threads sleep this long (real time) before running their main.
    void delay_thread_start(std::chrono::milliseconds delay);
    std::vector<ThreadInfo> threads() const;
    // Host thread_end calls made outside any thread the host created.
    int foreign_thread_end_calls() const;
    // Runs fn on the dispatching thread and waits; false on timeout.
    bool post(std::function<void()> fn);

    // --- diagnostics --------------------------------------------------------
    // Ordered record of the plug-in's setup and teardown calls, for example
    // "register_service ZemBrQkService", "close_service ZemQkBrService",
    // "add_timer 60000", "remove_timer 60000", "thread_begin", "thread_end".
    std::vector<std::string> calls() const;
    // Misuse seen by the host: wrong host handle, unknown handles, a thread
    // that did not stop in time, work the service thread never handled.
    std::vector<std::string> errors() const;

private:
    struct Task;
    struct ServiceThread;
    struct Channel;
    struct Timer;
    struct Event;
    friend struct HostCalls;

    using Lock = std::unique_lock<std::mutex>;

    zem_handle next_handle_locked() { return next_handle_++; }
    void error_locked(std::string text);
    bool check_handle_locked(zem_handle h, const char *slot);
    ServiceThread *dispatcher_locked();
    // Runs fn on the dispatching thread; returns false when it was queued
    // behind the running handler instead, or was never run.
    bool dispatch(std::function<void()> fn, bool may_queue);
    void drain_inline();
    void run_due_timers(std::int64_t target);
    int send_on(zem_handle h, zem_handle handle, bool publish, const void *buffer, int length);
    void thread_body(ServiceThread *thread, zem_thread_main main);

    host_api api_{};
    mutable std::mutex mu_;
    std::condition_variable cv_;
    zem_handle next_handle_ = 0x100;
    bool destroying_ = false;

    std::map<std::string, std::unique_ptr<std::string>> attribs_;
    std::vector<std::unique_ptr<std::string>> retired_values_;

    std::vector<Report> reports_;
    bool secure_ = false;

    std::map<zem_handle, std::unique_ptr<Channel>> channels_;
    std::set<std::string> fail_register_, fail_open_, fail_subscribe_, fail_publisher_;
    struct SendFailure {
        int result = 0;
        int count = 0;  // -1: always
    };
    std::map<std::string, SendFailure> channel_send_failures_;
    SendFailure next_send_failure_;
    std::vector<SentMessage> sent_;
    std::map<std::string, int> failed_sends_;
    std::vector<std::string> registered_, opened_, subscribed_, publishers_;
    std::shared_ptr<SendHook> send_hook_;

    std::int64_t now_ms_ = 0;
    std::map<zem_handle, Timer> timers_;

    std::map<zem_handle, Event> events_;
    std::optional<std::chrono::milliseconds> max_wait_;

    bool fail_create_thread_ = false;
    std::chrono::milliseconds thread_start_delay_{0};
    std::vector<std::unique_ptr<ServiceThread>> threads_;
    int foreign_thread_end_calls_ = 0;

    // Inline mode: work queued while the calling thread runs plug-in code.
    std::deque<std::shared_ptr<Task>> inline_queue_;
    std::mutex inline_mu_;  // one inline dispatcher at a time

    std::vector<std::string> calls_;
    std::vector<std::string> errors_;
};

}  // namespace zem::test
