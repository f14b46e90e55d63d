#include "tcp_transport.h"

#include "host_log.h"
#include "zem/tcp_frame.h"

#include <asio/connect.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/steady_timer.hpp>
#include <asio/write.hpp>

#include <array>
#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <unordered_map>

namespace zem::host {

namespace {

using asio_tcp = asio::ip::tcp;
using FramePtr = std::shared_ptr<const std::vector<std::uint8_t>>;

// A connection may listen on this many channels (a requester needs two).
constexpr std::size_t kMaxListenedChannels = 64;
// Request ids remembered for routing; older ones are forgotten first.
constexpr std::size_t kMaxRememberedIds = 65536;
// A connection names at most this many distinct unhandled channels in the log.
constexpr std::size_t kMaxUnhandledLogged = 16;
// Frames gathered into one write.
constexpr std::size_t kMaxFramesPerWrite = 64;
// A frame carries the type, the name length and at most a 255-byte name.
constexpr std::size_t kFrameOverhead = 3;
constexpr auto kReadPause = std::chrono::milliseconds(5);

std::string endpoint_text(const asio_tcp::endpoint &endpoint) {
    const auto address = endpoint.address();
    std::string text = address.is_v6() ? "[" + address.to_string() + "]" : address.to_string();
    return text + ":" + std::to_string(endpoint.port());
}

std::optional<std::uint32_t> request_id_of(const std::uint8_t *payload, std::size_t size) {
    if (size < 4) return std::nullopt;
    return (std::uint32_t(payload[0]) << 24) | (std::uint32_t(payload[1]) << 16) |
           (std::uint32_t(payload[2]) << 8) | std::uint32_t(payload[3]);
}

struct Connection {
    Connection(asio::io_context &io, asio_tcp::socket connected, std::uint64_t number)
        : socket(std::move(connected)), pause(io), id(number) {}

    asio_tcp::socket socket;
    asio::steady_timer pause; // waits while the service thread catches up
    const std::uint64_t id;
    std::string peer;
    std::array<std::uint8_t, 4> header{};
    std::vector<std::uint8_t> body;
    std::set<std::string> channels; // the channels it listens on
    std::deque<FramePtr> queue;     // frames waiting to be sent, oldest first
    std::size_t queued_bytes = 0;
    std::size_t writing = 0; // frames at the front of queue that a write holds
    bool closed = false;
    std::set<std::string> unhandled_logged;

    std::string name() const { return "connection #" + std::to_string(id) + " (" + peer + ")"; }
};

using ConnectionPtr = std::shared_ptr<Connection>;

} // namespace

struct TcpTransport::Impl {
    Impl(TcpOptions tcp_options, MessageSink &message_sink)
        : options(std::move(tcp_options)), sink(message_sink), acceptor(io), accept_retry(io),
          work(asio::make_work_guard(io)) {}

    // Everything below runs on the transport thread, except where noted.
    void start_accept();
    void start_read(const ConnectionPtr &conn);
    void read_body(const ConnectionPtr &conn);
    void handle_frame(const ConnectionPtr &conn);
    void route(const std::string &channel, const FramePtr &frame, std::optional<std::uint32_t> id);
    void enqueue(const ConnectionPtr &conn, const FramePtr &frame);
    void write_queued(const ConnectionPtr &conn);
    void remember_sender(std::uint32_t request_id, std::uint64_t connection);
    // Logs "closed" with why unless quiet (the caller logged already).
    void close_connection(const ConnectionPtr &conn, const std::string &why, bool quiet = false);
    void drop(const ConnectionPtr &conn, const std::string &why) {
        log_warning("tcp: closing " + conn->name() + ": " + why);
        close_connection(conn, {}, true);
    }

    const TcpOptions options;
    MessageSink &sink;
    asio::io_context io;
    asio_tcp::acceptor acceptor;
    asio::steady_timer accept_retry;
    asio::executor_work_guard<asio::io_context::executor_type> work;
    std::thread thread;
    std::string where;
    std::atomic<bool> closed{false};

    std::uint64_t next_connection = 1;
    std::map<std::uint64_t, ConnectionPtr> connections;

    struct Sender {
        std::uint64_t connection;
        std::uint64_t sequence;
    };
    std::unordered_map<std::uint32_t, Sender> senders;
    std::deque<std::pair<std::uint32_t, std::uint64_t>> sender_order;
    std::uint64_t sender_sequence = 0;

