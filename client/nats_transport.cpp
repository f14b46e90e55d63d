#include "client/nats_transport.h"

#include <nats/nats.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <vector>

namespace zem {
namespace {

// Messages queued for the requester at most; the host's transfer window keeps
// a well-behaved transfer far below it.
constexpr std::size_t kMaxQueued = 65536;

std::string nats_text(natsStatus s) {
    std::string text = natsStatus_GetText(s);
    const char *last = nats_GetLastError(nullptr);
    if (last && *last && text.find(last) == std::string::npos) text += std::string(" (") + last + ")";
    return text;
}

std::int32_t leading_id(const void *data, int size) {
    if (size < 4) return 0;
    const auto *p = static_cast<const unsigned char *>(data);
    return static_cast<std::int32_t>((std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) |
                                     (std::uint32_t(p[2]) << 8) | std::uint32_t(p[3]));
}

// A URL for messages, without the credentials it may carry.
std::string without_credentials(const std::string &url) {
    const auto scheme = url.find("://");
    const auto at = url.find('@');
    if (scheme == std::string::npos || at == std::string::npos || at < scheme) return url;
    return url.substr(0, scheme + 3) + url.substr(at + 1);
}

} // namespace

struct NatsTransport::State {
    natsConnection *connection = nullptr;
    std::vector<natsSubscription *> subscriptions;

    std::mutex mutex;
    std::condition_variable arrived;
    std::deque<Message> queue;
    bool overflow = false;
    bool disconnected = false;
    bool closed = false; // no connection callback can run any more
    int completed = 0; // subscriptions whose handler can no longer run
    std::atomic<std::int32_t> expected{0};

    static void on_message(natsConnection *, natsSubscription *, natsMsg *msg, void *closure) {
        auto *self = static_cast<State *>(closure);
        const void *data = natsMsg_GetData(msg);
        const int size = natsMsg_GetDataLength(msg);
        const std::int32_t want = self->expected.load(std::memory_order_relaxed);
        if (want == 0 || leading_id(data, size) == want) {
            Message m;
            m.channel = natsMsg_GetSubject(msg);
            const auto *bytes = static_cast<const std::uint8_t *>(data);
            if (size > 0) m.payload.assign(bytes, bytes + size);
            std::lock_guard lock(self->mutex);
            if (self->queue.size() >= kMaxQueued) {
                self->overflow = true;
            } else {
                self->queue.push_back(std::move(m));
                self->arrived.notify_one();
            }
        }
        natsMsg_Destroy(msg);
    }

    static void on_disconnected(natsConnection *, void *closure) {
        auto *self = static_cast<State *>(closure);
        std::lock_guard lock(self->mutex);
        self->disconnected = true;
        self->arrived.notify_all();
    }

    // The library's last callback of a connection, after any disconnected one.
    static void on_closed(natsConnection *, void *closure) {
        auto *self = static_cast<State *>(closure);
        std::lock_guard lock(self->mutex);
        self->closed = true;
        self->arrived.notify_all();
    }

