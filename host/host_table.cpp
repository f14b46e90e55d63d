#include "host_table.h"

#include "handles.h"
#include "host_log.h"
#include "parlance.h"

#include <cstdarg>
#include <cstring>
#include <exception>
#include <utility>

namespace zem::host {

namespace {

constexpr std::uint32_t kTraceMessage = 0x70000011;
// Received bytes the service thread may have waiting before readers pause.
constexpr std::size_t kBacklogLimit = 64u * 1024 * 1024;
// Channel names travel in TCP frames with a one-byte-wide limit.
constexpr std::size_t kMaxChannelName = 255;

std::atomic<HostTable *> g_table{nullptr};

// The table for a call that carries handle h, or null for a wrong handle.
HostTable *table_for(zem_handle h) {
    HostTable *table = g_table.load();
    return table && table->handle() == h ? table : nullptr;
}

// Runs body and turns an exception into a log line and the fallback result:
// nothing may unwind into the plug-in.
template <typename Result, typename Body>
Result guarded(const char *slot, Result fallback, Body &&body) noexcept {
    try {
        return body();
    } catch (const std::exception &e) {
        try {
            log_error(std::string(slot) + " failed: " + e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            log_error(std::string(slot) + " failed");
        } catch (...) {
        }
    }
    return fallback;
}

int slot_report(std::uint32_t msg_id, int code, va_list args) {
    HostTable *table = g_table.load();
    if (!table) return -1;
    va_list copy;
    va_copy(copy, args);
    const int result = guarded("host_report", -1, [&] { return table->report(msg_id, code, copy); });
    va_end(copy);
    return result;
}

const char *slot_get_attrib(zem_handle h, const char *name) {
    HostTable *table = table_for(h);
    if (!table || !name) return nullptr;
    return guarded("host_get_attrib", static_cast<const char *>(nullptr),
                   [&] { return table->get_attrib(name); });
}

int slot_set_attrib(zem_handle h, const char *name, const char *value) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_set_attrib", -1, [&] { return table->set_attrib(name, value); });
}

zem_handle slot_register_service(zem_handle h, const char *channel, void *context,
                                 zem_msg_handler fn) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_register_service", zem_handle{0},
                   [&] { return table->add_inbound(channel, context, fn); });
}

int slot_unregister_service(zem_handle h, zem_handle registration) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_unregister_service", -1,
                   [&] { return table->remove_inbound(registration); });
}

zem_handle slot_open_service(zem_handle h, const char *channel, int) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_open_service", zem_handle{0}, [&] { return table->add_outbound(channel); });
}

int slot_close_service(zem_handle h, zem_handle connection) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_close_service", -1, [&] { return table->remove_outbound(connection); });
}

int slot_send(zem_handle h, zem_handle connection, const void *buffer, int length) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_send", -1, [&] { return table->send(connection, buffer, length); });
}

zem_handle slot_add_timer(zem_handle h, zem_timer_fn fn, void *context, int ms) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_add_timer", zem_handle{0}, [&] { return table->add_timer(fn, context, ms); });
}

int slot_remove_timer(zem_handle h, zem_handle timer) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_remove_timer", -1, [&] { return table->remove_timer(timer); });
}

zem_handle slot_create_event(zem_handle h, int) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_create_event", zem_handle{0}, [&] { return table->threads().create_event(); });
}

int slot_close_event(zem_handle h, zem_handle event) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_close_event", -1, [&] { return table->threads().close_event(event); });
}

int slot_wait_event(zem_handle h, zem_handle event, int ms) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_wait_event", -1, [&] { return table->threads().wait_event(event, ms); });
}

zem_handle slot_create_thread(zem_handle h, zem_handle, zem_thread_main main, zem_noop_fn, int,
                              zem_noop_fn, zem_noop_fn, int) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_create_thread", zem_handle{0},
                   [&] { return table->threads().create_thread(main); });
}

int slot_stop_thread(zem_handle h, zem_handle thread, int, int ms) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_stop_thread", -1, [&] { return table->threads().stop_thread(thread, ms); });
}

int slot_run_loop(zem_handle h, int) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_run_loop", -1, [&] { return table->threads().run_loop(); });
}

zem_handle slot_create_publisher(zem_handle h, const char *subject, int) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_create_publisher", zem_handle{0},
                   [&] { return table->add_outbound(subject); });
}

int slot_destroy_publisher(zem_handle h, zem_handle publisher) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_destroy_publisher", -1, [&] { return table->remove_outbound(publisher); });
}

