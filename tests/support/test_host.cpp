#include "test_host.h"

#include "parlance.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace zem::test {

namespace {

constexpr int kTraceCode = -51999;
// Work handed to the service thread is given up with an error, rather than
// hanging the test, when the thread runs nothing for this long.
constexpr std::chrono::seconds kDispatchTimeout{20};
// The destructor waits this long for each thread before it aborts.
constexpr std::chrono::seconds kShutdownTimeout{30};
// The value host_thread_context hands out.
constexpr zem_handle kThreadContext = 0xC0DE;

std::atomic<TestHost *> g_current{nullptr};

std::string hex(zem_handle value) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%zx", static_cast<size_t>(value));
    return text;
}

// Pulls the arguments named by format's conversions from args. Returns false
// at a conversion a catalogue format may not hold.
bool decode_args(const char *format, va_list args, std::vector<ReportArg> &out) {
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            continue;
        }
        ++p;
        if (*p == '%') {
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
            ++p;
        }
        // A '*' width or precision takes an int argument of its own.
        if (*p == '*') {
            out.emplace_back(va_arg(args, int));
            ++p;
        }
        while (*p >= '0' && *p <= '9') {
            ++p;
        }
        if (*p == '.') {
            ++p;
            if (*p == '*') {
                out.emplace_back(va_arg(args, int));
                ++p;
            }
            while (*p >= '0' && *p <= '9') {
                ++p;
            }
        }
        switch (*p) {
        case 'd':
        case 'i':
        case 'u':
        case 'x':
        case 'X':
        case 'c':
            out.emplace_back(va_arg(args, int));
            break;
        case 's': {
            const char *text = va_arg(args, const char *);
            if (text == nullptr) {
                out.emplace_back(nullptr);
            } else {
                out.emplace_back(std::string(text));
            }
            break;
        }
        default:
            return false;
        }
    }
    return true;
}

std::string format_report(int code, va_list args) {
    std::string text(256, '\0');
    va_list ap;
    va_copy(ap, args);
    int length = parlance_vformat(code, ap, text.data(), text.size());
    va_end(ap);
    if (length < 0) {
        return {};
    }
    if (static_cast<size_t>(length) >= text.size()) {
        text.assign(static_cast<size_t>(length) + 1, '\0');
        va_copy(ap, args);
        parlance_vformat(code, ap, text.data(), text.size());
        va_end(ap);
    }
    text.resize(static_cast<size_t>(length));
    return text;
}

Report decode_report(uint32_t msg_id, int code, va_list args) {
    Report report;
    report.msg_id = msg_id;
    report.code = code;
    const char *entry = parlance_lookup(code);
    std::string format;
    if (entry != nullptr) {
        format = entry;
    } else if (code == kTraceCode) {
        format = "%s";  // traces carry their text alone
    }
    report.catalogued = entry != nullptr || code == kTraceCode;
    if (report.catalogued) {
        va_list ap;
        va_copy(ap, args);
        report.decoded = decode_args(format.c_str(), ap, report.args);
        if (report.decoded) {
            report.terminated = va_arg(ap, int) == 0;
        }
        va_end(ap);
    }
    if (entry == nullptr && code == kTraceCode && report.decoded && !report.args.empty()) {
        const auto *text = std::get_if<std::string>(&report.args[0]);
        report.text = text != nullptr ? *text : "(none)";
    } else {
        report.text = format_report(code, args);
    }
    return report;
}

// The thread the host created that the calling thread is, if any.
thread_local void *tl_service_thread = nullptr;
// True while the calling thread dispatches plug-in code in inline mode.
thread_local bool tl_inline_dispatching = false;

}  // namespace

int Report::int_arg(std::size_t i) const { return std::get<int>(args.at(i)); }

const std::string &Report::str_arg(std::size_t i) const {
    return std::get<std::string>(args.at(i));
}

struct TestHost::Task {
    std::function<void()> fn;
    bool done = false;      // fn ran
    bool finished = false;  // fn ran, or was dropped
};

struct TestHost::ServiceThread {
    ThreadInfo info;
    std::thread thread;
    std::deque<std::shared_ptr<Task>> queue;
    bool busy = false;  // running a task
    std::uint64_t tasks_run = 0;
};

