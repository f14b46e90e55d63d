#include "nats_transport.h"

#include "host_log.h"

#include <nats/nats.h>

#include <atomic>
#include <map>
#include <mutex>
#include <vector>

namespace zem::host {

namespace {

// A subscription may hold this much unhandled input inside the library
// before the server's messages for it are dropped as a slow consumer.
constexpr int kPendingMessages = 1000000;
constexpr int kPendingBytes = 256 * 1024 * 1024;
constexpr std::int64_t kFlushTimeoutMs = 5000;

std::string status_text(natsStatus status) {
    std::string text = natsStatus_GetText(status);
    natsStatus last = NATS_OK;
    const char *detail = nats_GetLastError(&last);
    if (detail && *detail && text.find(detail) == std::string::npos) text += std::string(": ") + detail;
    return text;
}

std::vector<std::string> split_urls(const std::string &urls) {
    std::vector<std::string> list;
    std::size_t start = 0;
    while (start <= urls.size()) {
        const auto comma = urls.find(',', start);
        const auto end = comma == std::string::npos ? urls.size() : comma;
        std::string item = urls.substr(start, end - start);
        const auto first = item.find_first_not_of(" \t");
        const auto last = item.find_last_not_of(" \t");
        if (first != std::string::npos) list.push_back(item.substr(first, last - first + 1));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    return list;
}

} // namespace

struct NatsTransport::Impl {
    Impl(NatsOptions nats_options, MessageSink &message_sink)
        : options(std::move(nats_options)), sink(message_sink) {}

    static void on_message(natsConnection *, natsSubscription *, natsMsg *msg, void *closure);
    static void on_error(natsConnection *, natsSubscription *sub, natsStatus err, void *closure);
    static void on_disconnected(natsConnection *, void *closure);
    static void on_reconnected(natsConnection *, void *closure);

    std::string configure(natsOptions *opts);

    const NatsOptions options;
    MessageSink &sink;
    natsConnection *connection = nullptr;
    std::atomic<bool> closing{false};
    std::atomic<bool> publish_failing{false};