zem_handle slot_subscribe(zem_handle h, const char *subject, zem_msg_handler fn, void *context,
                          int) {
    HostTable *table = table_for(h);
    if (!table) return 0;
    return guarded("host_subscribe", zem_handle{0},
                   [&] { return table->add_inbound(subject, context, fn); });
}

int slot_unsubscribe(zem_handle h, zem_handle subscription) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_unsubscribe", -1, [&] { return table->remove_inbound(subscription); });
}

int slot_publish(zem_handle h, zem_handle publisher, const void *buffer, int length, int) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_publish", -1, [&] { return table->send(publisher, buffer, length); });
}

int slot_is_secure_mode() {
    HostTable *table = g_table.load();
    return table ? table->is_secure() : 0;
}

int slot_thread_begin(zem_handle h, zem_handle argument, zem_noop_fn, int, int) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_thread_begin", -1, [&] { return table->threads().begin(argument); });
}

zem_handle slot_thread_context(zem_handle h) {
    // The plug-in hands this value back to host_create_thread, which needs
    // nothing from it; it only has to be nonzero.
    return table_for(h) ? h : 0;
}

int slot_thread_end(zem_handle h) { return table_for(h) ? 0 : -1; }

int slot_set_event(zem_handle h, zem_handle event) {
    HostTable *table = table_for(h);
    if (!table) return -1;
    return guarded("host_set_event", -1, [&] { return table->threads().set_event(event); });
}

} // namespace

HostTable::HostTable(const std::map<std::string, std::string> &attributes, bool secure)
    : handle_(next_handle()), secure_(secure), attributes_(attributes),
      threads_(loop_) {
    api_.host_report = slot_report;
    api_.host_get_attrib = slot_get_attrib;
    api_.host_set_attrib = slot_set_attrib;
    api_.host_register_service = slot_register_service;
    api_.host_unregister_service = slot_unregister_service;
    api_.host_open_service = slot_open_service;
    api_.host_close_service = slot_close_service;
    api_.host_send = slot_send;
    api_.host_add_timer = slot_add_timer;
    api_.host_remove_timer = slot_remove_timer;
    api_.host_create_event = slot_create_event;
    api_.host_close_event = slot_close_event;
    api_.host_wait_event = slot_wait_event;
    api_.host_create_thread = slot_create_thread;
    api_.host_stop_thread = slot_stop_thread;
    api_.host_run_loop = slot_run_loop;
    api_.host_create_publisher = slot_create_publisher;
    api_.host_destroy_publisher = slot_destroy_publisher;
    api_.host_subscribe = slot_subscribe;
    api_.host_unsubscribe = slot_unsubscribe;
    api_.host_publish = slot_publish;
    api_.host_is_secure_mode = slot_is_secure_mode;
    api_.host_thread_begin = slot_thread_begin;
    api_.host_thread_context = slot_thread_context;
    api_.host_thread_end = slot_thread_end;
    api_.host_set_event = slot_set_event;
    g_table = this;
}

HostTable::~HostTable() { g_table = nullptr; }

std::string HostTable::take_last_error() {
    std::lock_guard lock(error_mutex_);
    return std::exchange(last_error_, std::string());
}

int HostTable::report(std::uint32_t msg_id, int code, va_list args) {
    char small[1024];
    va_list copy;
    va_copy(copy, args);
    const int needed = parlance_vformat(code, copy, small, sizeof small);
    va_end(copy);
    std::string text;
    if (needed < 0) {
        text = "(the report cannot be formatted)";
    } else if (static_cast<std::size_t>(needed) < sizeof small) {
        text.assign(small, static_cast<std::size_t>(needed));
    } else {
        text.resize(static_cast<std::size_t>(needed) + 1);
        va_copy(copy, args);
        parlance_vformat(code, copy, text.data(), text.size());
        va_end(copy);
        text.resize(static_cast<std::size_t>(needed));
    }
    const bool trace = msg_id == kTraceMessage;
    log_line(trace ? "TRACE" : "ERROR", std::to_string(code) + " " + text);
    if (!trace) {
        std::lock_guard lock(error_mutex_);
        last_error_ = std::move(text);
    }
    return 0;
}

const char *HostTable::get_attrib(const char *name) const { return attributes_.get(name); }

int HostTable::set_attrib(const char *name, const char *value) {
    if (!name || !value) return -1;
    attributes_.set(name, value);
    return 0;
}