struct TestHost::Channel {
    enum Kind { kRegistration, kConnection, kSubscription, kPublisher };
    Kind kind;
    std::string name;
    void *context = nullptr;
    zem_msg_handler fn = nullptr;
    bool live = true;
};

struct TestHost::Timer {
    zem_timer_fn fn = nullptr;
    void *context = nullptr;
    int period_ms = 0;
    std::int64_t due_ms = 0;
};

struct TestHost::Event {
    bool set = false;
};

// The functions of the host_api table. Each finds the current host, checks
// the host handle and works under the host's lock; plug-in code is called
// only with the lock released.
struct HostCalls {
    using Channel = TestHost::Channel;
    using Lock = TestHost::Lock;

    static int report(uint32_t msg_id, int code, va_list args) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Report report = decode_report(msg_id, code, args);
        Lock lock(host->mu_);
        host->reports_.push_back(std::move(report));
        return 0;
    }

    static const char *get_attrib(zem_handle h, const char *name) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return nullptr;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "get_attrib") || name == nullptr) {
            return nullptr;
        }
        auto it = host->attribs_.find(name);
        return it == host->attribs_.end() ? nullptr : it->second->c_str();
    }

    static int set_attrib(zem_handle h, const char *name, const char *value) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        if (name == nullptr || value == nullptr) {
            Lock lock(host->mu_);
            host->error_locked("set_attrib: null name or value");
            return -1;
        }
        {
            Lock lock(host->mu_);
            if (!host->check_handle_locked(h, "set_attrib")) {
                return -1;
            }
        }
        host->set_attrib(name, value);
        return 0;
    }

    static zem_handle add_channel(zem_handle h, const char *slot, Channel::Kind kind,
                                  const char *name, void *context, zem_msg_handler fn,
                                  std::set<std::string> TestHost::*failing,
                                  std::vector<std::string> TestHost::*record) {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return 0;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, slot)) {
            return 0;
        }
        bool listens = kind == Channel::kRegistration || kind == Channel::kSubscription;
        if (name == nullptr || (listens && fn == nullptr)) {
            host->error_locked(std::string(slot) + ": null name or handler");
            return 0;
        }
        host->calls_.push_back(std::string(slot) + " " + name);
        if ((host->*failing).count(name) != 0) {
            return 0;
        }
        zem_handle handle = host->next_handle_locked();
        auto channel = std::make_unique<Channel>();
        channel->kind = kind;
        channel->name = name;
        channel->context = context;
        channel->fn = fn;
        host->channels_[handle] = std::move(channel);
        (host->*record).push_back(name);
        return handle;
    }

    static int release_channel(zem_handle h, const char *slot, Channel::Kind kind,
                               zem_handle handle) {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, slot)) {
            return -1;
        }
        auto it = host->channels_.find(handle);
        if (it == host->channels_.end() || it->second->kind != kind || !it->second->live) {
            host->calls_.push_back(std::string(slot) + " ?");
            host->error_locked(std::string(slot) + ": unknown or released handle " + hex(handle));
            return -1;
        }
        it->second->live = false;
        host->calls_.push_back(std::string(slot) + " " + it->second->name);
        return 0;
    }

    static zem_handle register_service(zem_handle h, const char *channel, void *context,
                                       zem_msg_handler fn) noexcept {
        return add_channel(h, "register_service", Channel::kRegistration, channel, context, fn,
                           &TestHost::fail_register_, &TestHost::registered_);
    }
    static int unregister_service(zem_handle h, zem_handle registration) noexcept {
        return release_channel(h, "unregister_service", Channel::kRegistration, registration);
    }
    static zem_handle open_service(zem_handle h, const char *channel, int) noexcept {
        return add_channel(h, "open_service", Channel::kConnection, channel, nullptr, nullptr,
                           &TestHost::fail_open_, &TestHost::opened_);
    }
    static int close_service(zem_handle h, zem_handle connection) noexcept {
        return release_channel(h, "close_service", Channel::kConnection, connection);
    }
    static int send(zem_handle h, zem_handle connection, const void *buffer, int length) noexcept {
        TestHost *host = TestHost::current();
        return host == nullptr ? -1 : host->send_on(h, connection, false, buffer, length);
    }
    static zem_handle create_publisher(zem_handle h, const char *subject, int) noexcept {
        return add_channel(h, "create_publisher", Channel::kPublisher, subject, nullptr, nullptr,
                           &TestHost::fail_publisher_, &TestHost::publishers_);
    }
    static int destroy_publisher(zem_handle h, zem_handle publisher) noexcept {
        return release_channel(h, "destroy_publisher", Channel::kPublisher, publisher);
    }
    static zem_handle subscribe(zem_handle h, const char *subject, zem_msg_handler fn,
                                void *context, int) noexcept {
        return add_channel(h, "subscribe", Channel::kSubscription, subject, context, fn,
                           &TestHost::fail_subscribe_, &TestHost::subscribed_);
    }
    static int unsubscribe(zem_handle h, zem_handle subscription) noexcept {
        return release_channel(h, "unsubscribe", Channel::kSubscription, subscription);
    }
    static int publish(zem_handle h, zem_handle publisher, const void *buffer, int length,
                       int) noexcept {
        TestHost *host = TestHost::current();
        return host == nullptr ? -1 : host->send_on(h, publisher, true, buffer, length);
    }

    static zem_handle add_timer(zem_handle h, zem_timer_fn fn, void *context, int ms) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return 0;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "add_timer")) {
            return 0;
        }
        host->calls_.push_back("add_timer " + std::to_string(ms));
        // A period of 0 would make every advance() spin forever.
        if (fn == nullptr || ms <= 0) {
            host->error_locked("add_timer: null callback or period " + std::to_string(ms));
            return 0;
        }
        zem_handle id = host->next_handle_locked();
        host->timers_[id] = TestHost::Timer{fn, context, ms, host->now_ms_ + ms};
        return id;
    }

    static int remove_timer(zem_handle h, zem_handle timer) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "remove_timer")) {
            return -1;
        }
        auto it = host->timers_.find(timer);
        if (it == host->timers_.end()) {
            host->calls_.push_back("remove_timer ?");
            host->error_locked("remove_timer: unknown timer " + hex(timer));
            return -1;
        }
        host->calls_.push_back("remove_timer " + std::to_string(it->second.period_ms));
        host->timers_.erase(it);
        return 0;
    }

    static zem_handle create_event(zem_handle h, int) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return 0;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "create_event")) {
            return 0;
        }
        host->calls_.push_back("create_event");
        zem_handle event = host->next_handle_locked();
        host->events_[event] = TestHost::Event{};
        return event;
    }

    static int close_event(zem_handle h, zem_handle event) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "close_event")) {
            return -1;
        }
        host->calls_.push_back("close_event");
        if (host->events_.erase(event) == 0) {
            host->error_locked("close_event: unknown event " + hex(event));
            return -1;
        }
        host->cv_.notify_all();
        return 0;
    }

    static int set_event(zem_handle h, zem_handle event) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "set_event")) {
            return -1;
        }
        host->calls_.push_back("set_event");
        auto it = host->events_.find(event);
        if (it == host->events_.end()) {
            host->error_locked("set_event: unknown event " + hex(event));
            return -1;
        }
        it->second.set = true;
        host->cv_.notify_all();
        return 0;
    }

    static int wait_event(zem_handle h, zem_handle event, int ms) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "wait_event")) {
            return -1;
        }
        std::chrono::milliseconds limit{std::max(ms, 0)};
        if (host->max_wait_ && limit > *host->max_wait_) {
            limit = *host->max_wait_;
        }
        auto state = [&]() -> int {
            auto it = host->events_.find(event);
            if (it == host->events_.end()) {
                return -1;
            }
            return it->second.set ? 0 : ZEM_WAIT_TIMEOUT;
        };
        host->cv_.wait_for(lock, limit,
                           [&] { return state() != ZEM_WAIT_TIMEOUT || host->destroying_; });
        int result = state();
        if (result < 0) {
            host->error_locked("wait_event: unknown or closed event " + hex(event));
        }
        return result;
    }

    static zem_handle create_thread(zem_handle h, zem_handle context, zem_thread_main main,
                                    zem_noop_fn, int, zem_noop_fn, zem_noop_fn, int) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return 0;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "create_thread")) {
            return 0;
        }
        host->calls_.push_back("create_thread");
        if (context != kThreadContext) {
            host->error_locked("create_thread: context " + hex(context) +
                               " is not the value host_thread_context gave");
        }
        if (host->fail_create_thread_ || host->destroying_ || main == nullptr) {
            return 0;
        }
        auto thread = std::make_unique<TestHost::ServiceThread>();
        thread->info.handle = host->next_handle_locked();
        thread->info.argument = host->next_handle_locked();
        TestHost::ServiceThread *raw = thread.get();
        try {
            raw->thread = std::thread(&TestHost::thread_body, host, raw, main);
        } catch (const std::system_error &) {
            return 0;
        }
        host->threads_.push_back(std::move(thread));
        return raw->info.handle;
    }

    static int stop_thread(zem_handle h, zem_handle thread, int, int ms) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "stop_thread")) {
            return -1;
        }
        host->calls_.push_back("stop_thread");
        TestHost::ServiceThread *target = nullptr;
        for (auto &candidate : host->threads_) {
            if (candidate->info.handle == thread) {
                target = candidate.get();
            }
        }
        if (target == nullptr) {
            host->error_locked("stop_thread: unknown thread " + hex(thread));
            return -1;
        }
        target->info.stop_requested = true;
        host->cv_.notify_all();
        if (tl_service_thread == target) {
            return 0;  // its loop returns once the running handler is done
        }
        // A real wait: the thread's teardown runs plug-in code.
        bool ended = host->cv_.wait_for(lock, std::chrono::milliseconds{std::max(ms, 0)},
                                        [&] { return target->info.main_returned; });
        if (!ended) {
            host->error_locked("stop_thread: thread " + hex(thread) + " did not end within " +
                               std::to_string(ms) + " ms");
            return -1;
        }
        std::thread finished = std::move(target->thread);
        target->info.joined = true;
        lock.unlock();
        if (finished.joinable()) {
            finished.join();
        }
        return 0;
    }

    static int run_loop(zem_handle h, int) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        auto *self = static_cast<TestHost::ServiceThread *>(tl_service_thread);
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "run_loop")) {
            return -1;
        }
        if (self == nullptr) {
            host->error_locked("run_loop: called on a thread the host did not create");
            return -1;
        }
        self->info.loop_entered = true;
        for (;;) {
            host->cv_.wait(lock, [&] {
                return self->info.stop_requested || host->destroying_ || !self->queue.empty();
            });
            if (self->info.stop_requested || host->destroying_) {
                break;
            }
            std::shared_ptr<TestHost::Task> task = std::move(self->queue.front());
            self->queue.pop_front();
            self->busy = true;
            lock.unlock();
            bool ran = run_task(host, *task);
            lock.lock();
            task->done = ran;
            task->finished = true;
            self->busy = false;
            ++self->tasks_run;
            host->cv_.notify_all();
        }
        return 0;
    }

    // Runs a task's function without the lock; false when it threw.
    static bool run_task(TestHost *host, TestHost::Task &task) {
        try {
            task.fn();
            return true;
        } catch (const std::exception &e) {
            Lock lock(host->mu_);
            host->error_locked(std::string("posted work threw: ") + e.what());
        } catch (...) {
            Lock lock(host->mu_);
            host->error_locked("posted work threw");
        }
        return false;
    }

    static int is_secure_mode() noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return 0;
        }
        Lock lock(host->mu_);
        return host->secure_ ? 1 : 0;
    }

    static int thread_begin(zem_handle h, zem_handle argument, zem_noop_fn, int, int) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        auto *self = static_cast<TestHost::ServiceThread *>(tl_service_thread);
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "thread_begin")) {
            return -1;
        }
        host->calls_.push_back("thread_begin");
        if (self == nullptr) {
            host->error_locked("thread_begin: called on a thread the host did not create");
            return -1;
        }
        ++self->info.begin_calls;
        if (argument == self->info.argument) {
            self->info.began_right = true;
        }
        return 0;
    }

    static zem_handle thread_context(zem_handle h) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return 0;
        }
        Lock lock(host->mu_);
        return host->check_handle_locked(h, "thread_context") ? kThreadContext : 0;
    }

    static int thread_end(zem_handle h) noexcept {
        TestHost *host = TestHost::current();
        if (host == nullptr) {
            return -1;
        }
        auto *self = static_cast<TestHost::ServiceThread *>(tl_service_thread);
        Lock lock(host->mu_);
        if (!host->check_handle_locked(h, "thread_end")) {
            return -1;
        }
        host->calls_.push_back("thread_end");
        if (self != nullptr) {
            ++self->info.end_calls;
        } else {
            ++host->foreign_thread_end_calls_;
        }
        return 0;
    }
};

