// A small plug-in for the host tests. It drives the host_api like the real
// service (channels in both variants, a timer, a thread with a start event,
// reports, a request log) and answers commands carried in its requests.
//
// Every message starts with a 4-byte big-endian request id; the byte after
// it selects what the plug-in does with a request:
//   'E'  echo the message on the data channel
//   'A'  echo the message on the reply channel
//   'F'  flood: u32 count, u32 size; send count messages of size bytes
//        (starting with the request id) on the data channel
//   'U'  send an 8-byte message with the u32 id that follows on the data
//        channel (an id no requester used)
//   'R'  report -51994 with the arguments 42 and "zem_actions_e"
//   'T'  answer on the reply channel with the id, 'T' and the u32 count of
//        timer ticks so far
//   'G'  the rest is an attribute name: answer on the reply channel with the
//        id, then 'G' and the value, or 'N' when it is unset
// Acknowledgements are echoed on the reply channel.
#include "parlance.h"
#include "zem/host_api.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr std::uint32_t kErrorMessage = 0x70020020;

zem_handle g_host = 0;
const host_api *g_api = nullptr;
service_descriptor g_descriptor;
zem_handle g_thread = 0;
zem_handle g_start_event = 0;
std::atomic<std::uint32_t> g_ticks{0};

struct Channels {
    bool subscribed = false;
    zem_handle request = 0, ack = 0, data = 0, reply = 0;
} g_channels;

FILE *g_log = nullptr;

void report(int code, ...) {
    va_list args;
    va_start(args, code);
    g_api->host_report(kErrorMessage, code, args);
    va_end(args);
}

std::uint32_t get_u32(const std::uint8_t *p) {
    return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) |
           std::uint32_t(p[3]);
}

void put_u32(std::uint8_t *p, std::uint32_t v) {
    p[0] = std::uint8_t(v >> 24);
    p[1] = std::uint8_t(v >> 16);
    p[2] = std::uint8_t(v >> 8);
    p[3] = std::uint8_t(v);
}

int send_on(zem_handle outlet, const void *buffer, int length) {
    if (g_channels.subscribed) return g_api->host_publish(g_host, outlet, buffer, length, 0);
    return g_api->host_send(g_host, outlet, buffer, length);
}

int handle_request(void *, const void *buffer, int length) {
    const auto *bytes = static_cast<const std::uint8_t *>(buffer);
    if (length < 5) return 0;
    const std::uint32_t id = get_u32(bytes);
    if (g_log) {
        std::fprintf(g_log, "request %u %c\n", id, bytes[4]);
        std::fflush(g_log);
    }
    switch (bytes[4]) {
    case 'E':
        send_on(g_channels.data, buffer, length);
        break;
    case 'A':
        send_on(g_channels.reply, buffer, length);
        break;
    case 'F': {
        if (length < 13) break;
        const std::uint32_t count = get_u32(bytes + 5);
        const std::uint32_t size = get_u32(bytes + 9);
        std::vector<std::uint8_t> chunk(size < 4 ? 4 : size, 0x5a);
        put_u32(chunk.data(), id);
        for (std::uint32_t i = 0; i < count; ++i)
            if (send_on(g_channels.data, chunk.data(), static_cast<int>(chunk.size())) != 0) break;
        break;
    }
    case 'U': {
        if (length < 9) break;
        std::uint8_t message[8] = {};
        std::memcpy(message, bytes + 5, 4);
        message[4] = 'U';
        send_on(g_channels.data, message, sizeof message);
        break;
    }
    case 'R':
        report(-51994, 42, "zem_actions_e", 0);
        break;
    case 'T': {
        std::uint8_t message[9] = {};
        put_u32(message, id);
        message[4] = 'T';
        put_u32(message + 5, g_ticks.load());
        send_on(g_channels.reply, message, sizeof message);
        break;
    }
    case 'G': {
        const std::string name(reinterpret_cast<const char *>(bytes + 5),
                               static_cast<std::size_t>(length - 5));
        const char *value = g_api->host_get_attrib(g_host, name.c_str());
        std::vector<std::uint8_t> message(bytes, bytes + 4);
        message.push_back(value ? 'G' : 'N');
        if (value) message.insert(message.end(), value, value + std::strlen(value));
        send_on(g_channels.reply, message.data(), static_cast<int>(message.size()));
        break;
    }
    default:
        break;
    }
    return 0;
}

int handle_ack(void *, const void *buffer, int length) {
    send_on(g_channels.reply, buffer, length);
    return 0;
}

int tick(void *) {
    ++g_ticks;
    return 0;
}

int noop() { return 0; }