    static void on_complete(void *closure) {
        auto *self = static_cast<State *>(closure);
        std::lock_guard lock(self->mutex);
        ++self->completed;
        self->arrived.notify_all();
    }
};

std::unique_ptr<NatsTransport> NatsTransport::connect(const std::string &url,
                                                      std::chrono::milliseconds timeout,
                                                      std::string &error) {
    const std::string peer = without_credentials(url);
    auto state = std::make_unique<State>();
    natsOptions *options = nullptr;
    natsStatus s = natsOptions_Create(&options);
    if (s == NATS_OK) s = natsOptions_SetURL(options, url.c_str());
    if (s == NATS_OK) s = natsOptions_SetTimeout(options, timeout.count());
    // A transfer cannot survive lost messages; a dropped connection is an
    // error at once rather than a silent reconnect.
    if (s == NATS_OK) s = natsOptions_SetAllowReconnect(options, false);
    if (s == NATS_OK) s = natsOptions_SetDisconnectedCB(options, &State::on_disconnected, state.get());
    if (s == NATS_OK) s = natsOptions_SetClosedCB(options, &State::on_closed, state.get());
    if (s == NATS_OK) s = natsConnection_Connect(&state->connection, options);
    natsOptions_Destroy(options);
    if (s != NATS_OK) {
        error = "cannot connect to " + peer + ": " + nats_text(s);
        return nullptr;
    }
    return std::unique_ptr<NatsTransport>(new NatsTransport(std::move(state), peer));
}

NatsTransport::NatsTransport(std::unique_ptr<State> state, std::string peer)
    : state_(std::move(state)), peer_(std::move(peer)) {}

NatsTransport::~NatsTransport() {
    // Unsubscribe, then wait until no handler can touch the state any more.
    int closing = 0;
    for (natsSubscription *sub : state_->subscriptions)
        if (natsSubscription_Unsubscribe(sub) == NATS_OK) ++closing;
    {
        std::unique_lock lock(state_->mutex);
        state_->arrived.wait_for(lock, std::chrono::seconds(5),
                                 [&] { return state_->completed >= closing; });
    }
    for (natsSubscription *sub : state_->subscriptions) natsSubscription_Destroy(sub);
    // The disconnected and closed callbacks run later, on the library's own
    // thread: the state must outlive them.
    natsConnection_Close(state_->connection);
    bool closed = false;
    {
        std::unique_lock lock(state_->mutex);
        closed = state_->arrived.wait_for(lock, std::chrono::seconds(5), [&] { return state_->closed; });
    }
    natsConnection_Destroy(state_->connection);
    if (!closed) state_.release(); // a late callback may still come: leave it the state
}

TransportStatus NatsTransport::listen(const std::string &channel) {
    natsSubscription *sub = nullptr;
    natsStatus s = natsConnection_Subscribe(&sub, state_->connection, channel.c_str(),
                                            &State::on_message, state_.get());
    if (s != NATS_OK) return TransportStatus::failure("cannot subscribe to " + channel + ": " + nats_text(s));
    state_->subscriptions.push_back(sub);
    natsSubscription_SetOnCompleteCB(sub, &State::on_complete, state_.get());
    // A burst of a whole window must not be cut by the library's defaults.
    natsSubscription_SetPendingLimits(sub, 1000000, 1024 * 1024 * 1024);
    // The subscription is in force on the server once a round trip returns.
    s = natsConnection_FlushTimeout(state_->connection, 10000);
    if (s != NATS_OK) return TransportStatus::failure("cannot subscribe to " + channel + ": " + nats_text(s));
    return TransportStatus::success();
}

TransportStatus NatsTransport::send(const std::string &channel, const void *data, std::size_t size,
                                    std::chrono::milliseconds) {
    if (size > static_cast<std::size_t>(natsConnection_GetMaxPayload(state_->connection)))
        return TransportStatus::failure("message larger than the server's maximum payload");
    const natsStatus s = natsConnection_Publish(state_->connection, channel.c_str(), data,
                                                static_cast<int>(size));
    if (s != NATS_OK) return TransportStatus::failure("cannot publish on " + channel + ": " + nats_text(s));
    return TransportStatus::success();
}

TransportStatus NatsTransport::receive(Message &out, std::chrono::milliseconds timeout) {
    std::unique_lock lock(state_->mutex);
    const bool got = state_->arrived.wait_for(lock, timeout, [&] {
        return !state_->queue.empty() || state_->overflow || state_->disconnected;
    });
    if (state_->overflow) return TransportStatus::failure("messages from the server were lost (queue full)");
    if (!state_->queue.empty()) {
        out = std::move(state_->queue.front());
        state_->queue.pop_front();
        return TransportStatus::success();
    }
    if (got) return TransportStatus::failure("the connection to " + peer_ + " was closed");
    return {TransportStatus::timeout, "no message within the timeout"};
}

void NatsTransport::expect(std::int32_t request_id) {
    state_->expected.store(request_id, std::memory_order_relaxed);
    std::lock_guard lock(state_->mutex);
    std::erase_if(state_->queue, [&](const Message &m) {
        return request_id != 0 && leading_id(m.payload.data(), static_cast<int>(m.payload.size())) != request_id;
    });
}

} // namespace zem