TestHost::TestHost() {
    TestHost *expected = nullptr;
    if (!g_current.compare_exchange_strong(expected, this)) {
        throw std::logic_error("only one TestHost may exist at a time");
    }
    api_.host_report = &HostCalls::report;
    api_.host_get_attrib = &HostCalls::get_attrib;
    api_.host_set_attrib = &HostCalls::set_attrib;
    api_.host_register_service = &HostCalls::register_service;
    api_.host_unregister_service = &HostCalls::unregister_service;
    api_.host_open_service = &HostCalls::open_service;
    api_.host_close_service = &HostCalls::close_service;
    api_.host_send = &HostCalls::send;
    api_.host_add_timer = &HostCalls::add_timer;
    api_.host_remove_timer = &HostCalls::remove_timer;
    api_.host_create_event = &HostCalls::create_event;
    api_.host_close_event = &HostCalls::close_event;
    api_.host_wait_event = &HostCalls::wait_event;
    api_.host_create_thread = &HostCalls::create_thread;
    api_.host_stop_thread = &HostCalls::stop_thread;
    api_.host_run_loop = &HostCalls::run_loop;
    api_.host_create_publisher = &HostCalls::create_publisher;
    api_.host_destroy_publisher = &HostCalls::destroy_publisher;
    api_.host_subscribe = &HostCalls::subscribe;
    api_.host_unsubscribe = &HostCalls::unsubscribe;
    api_.host_publish = &HostCalls::publish;
    api_.host_is_secure_mode = &HostCalls::is_secure_mode;
    api_.host_thread_begin = &HostCalls::thread_begin;
    api_.host_thread_context = &HostCalls::thread_context;
    api_.host_thread_end = &HostCalls::thread_end;
    api_.host_set_event = &HostCalls::set_event;
}

