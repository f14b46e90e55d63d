// The host_api table handed to the plug-in and the state behind it:
// attributes, reports, channels mapped onto a transport, timers on the
// service loop, threads and events.
//
// One HostTable exists at a time; the table's functions reach it through a
// process-wide pointer (host_report and host_is_secure_mode carry no handle).
#pragma once

#include "attribute_store.h"
#include "host_threads.h"
#include "service_loop.h"
#include "transport.h"
#include "zem/host_api.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>

namespace zem::host {

class HostTable final : public MessageSink {
public:
    HostTable(const std::map<std::string, std::string> &attributes, bool secure);
    ~HostTable();
    HostTable(const HostTable &) = delete;
    HostTable &operator=(const HostTable &) = delete;

    // The transport that carries the channels; set before the plug-in runs
    // and kept until it has ended.
    void attach(Transport &transport) { transport_ = &transport; }

    const host_api *api() const { return &api_; }
    zem_handle handle() const { return handle_; }
    HostThreads &threads() { return threads_; }

    // The text of the last error report since the last call (the reason a
    // failing init or start gives).
    std::string take_last_error();

    // MessageSink: called on transport threads.
    bool deliver(const std::string &channel, std::vector<std::uint8_t> payload) override;
    bool backlogged() const override;
    void wait_for_room(std::chrono::milliseconds timeout) override;

    // The slots of host_api.
    int report(std::uint32_t msg_id, int code, va_list args);
    const char *get_attrib(const char *name) const;
    int set_attrib(const char *name, const char *value);
    zem_handle add_inbound(const char *channel, void *context, zem_msg_handler fn);
    int remove_inbound(zem_handle registration);
    zem_handle add_outbound(const char *channel);
    int remove_outbound(zem_handle outlet);
    int send(zem_handle outlet, const void *buffer, int length);
    zem_handle add_timer(zem_timer_fn fn, void *context, int ms);
    int remove_timer(zem_handle timer);
    int is_secure() const { return secure_ ? 1 : 0; }

private:
    struct Inbound {
        std::string channel;
        void *context;
        zem_msg_handler fn;
    };

    void release_backlog(std::size_t bytes);

    const zem_handle handle_;
    const bool secure_;
    Transport *transport_ = nullptr;
    host_api api_{};
    AttributeStore attributes_;
    ServiceLoop loop_;
    HostThreads threads_;

    // Serialises registrations, which may wait on the transport.
    std::mutex registration_mutex_;
    // Guards the maps below; held only briefly.
    mutable std::mutex channels_mutex_;
    std::map<zem_handle, Inbound> inbound_;
    std::map<std::string, int> listened_; // channel -> registrations on it
    std::map<zem_handle, std::string> outbound_;

    // Bytes received and not yet handled on the service thread.
    std::atomic<std::size_t> backlog_{0};
    std::mutex backlog_mutex_;
    std::condition_variable backlog_cv_;

    std::mutex error_mutex_;
    std::string last_error_;
};

} // namespace zem::host