    std::mutex subscriptions_mutex;
    std::map<std::string, natsSubscription *> subscriptions;
};

void NatsTransport::Impl::on_message(natsConnection *, natsSubscription *, natsMsg *msg,
                                     void *closure) {
    auto *impl = static_cast<Impl *>(closure);
    // Waiting here lets the library's pending limits bound what piles up
    // while the service thread is behind.
    while (impl->sink.backlogged() && !impl->closing)
        impl->sink.wait_for_room(std::chrono::milliseconds(50));
    if (!impl->closing) {
        const auto *data = reinterpret_cast<const std::uint8_t *>(natsMsg_GetData(msg));
        const int length = natsMsg_GetDataLength(msg);
        std::vector<std::uint8_t> payload(data, data + (length > 0 ? length : 0));
        impl->sink.deliver(natsMsg_GetSubject(msg), std::move(payload));
    }
    natsMsg_Destroy(msg);
}

void NatsTransport::Impl::on_error(natsConnection *, natsSubscription *sub, natsStatus err,
                                   void *) {
    std::string text = "nats: ";
    if (sub) text += std::string("subscription ") + natsSubscription_GetSubject(sub) + ": ";
    text += natsStatus_GetText(err);
    if (err == NATS_SLOW_CONSUMER) text += " (messages were dropped)";
    log_error(text);
}

void NatsTransport::Impl::on_disconnected(natsConnection *, void *closure) {
    if (!static_cast<Impl *>(closure)->closing)
        log_warning("nats: disconnected from the server; reconnecting");
}

void NatsTransport::Impl::on_reconnected(natsConnection *, void *) {
    log_info("nats: reconnected to the server");
}

std::string NatsTransport::Impl::configure(natsOptions *opts) {
    const auto urls = split_urls(options.url);
    if (urls.empty()) return "nats: no server URL given";
    std::vector<const char *> servers;
    for (const auto &url : urls) servers.push_back(url.c_str());

    auto check = [](natsStatus status, const char *what) -> std::string {
        if (status == NATS_OK) return {};
        return std::string("nats: ") + what + ": " + status_text(status);
    };
    std::string error;
    if (!(error = check(natsOptions_SetServers(opts, servers.data(), static_cast<int>(servers.size())),
                        "server URL")).empty())
        return error;
    natsOptions_SetName(opts, "zem-host");
    // A host keeps trying to reach its server for as long as it runs.
    natsOptions_SetMaxReconnect(opts, -1);
    natsOptions_SetErrorHandler(opts, on_error, this);
    natsOptions_SetDisconnectedCB(opts, on_disconnected, this);
    natsOptions_SetReconnectedCB(opts, on_reconnected, this);
    if (!options.user.empty() || !options.password.empty()) {
        if (!(error = check(natsOptions_SetUserInfo(opts, options.user.c_str(),
                                                    options.password.c_str()),
                            "user and password")).empty())
            return error;
    }
    if (!options.token.empty()) {
        if (!(error = check(natsOptions_SetToken(opts, options.token.c_str()), "token")).empty())
            return error;
    }
    bool tls = options.tls || !options.ca_file.empty() || !options.cert_file.empty() ||
               options.tls_skip_verify;
    for (const auto &url : urls)
        if (url.rfind("tls://", 0) == 0) tls = true;
    if (tls) {
        if (!(error = check(natsOptions_SetSecure(opts, true), "TLS")).empty()) return error;
        if (!options.ca_file.empty() &&
            !(error = check(natsOptions_LoadCATrustedCertificates(opts, options.ca_file.c_str()),
                            ("CA file " + options.ca_file).c_str())).empty())
            return error;
        if (!options.cert_file.empty() || !options.key_file.empty()) {
            if (options.cert_file.empty() || options.key_file.empty())
                return "nats: nats_cert_file and nats_key_file go together";
            if (!(error = check(natsOptions_LoadCertificatesChain(opts, options.cert_file.c_str(),
                                                                  options.key_file.c_str()),
                                ("certificate " + options.cert_file).c_str())).empty())
                return error;
        }
        if (options.tls_skip_verify &&
            !(error = check(natsOptions_SkipServerVerification(opts, true), "TLS verification"))
                 .empty())
            return error;
    }
    return {};
}

NatsTransport::NatsTransport(NatsOptions options, MessageSink &sink)
    : impl_(std::make_unique<Impl>(std::move(options), sink)) {}

NatsTransport::~NatsTransport() { close(); }

std::string NatsTransport::open() {
    natsOptions *opts = nullptr;
    natsStatus status = natsOptions_Create(&opts);
    if (status != NATS_OK) return "nats: " + status_text(status);
    std::string error = impl_->configure(opts);
    if (error.empty()) {
        status = natsConnection_Connect(&impl_->connection, opts);
        if (status != NATS_OK) {
            impl_->connection = nullptr;
            error = "nats: cannot connect to " + impl_->options.url + ": " + status_text(status);
        }
    }
    natsOptions_Destroy(opts);
    if (error.empty()) log_info("nats: connected to " + impl_->options.url);
    return error;
}

std::string NatsTransport::describe() const { return "nats " + impl_->options.url; }

std::size_t NatsTransport::max_payload() const {
    if (!impl_->connection) return 0;
    const std::int64_t payload = natsConnection_GetMaxPayload(impl_->connection);
    return payload > 0 ? static_cast<std::size_t>(payload) : 0;
}

bool NatsTransport::listen(const std::string &channel) {
    if (!impl_->connection) return false;
    natsSubscription *sub = nullptr;
    natsStatus status =
        natsConnection_Subscribe(&sub, impl_->connection, channel.c_str(), Impl::on_message,
                                 impl_.get());
    if (status == NATS_OK)
        status = natsSubscription_SetPendingLimits(sub, kPendingMessages, kPendingBytes);
    // The server knows of the subscription once the flush returns, so that
    // a requester that starts after the host is ready is heard.
    if (status == NATS_OK) status = natsConnection_FlushTimeout(impl_->connection, kFlushTimeoutMs);
    if (status != NATS_OK) {
        log_error("nats: cannot subscribe to " + channel + ": " + status_text(status));
        if (sub) {
            natsSubscription_Unsubscribe(sub);
            natsSubscription_Destroy(sub);
        }
        return false;
    }
    std::lock_guard lock(impl_->subscriptions_mutex);
    impl_->subscriptions[channel] = sub;
    return true;
}

void NatsTransport::unlisten(const std::string &channel) {
    natsSubscription *sub = nullptr;
    {
        std::lock_guard lock(impl_->subscriptions_mutex);
        const auto it = impl_->subscriptions.find(channel);
        if (it == impl_->subscriptions.end()) return;
        sub = it->second;
        impl_->subscriptions.erase(it);
    }
    natsSubscription_Unsubscribe(sub);
    natsSubscription_Destroy(sub);
}

int NatsTransport::send(const std::string &channel, const void *data, std::size_t size) {
    if (!impl_->connection || impl_->closing) return -1;
    const natsStatus status = natsConnection_Publish(impl_->connection, channel.c_str(), data,
                                                     static_cast<int>(size));
    if (status != NATS_OK) {
        // One line when publishing starts to fail, not one per message.
        if (!impl_->publish_failing.exchange(true))
            log_error("nats: cannot publish on " + channel + ": " + status_text(status));
        return -1;
    }
    if (impl_->publish_failing.exchange(false)) log_info("nats: publishing works again");
    return 0;
}

void NatsTransport::close() {
    if (impl_->closing.exchange(true)) return;
    std::map<std::string, natsSubscription *> subscriptions;
    {
        std::lock_guard lock(impl_->subscriptions_mutex);
        subscriptions.swap(impl_->subscriptions);
    }
    for (const auto &[channel, sub] : subscriptions) {
        natsSubscription_Unsubscribe(sub);
        natsSubscription_Destroy(sub);
    }
    if (impl_->connection) {
        // Messages already published reach the server before the close.
        natsConnection_FlushTimeout(impl_->connection, 1000);
        natsConnection_Close(impl_->connection);
        natsConnection_Destroy(impl_->connection);
        impl_->connection = nullptr;
    }
}

void nats_shutdown() { nats_Close(); }

} // namespace zem::host