TestHost::~TestHost() {
    {
        Lock lock(mu_);
        destroying_ = true;
        for (auto &thread : threads_) {
            thread->info.stop_requested = true;
        }
        cv_.notify_all();
    }
    // The threads still call into this host while they wind down, so it stays
    // current until they have ended.
    for (auto &thread : threads_) {
        Lock lock(mu_);
        if (!cv_.wait_for(lock, kShutdownTimeout, [&] { return thread->info.main_returned; })) {
            std::fprintf(stderr, "TestHost: service thread %s did not end; aborting\n",
                         hex(thread->info.handle).c_str());
            std::abort();
        }
        std::thread finished = std::move(thread->thread);
        lock.unlock();
        if (finished.joinable()) {
            finished.join();
        }
    }
    TestHost *self = this;
    g_current.compare_exchange_strong(self, nullptr);
}

TestHost *TestHost::current() { return g_current.load(); }

zem_handle TestHost::handle() const { return reinterpret_cast<zem_handle>(this); }

void TestHost::error_locked(std::string text) { errors_.push_back(std::move(text)); }

bool TestHost::check_handle_locked(zem_handle h, const char *slot) {
    if (h == handle()) {
        return true;
    }
    error_locked(std::string(slot) + ": wrong host handle " + hex(h));
    return false;
}