void open_channels() {
    const char *subject = g_api->host_get_attrib(g_host, "zem_ps_subject");
    if (subject && *subject) {
        auto name = [subject](const char *base) { return std::string(base) + "_" + subject; };
        g_channels.subscribed = true;
        g_channels.request = g_api->host_subscribe(g_host, name("ZemBrQkService").c_str(),
                                                   handle_request, nullptr, 0);
        g_channels.ack =
            g_api->host_subscribe(g_host, name("ZemBrQkAckSvc").c_str(), handle_ack, nullptr, 0);
        g_channels.data = g_api->host_create_publisher(g_host, name("ZemQkBrService").c_str(), 3);
        g_channels.reply = g_api->host_create_publisher(g_host, name("ZemQkBrAckSvc").c_str(), 3);
    } else {
        g_channels.request =
            g_api->host_register_service(g_host, "ZemBrQkService", nullptr, handle_request);
        g_channels.ack = g_api->host_register_service(g_host, "ZemBrQkAckSvc", nullptr, handle_ack);
        g_channels.data = g_api->host_open_service(g_host, "ZemQkBrService", 0);
        g_channels.reply = g_api->host_open_service(g_host, "ZemQkBrAckSvc", 0);
    }
}

void close_channels() {
    if (g_channels.subscribed) {
        g_api->host_destroy_publisher(g_host, g_channels.data);
        g_api->host_destroy_publisher(g_host, g_channels.reply);
        g_api->host_unsubscribe(g_host, g_channels.request);
        g_api->host_unsubscribe(g_host, g_channels.ack);
    } else {
        g_api->host_close_service(g_host, g_channels.data);
        g_api->host_close_service(g_host, g_channels.reply);
        g_api->host_unregister_service(g_host, g_channels.request);
        g_api->host_unregister_service(g_host, g_channels.ack);
    }
    g_channels = Channels{};
}

int service_thread_main(zem_handle argument) {
    if (g_api->host_thread_begin(g_host, argument, noop, 0, 1) != 0) return -1;
    open_channels();
    const zem_handle timer = g_api->host_add_timer(g_host, tick, nullptr, 20);
    const char *log_path = g_api->host_get_attrib(g_host, "zem_debug_file");
    if (log_path && *log_path) g_log = std::fopen(log_path, "w");
    g_api->host_set_event(g_host, g_start_event);
    g_api->host_run_loop(g_host, 0);
    close_channels();
    g_api->host_remove_timer(g_host, timer);
    if (g_log) {
        std::fputs("closed\n", g_log);
        std::fclose(g_log);
        g_log = nullptr;
    }
    g_api->host_thread_end(g_host);
    return 0;
}

int init() {
    if (!g_api->host_get_attrib(g_host, "zem_window_size"))
        g_api->host_set_attrib(g_host, "zem_window_size", "20");
    const char *catalogue_dir = g_api->host_get_attrib(g_host, "qk_dat_dir");
    AddResourceFile((std::string(catalogue_dir ? catalogue_dir : "") + "/zem_msg_res").c_str());
    if (!g_api->host_get_attrib(g_host, "zem_buffer_size"))
        g_api->host_set_attrib(g_host, "zem_buffer_size", "7168");
    if (!g_api->host_get_attrib(g_host, "netdir_path")) {
        report(-51988, 0);
        return -1;
    }
    return 0;
}

int start() {
    // Attribute test_start_failure makes start fail: "report" before any
    // thread exists, "thread" with the service thread up and running.
    const char *failure = g_api->host_get_attrib(g_host, "test_start_failure");
    if (failure && std::strcmp(failure, "report") == 0) {
        report(-51990, 0);
        return -1;
    }
    g_start_event = g_api->host_create_event(g_host, 1);
    const zem_handle context = g_api->host_thread_context(g_host);
    g_thread = g_api->host_create_thread(g_host, context, service_thread_main, noop, 0, noop, noop, 0);
    if (!g_thread) return -1;
    if (g_api->host_wait_event(g_host, g_start_event, 10000) == ZEM_WAIT_TIMEOUT ||
        (failure && std::strcmp(failure, "thread") == 0)) {
        report(-51989, 10000, 0);
        return -1;
    }
    g_api->host_close_event(g_host, g_start_event);
    return 0;
}

int stop() {
    g_api->host_stop_thread(g_host, g_thread, 0, 10000);
    return 0;
}

int term() { return 0; }

} // namespace

extern "C" __attribute__((visibility("default"))) service_descriptor *
configure_zem_svc(zem_handle host, const host_api *api) {
    g_host = host;
    g_api = api;
    g_descriptor = service_descriptor{};
    g_descriptor.name = "host test service";
    g_descriptor.init = init;
    g_descriptor.term = term;
    g_descriptor.start = start;
    g_descriptor.stop = stop;
    return &g_descriptor;
}