    // Read by send() on any thread.
    std::mutex listeners_mutex;
    std::map<std::string, int> listeners; // channel -> connections listening
};

void TcpTransport::Impl::start_accept() {
    acceptor.async_accept([this](const std::error_code &ec, asio_tcp::socket socket) {
        if (ec) {
            if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
            // Out of descriptors, for example: try again shortly, not at once.
            log_warning("tcp: accepting a connection failed: " + ec.message());
            accept_retry.expires_after(std::chrono::milliseconds(100));
            accept_retry.async_wait([this](const std::error_code &wait_ec) {
                if (!wait_ec) start_accept();
            });
            return;
        }
        std::error_code peer_ec;
        const auto remote = socket.remote_endpoint(peer_ec);
        const std::string peer = peer_ec ? "unknown peer" : endpoint_text(remote);
        if (connections.size() >= options.max_connections) {
            log_warning("tcp: refusing a connection from " + peer + ": " +
                        std::to_string(connections.size()) +
                        " connections are open (tcp_max_connections)");
            std::error_code ignored;
            socket.close(ignored);
        } else {
            std::error_code ignored;
            socket.set_option(asio_tcp::no_delay(true), ignored);
            auto conn = std::make_shared<Connection>(io, std::move(socket), next_connection++);
            conn->peer = peer;
            connections.emplace(conn->id, conn);
            log_info("tcp: " + conn->name() + " opened");
            start_read(conn);
        }
        start_accept();
    });
}

void TcpTransport::Impl::start_read(const ConnectionPtr &conn) {
    if (conn->closed) return;
    if (sink.backlogged()) {
        conn->pause.expires_after(kReadPause);
        conn->pause.async_wait([this, conn](const std::error_code &ec) {
            if (!ec) start_read(conn);
        });
        return;
    }
    asio::async_read(conn->socket, asio::buffer(conn->header),
                     [this, conn](const std::error_code &ec, std::size_t) {
                         if (conn->closed) return;
                         if (ec) {
                             close_connection(conn, ec == asio::error::eof ? "" : ec.message());
                             return;
                         }
                         read_body(conn);
                     });
}

void TcpTransport::Impl::read_body(const ConnectionPtr &conn) {
    const std::uint32_t length = zem::tcp::frame_body_length(conn->header.data());
    if (length < kFrameOverhead + 1 || length > zem::tcp::kMaxFrame) {
        drop(conn, "a frame announces " + std::to_string(length) + " bytes (allowed: " +
                       std::to_string(kFrameOverhead + 1) + " to " + std::to_string(zem::tcp::kMaxFrame) +
                       ")");
        return;
    }
    conn->body.resize(length);
    asio::async_read(conn->socket, asio::buffer(conn->body),
                     [this, conn](const std::error_code &ec, std::size_t) {
                         if (conn->closed) return;
                         if (ec) {
                             close_connection(conn, ec == asio::error::eof ? "" : ec.message());
                             return;
                         }
                         handle_frame(conn);
                     });
}

void TcpTransport::Impl::handle_frame(const ConnectionPtr &conn) {
    auto frame = zem::tcp::decode_frame_body(conn->body.data(), conn->body.size());
    // Keep a small buffer for the next frame, not the largest one seen.
    if (conn->body.capacity() > 1024 * 1024) {
        std::vector<std::uint8_t>().swap(conn->body);
    } else {
        conn->body.clear();
    }
    if (!frame) {
        drop(conn, "malformed frame (unknown type or bad channel name)");
        return;
    }
    if (frame->type == zem::tcp::kListen) {
        if (!frame->payload.empty()) {
            drop(conn, "a LISTEN frame carries a payload");
            return;
        }
        if (!conn->channels.contains(frame->channel)) {
            if (conn->channels.size() >= kMaxListenedChannels) {
                drop(conn, "it listens on more than " + std::to_string(kMaxListenedChannels) +
                               " channels");
                return;
            }
            conn->channels.insert(frame->channel);
            std::lock_guard lock(listeners_mutex);
            ++listeners[frame->channel];
        }
    } else {
        if (const auto id = request_id_of(frame->payload.data(), frame->payload.size()))
            remember_sender(*id, conn->id);
        if (!sink.deliver(frame->channel, std::move(frame->payload)) &&
            conn->unhandled_logged.size() < kMaxUnhandledLogged &&
            conn->unhandled_logged.insert(frame->channel).second) {
            log_warning("tcp: " + conn->name() + ": messages on channel \"" + frame->channel +
                        "\" are dropped: the service does not listen on it");
        }
    }
    start_read(conn);
}

void TcpTransport::Impl::remember_sender(std::uint32_t request_id, std::uint64_t connection) {
    const auto [it, inserted] = senders.try_emplace(request_id);
    if (!inserted && it->second.connection == connection) return;
    it->second = Sender{connection, ++sender_sequence};
    sender_order.emplace_back(request_id, it->second.sequence);
    while (sender_order.size() > kMaxRememberedIds) {
        const auto [old_id, old_sequence] = sender_order.front();
        sender_order.pop_front();
        const auto old = senders.find(old_id);
        if (old != senders.end() && old->second.sequence == old_sequence) senders.erase(old);
    }
}

void TcpTransport::Impl::route(const std::string &channel, const FramePtr &frame,
                               std::optional<std::uint32_t> id) {
    if (id) {
        const auto sender = senders.find(*id);
        if (sender != senders.end()) {
            const auto conn = connections.find(sender->second.connection);
            // The rest of a closed requester's stream is for nobody else.
            if (conn == connections.end()) return;
            if (conn->second->channels.contains(channel)) {
                enqueue(conn->second, frame);
                return;
            }
        }
    }
    // enqueue may close a connection, which leaves the map: collect first.
    std::vector<ConnectionPtr> targets;
    for (const auto &[number, conn] : connections)
        if (conn->channels.contains(channel)) targets.push_back(conn);
    for (const auto &conn : targets) enqueue(conn, frame);
}

void TcpTransport::Impl::enqueue(const ConnectionPtr &conn, const FramePtr &frame) {
    if (conn->closed) return;
    // One frame is always admitted, however large; beyond that the queue
    // holds at most tcp_queue_limit bytes.
    if (!conn->queue.empty() && conn->queued_bytes + frame->size() > options.queue_limit) {
        drop(conn, "it fell behind: " + std::to_string(conn->queued_bytes) +
                       " bytes wait to be sent (tcp_queue_limit " +
                       std::to_string(options.queue_limit) + ")");
        return;
    }
    conn->queue.push_back(frame);
    conn->queued_bytes += frame->size();
    if (conn->writing == 0) write_queued(conn);
}

void TcpTransport::Impl::write_queued(const ConnectionPtr &conn) {
    std::vector<asio::const_buffer> buffers;
    for (const auto &frame : conn->queue) {
        if (buffers.size() == kMaxFramesPerWrite) break;
        buffers.emplace_back(asio::buffer(*frame));
    }
    conn->writing = buffers.size();
    asio::async_write(conn->socket, buffers, [this, conn](const std::error_code &ec, std::size_t) {
        for (; conn->writing > 0; --conn->writing) {
            conn->queued_bytes -= conn->queue.front()->size();
            conn->queue.pop_front();
        }
        if (conn->closed) {
            conn->queue.clear();
            conn->queued_bytes = 0;
            return;
        }
        if (ec) {
            close_connection(conn, ec.message());
            return;
        }
        if (!conn->queue.empty()) write_queued(conn);
    });
}

void TcpTransport::Impl::close_connection(const ConnectionPtr &conn, const std::string &why,
                                          bool quiet) {
    if (conn->closed) return;
    conn->closed = true;
    if (!quiet) log_info("tcp: " + conn->name() + " closed" + (why.empty() ? "" : ": " + why));
    std::error_code ignored;
    conn->socket.close(ignored);
    conn->pause.cancel();
    // A write in flight still holds the frames at the front of the queue.
    if (conn->writing == 0) {
        conn->queue.clear();
        conn->queued_bytes = 0;
    }
    {
        std::lock_guard lock(listeners_mutex);
        for (const auto &channel : conn->channels) {
            const auto it = listeners.find(channel);
            if (it != listeners.end() && --it->second == 0) listeners.erase(it);
        }
    }
    connections.erase(conn->id);
    // Its ids stay remembered (and age out like any other), now naming a
    // connection that is gone: what the service still sends for them is
    // dropped instead of being spread over every other listener.
}

TcpTransport::TcpTransport(TcpOptions options, MessageSink &sink)
    : impl_(std::make_unique<Impl>(std::move(options), sink)) {}

TcpTransport::~TcpTransport() { close(); }

std::string TcpTransport::open() {
    std::string host;
    std::uint16_t port = 0;
    std::string error;
    if (!split_listen_address(impl_->options.listen, host, port, error)) return error;

    std::error_code ec;
    asio_tcp::endpoint endpoint;
    const auto address = asio::ip::make_address(host, ec);
    if (!ec) {
        endpoint = asio_tcp::endpoint(address, port);
    } else {
        asio_tcp::resolver resolver(impl_->io);
        const auto results =
            resolver.resolve(host, std::to_string(port), asio_tcp::resolver::passive, ec);
        if (ec || results.empty())
            return "cannot resolve the listen address " + host + ": " +
                   (ec ? ec.message() : std::string("no address"));
        endpoint = results.begin()->endpoint();
    }

    auto &acceptor = impl_->acceptor;
    const std::string wanted = endpoint_text(endpoint);
    acceptor.open(endpoint.protocol(), ec);
    if (!ec) acceptor.set_option(asio_tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(endpoint, ec);
    if (!ec) acceptor.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return "cannot listen on " + wanted + ": " + ec.message();
    impl_->where = endpoint_text(acceptor.local_endpoint(ec));

    impl_->start_accept();
    impl_->thread = std::thread([impl = impl_.get()] {
        for (;;) {
            try {
                impl->io.run();
                break;
            } catch (const std::exception &e) {
                log_error(std::string("tcp: a handler failed: ") + e.what());
            }
        }
    });
    log_info("tcp: listening on " + impl_->where);
    return {};
}

std::string TcpTransport::describe() const { return "tcp " + impl_->where; }

bool TcpTransport::listen(const std::string &) { return true; }

void TcpTransport::unlisten(const std::string &) {}

int TcpTransport::send(const std::string &channel, const void *data, std::size_t size) {
    if (impl_->closed) return -1;
    if (kFrameOverhead + channel.size() + size > zem::tcp::kMaxFrame) {
        log_error("tcp: a message of " + std::to_string(size) + " bytes on " + channel +
                  " exceeds the frame limit");
        return -1;
    }
    {
        std::lock_guard lock(impl_->listeners_mutex);
        if (!impl_->listeners.contains(channel)) return -1;
    }
    const auto id = request_id_of(static_cast<const std::uint8_t *>(data), size);
    auto frame = std::make_shared<const std::vector<std::uint8_t>>(
        zem::tcp::encode_frame(zem::tcp::kMessage, channel, data, size));
    asio::post(impl_->io, [impl = impl_.get(), channel, frame = std::move(frame), id] {
        impl->route(channel, frame, id);
    });
    return 0;
}

void TcpTransport::close() {
    if (impl_->closed.exchange(true)) return;
    if (!impl_->thread.joinable()) return;
    asio::post(impl_->io, [impl = impl_.get()] {
        std::error_code ignored;
        impl->acceptor.close(ignored);
        impl->accept_retry.cancel();
        const auto open_connections = impl->connections;
        for (const auto &[number, conn] : open_connections)
            impl->close_connection(conn, "the host shuts down");
    });
    impl_->work.reset();
    impl_->thread.join();
}

bool split_listen_address(const std::string &text, std::string &host, std::uint16_t &port,
                          std::string &error) {
    if (text.empty()) {
        host = "127.0.0.1";
        port = zem::tcp::kDefaultPort;
        return true;
    }
    std::string port_text;
    if (text.front() == '[') {
        const auto close = text.find(']');
        if (close == std::string::npos || close + 1 >= text.size() || text[close + 1] != ':') {
            error = "listen address \"" + text + "\": expected [ADDRESS]:PORT";
            return false;
        }
        host = text.substr(1, close - 1);
        port_text = text.substr(close + 2);
    } else {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || text.find(':') != colon) {
            error = "listen address \"" + text + "\": expected HOST:PORT";
            return false;
        }
        host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
    }
    unsigned long long number = 0;
    if (!parse_whole_number(port_text, number) || number > 65535) {
        error = "listen address \"" + text + "\": the port must be a number from 0 to 65535";
        return false;
    }
    if (host.empty()) host = "127.0.0.1";
    port = static_cast<std::uint16_t>(number);
    return true;
}

} // namespace zem::host