// --- attributes -------------------------------------------------------------

void TestHost::set_attrib(const std::string &name, const std::string &value) {
    Lock lock(mu_);
    auto &slot = attribs_[name];
    if (slot) {
        retired_values_.push_back(std::move(slot));
    }
    slot = std::make_unique<std::string>(value);
}

void TestHost::unset_attrib(const std::string &name) {
    Lock lock(mu_);
    auto it = attribs_.find(name);
    if (it != attribs_.end()) {
        retired_values_.push_back(std::move(it->second));
        attribs_.erase(it);
    }
}

std::optional<std::string> TestHost::attrib(const std::string &name) const {
    Lock lock(mu_);
    auto it = attribs_.find(name);
    if (it == attribs_.end()) {
        return std::nullopt;
    }
    return *it->second;
}

// --- reports and secure mode --------------------------------------------------

std::vector<Report> TestHost::reports() const {
    Lock lock(mu_);
    return reports_;
}

std::vector<Report> TestHost::reports_with(int code) const {
    Lock lock(mu_);
    std::vector<Report> found;
    for (const Report &report : reports_) {
        if (report.code == code) {
            found.push_back(report);
        }
    }
    return found;
}

void TestHost::clear_reports() {
    Lock lock(mu_);
    reports_.clear();
}