zem_handle HostTable::add_inbound(const char *channel, void *context, zem_msg_handler fn) {
    if (!channel || !fn) return 0;
    const std::size_t length = std::strlen(channel);
    if (length == 0 || length > kMaxChannelName) {
        log_error("cannot register channel \"" + std::string(channel) +
                  "\": a channel name has 1 to 255 bytes");
        return 0;
    }
    std::lock_guard registration(registration_mutex_);
    bool first = false;
    {
        std::lock_guard lock(channels_mutex_);
        first = listened_[channel] == 0;
    }
    if (first && (!transport_ || !transport_->listen(channel))) return 0;
    const zem_handle handle = next_handle();
    std::lock_guard lock(channels_mutex_);
    ++listened_[channel];
    inbound_.emplace(handle, Inbound{channel, context, fn});
    return handle;
}

int HostTable::remove_inbound(zem_handle registration) {
    std::lock_guard registration_lock(registration_mutex_);
    std::string channel;
    bool last = false;
    {
        std::lock_guard lock(channels_mutex_);
        const auto it = inbound_.find(registration);
        if (it == inbound_.end()) return -1;
        channel = it->second.channel;
        inbound_.erase(it);
        const auto count = listened_.find(channel);
        last = --count->second == 0;
        if (last) listened_.erase(count);
    }
    if (last && transport_) transport_->unlisten(channel);
    return 0;
}

zem_handle HostTable::add_outbound(const char *channel) {
    if (!channel) return 0;
    const std::size_t length = std::strlen(channel);
    if (length == 0 || length > kMaxChannelName) {
        log_error("cannot open channel \"" + std::string(channel) +
                  "\": a channel name has 1 to 255 bytes");
        return 0;
    }
    const zem_handle handle = next_handle();
    std::lock_guard lock(channels_mutex_);
    outbound_.emplace(handle, channel);
    return handle;
}

int HostTable::remove_outbound(zem_handle outlet) {
    std::lock_guard lock(channels_mutex_);
    return outbound_.erase(outlet) ? 0 : -1;
}

int HostTable::send(zem_handle outlet, const void *buffer, int length) {
    if (length < 0 || (!buffer && length > 0)) return -1;
    std::string channel;
    {
        std::lock_guard lock(channels_mutex_);
        const auto it = outbound_.find(outlet);
        if (it == outbound_.end()) return -1;
        channel = it->second;
    }
    if (!transport_) return -1;
    return transport_->send(channel, buffer, static_cast<std::size_t>(length));
}

zem_handle HostTable::add_timer(zem_timer_fn fn, void *context, int ms) {
    if (!fn || ms <= 0) return 0;
    const zem_handle handle = next_handle();
    loop_.add_timer(handle, ms, [fn, context] { fn(context); });
    return handle;
}

int HostTable::remove_timer(zem_handle timer) { return loop_.remove_timer(timer) ? 0 : -1; }

bool HostTable::deliver(const std::string &channel, std::vector<std::uint8_t> payload) {
    {
        std::lock_guard lock(channels_mutex_);
        if (!listened_.contains(channel)) return false;
    }
    const std::size_t bytes = payload.size();
    backlog_ += bytes;
    // Handlers are looked up when the message is handled: one unregistered
    // in the meantime is not called.
    loop_.post([this, channel, bytes, message = std::move(payload)] {
        static const std::uint8_t empty = 0;
        const void *data = message.empty() ? &empty : message.data();
        std::vector<Inbound> targets;
        {
            std::lock_guard lock(channels_mutex_);
            for (const auto &[handle, inbound] : inbound_)
                if (inbound.channel == channel) targets.push_back(inbound);
        }
        for (const Inbound &target : targets)
            target.fn(target.context, data, static_cast<int>(message.size()));
        release_backlog(bytes);
    });
    return true;
}

bool HostTable::backlogged() const { return backlog_.load() > kBacklogLimit; }

void HostTable::wait_for_room(std::chrono::milliseconds timeout) {
    std::unique_lock lock(backlog_mutex_);
    backlog_cv_.wait_for(lock, timeout, [this] { return !backlogged(); });
}

void HostTable::release_backlog(std::size_t bytes) {
    const std::size_t before = backlog_.fetch_sub(bytes);
    if (before > kBacklogLimit && before - bytes <= kBacklogLimit) {
        std::lock_guard lock(backlog_mutex_);
        backlog_cv_.notify_all();
    }
}

} // namespace zem::host