void TestHost::set_secure_mode(bool secure) {
    Lock lock(mu_);
    secure_ = secure;
}

// --- channels -----------------------------------------------------------------

void TestHost::fail_register(const std::string &channel) {
    Lock lock(mu_);
    fail_register_.insert(channel);
}

void TestHost::fail_open(const std::string &channel) {
    Lock lock(mu_);
    fail_open_.insert(channel);
}

void TestHost::fail_subscribe(const std::string &subject) {
    Lock lock(mu_);
    fail_subscribe_.insert(subject);
}

void TestHost::fail_create_publisher(const std::string &subject) {
    Lock lock(mu_);
    fail_publisher_.insert(subject);
}

void TestHost::fail_sends(const std::string &name, int result, int count) {
    Lock lock(mu_);
    channel_send_failures_[name] = SendFailure{result, count};
}

void TestHost::fail_next_sends(int count, int result) {
    Lock lock(mu_);
    next_send_failure_ = SendFailure{result, count};
}

void TestHost::clear_send_failures() {
    Lock lock(mu_);
    channel_send_failures_.clear();
    next_send_failure_ = SendFailure{};
}

std::vector<Bytes> TestHost::sent(const std::string &name) const {
    Lock lock(mu_);
    std::vector<Bytes> found;
    for (const SentMessage &message : sent_) {
        if (message.channel == name) {
            found.push_back(message.bytes);
        }
    }
    return found;
}

std::vector<SentMessage> TestHost::sent_log() const {
    Lock lock(mu_);
    return sent_;
}

int TestHost::failed_sends(const std::string &name) const {
    Lock lock(mu_);
    auto it = failed_sends_.find(name);
    return it == failed_sends_.end() ? 0 : it->second;
}

void TestHost::clear_sent() {
    Lock lock(mu_);
    sent_.clear();
    failed_sends_.clear();
}

std::vector<std::string> TestHost::registered() const {
    Lock lock(mu_);
    return registered_;
}

std::vector<std::string> TestHost::opened() const {
    Lock lock(mu_);
    return opened_;
}

std::vector<std::string> TestHost::subscribed() const {
    Lock lock(mu_);
    return subscribed_;
}

std::vector<std::string> TestHost::publishers() const {
    Lock lock(mu_);
    return publishers_;
}

std::string TestHost::channel_of(zem_handle handle) const {
    Lock lock(mu_);
    auto it = channels_.find(handle);
    return it == channels_.end() ? std::string() : it->second->name;
}

std::size_t TestHost::live_channel_handles() const {
    Lock lock(mu_);
    return static_cast<std::size_t>(std::count_if(
        channels_.begin(), channels_.end(), [](const auto &entry) { return entry.second->live; }));
}

void TestHost::on_send(SendHook hook) {
    Lock lock(mu_);
    send_hook_ = hook ? std::make_shared<SendHook>(std::move(hook)) : nullptr;
}

int TestHost::send_on(zem_handle h, zem_handle handle, bool publish, const void *buffer,
                      int length) {
    const char *slot = publish ? "publish" : "send";
    Lock lock(mu_);
    if (!check_handle_locked(h, slot)) {
        return -1;
    }
    auto it = channels_.find(handle);
    Channel::Kind kind = publish ? Channel::kPublisher : Channel::kConnection;
    if (it == channels_.end() || it->second->kind != kind || !it->second->live) {
        // Handle 0 is what the plug-in holds after a failed setup: refused,
        // but not a misuse.
        if (handle != 0) {
            error_locked(std::string(slot) + ": unknown or released handle " + hex(handle));
        }
        ++failed_sends_[""];
        return -1;
    }
    const std::string &name = it->second->name;
    if (length < 0 || (buffer == nullptr && length > 0)) {
        error_locked(std::string(slot) + " on " + name + ": bad buffer or length " +
                     std::to_string(length));
        ++failed_sends_[name];
        return -1;
    }
    auto take_failure = [](SendFailure &failure) {
        if (failure.count == 0) {
            return 0;
        }
        if (failure.count > 0) {
            --failure.count;
        }
        return failure.result;
    };
    auto channel_failure = channel_send_failures_.find(name);
    int result = channel_failure != channel_send_failures_.end()
                     ? take_failure(channel_failure->second)
                     : 0;
    if (result == 0) {
        result = take_failure(next_send_failure_);
    }
    if (result != 0) {
        ++failed_sends_[name];
        return result;
    }
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    SentMessage message{name, Bytes(bytes, bytes + length)};
    sent_.push_back(message);
    std::shared_ptr<SendHook> hook = send_hook_;
    lock.unlock();
    if (hook) {
        (*hook)(message.channel, message.bytes);
    }
    return 0;
}

std::optional<int> TestHost::deliver(const std::string &name, const Bytes &bytes) {
    auto result = std::make_shared<std::optional<int>>();
    auto payload = std::make_shared<Bytes>(bytes);
    bool ran = dispatch(
        [this, name, payload, result] {
            zem_msg_handler fn = nullptr;
            void *context = nullptr;
            {
                Lock lock(mu_);
                // The newest live listener on that name.
                for (auto it = channels_.rbegin(); it != channels_.rend(); ++it) {
                    const Channel &channel = *it->second;
                    bool listens = channel.kind == Channel::kRegistration ||
                                   channel.kind == Channel::kSubscription;
                    if (listens && channel.live && channel.name == name) {
                        fn = channel.fn;
                        context = channel.context;
                        break;
                    }
                }
            }
            if (fn != nullptr) {
                static const std::uint8_t empty = 0;
                const std::uint8_t *data = payload->empty() ? &empty : payload->data();
                *result = fn(context, data, static_cast<int>(payload->size()));
            }
        },
        true);
    // A queued delivery may still be running: its result is not ours to read.
    return ran ? *result : std::nullopt;
}

// --- dispatching ----------------------------------------------------------------

TestHost::ServiceThread *TestHost::dispatcher_locked() {
    for (auto it = threads_.rbegin(); it != threads_.rend(); ++it) {
        if (!(*it)->info.main_returned) {
            return it->get();
        }
    }
    return nullptr;
}

bool TestHost::dispatch(std::function<void()> fn, bool may_queue) {
    auto task = std::make_shared<Task>();
    task->fn = std::move(fn);
    Lock lock(mu_);
    ServiceThread *thread = dispatcher_locked();
    if (thread != nullptr) {
        if (tl_service_thread == thread) {
            if (may_queue) {
                thread->queue.push_back(std::move(task));
                cv_.notify_all();
                return false;
            }
            lock.unlock();
            return HostCalls::run_task(this, *task);
        }
        thread->queue.push_back(task);
        cv_.notify_all();
        // Wait for this task and for what it queued in turn.
        auto settled = [&] {
            return task->finished &&
                   (thread->info.main_returned || (thread->queue.empty() && !thread->busy));
        };
        std::uint64_t progress = thread->tasks_run;
        while (!cv_.wait_for(lock, kDispatchTimeout, settled)) {
            if (thread->tasks_run == progress) {
                error_locked("the service thread ran no posted work for " +
                             std::to_string(kDispatchTimeout.count()) + " s");
                return false;
            }
            progress = thread->tasks_run;
        }
        return task->done;
    }
    lock.unlock();

    // Inline mode: the calling thread dispatches.
    if (tl_inline_dispatching) {
        if (may_queue) {
            Lock queue_lock(mu_);
            inline_queue_.push_back(std::move(task));
            return false;
        }
        return HostCalls::run_task(this, *task);
    }
    std::lock_guard<std::mutex> dispatcher(inline_mu_);
    tl_inline_dispatching = true;
    bool ran = HostCalls::run_task(this, *task);
    drain_inline();
    tl_inline_dispatching = false;
    return ran;
}

void TestHost::drain_inline() {
    for (;;) {
        std::shared_ptr<Task> task;
        {
            Lock lock(mu_);
            if (inline_queue_.empty()) {
                return;
            }
            task = std::move(inline_queue_.front());
            inline_queue_.pop_front();
        }
        HostCalls::run_task(this, *task);
    }
}

bool TestHost::post(std::function<void()> fn) { return dispatch(std::move(fn), false); }

void TestHost::thread_body(ServiceThread *thread, zem_thread_main main) {
    tl_service_thread = thread;
    {
        Lock lock(mu_);
        cv_.wait_for(lock, thread_start_delay_,
                     [&] { return destroying_ || thread->info.stop_requested; });
    }
    int result = main(thread->info.argument);
    Lock lock(mu_);
    thread->info.main_returned = true;
    thread->info.main_result = result;
    // Work nobody will run any more: its waiters learn it was dropped.
    for (auto &task : thread->queue) {
        task->finished = true;
    }
    thread->queue.clear();
    cv_.notify_all();
}

// --- timers -------------------------------------------------------------------

void TestHost::advance(std::int64_t ms) {
    if (ms < 0) {
        Lock lock(mu_);
        error_locked("advance: negative time " + std::to_string(ms));
        return;
    }
    dispatch(
        [this, ms] {
            std::int64_t target;
            {
                Lock lock(mu_);
                target = now_ms_ + ms;
            }
            run_due_timers(target);
        },
        true);
}

void TestHost::run_due_timers(std::int64_t target) {
    for (;;) {
        zem_timer_fn fn = nullptr;
        void *context = nullptr;
        {
            Lock lock(mu_);
            auto due = timers_.end();
            for (auto it = timers_.begin(); it != timers_.end(); ++it) {
                if (it->second.due_ms <= target &&
                    (due == timers_.end() || it->second.due_ms < due->second.due_ms)) {
                    due = it;
                }
            }
            if (due == timers_.end()) {
                now_ms_ = std::max(now_ms_, target);
                return;
            }
            now_ms_ = due->second.due_ms;
            due->second.due_ms += due->second.period_ms;
            fn = due->second.fn;
            context = due->second.context;
        }
        fn(context);
    }
}

std::int64_t TestHost::now() const {
    Lock lock(mu_);
    return now_ms_;
}

std::vector<TimerInfo> TestHost::active_timers() const {
    Lock lock(mu_);
    std::vector<TimerInfo> timers;
    for (const auto &[id, timer] : timers_) {
        timers.push_back(TimerInfo{id, timer.period_ms, timer.due_ms});
    }
    return timers;
}

// --- events and threads ---------------------------------------------------------

void TestHost::set_max_wait(std::chrono::milliseconds limit) {
    Lock lock(mu_);
    max_wait_ = limit;
}

std::size_t TestHost::live_events() const {
    Lock lock(mu_);
    return events_.size();
}

void TestHost::fail_create_thread(bool fail) {
    Lock lock(mu_);
    fail_create_thread_ = fail;
}

void TestHost::delay_thread_start(std::chrono::milliseconds delay) {
    Lock lock(mu_);
    thread_start_delay_ = delay;
}

std::vector<ThreadInfo> TestHost::threads() const {
    Lock lock(mu_);
    std::vector<ThreadInfo> infos;
    for (const auto &thread : threads_) {
        infos.push_back(thread->info);
    }
    return infos;
}

int TestHost::foreign_thread_end_calls() const {
    Lock lock(mu_);
    return foreign_thread_end_calls_;
}

// --- diagnostics ----------------------------------------------------------------

std::vector<std::string> TestHost::calls() const {
    Lock lock(mu_);
    return calls_;
}

std::vector<std::string> TestHost::errors() const {
    Lock lock(mu_);
    return errors_;
}

}  // namespace zem::test
