#include "fake_service.h"

#include "client/record_codec.h"
#include "zem/tcp_frame.h"

#include <arpa/inet.h>
#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace zem::test {

FakeService::FakeService(int buffer_size) : buffer_size_(buffer_size) {
    listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 ||
        ::listen(listen_fd_, 8) != 0 || ::getsockname(listen_fd_, reinterpret_cast<sockaddr *>(&addr), &len) != 0 ||
        ::pipe2(wake_fd_, O_CLOEXEC) != 0)
        throw std::runtime_error("fake service: cannot listen on loopback");
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] { run(); });
}

FakeService::~FakeService() {
    const char stop = 1;
    ssize_t ignored = ::write(wake_fd_[1], &stop, 1);
    (void)ignored;
    thread_.join();
    ::close(listen_fd_);
    ::close(wake_fd_[0]);
    ::close(wake_fd_[1]);
}

void FakeService::on_message(Handler handler) {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
}

void FakeService::on_idle(std::chrono::milliseconds quiet, std::function<void(FakeService &)> handler) {
    std::lock_guard lock(mutex_);
    quiet_ = quiet;
    idle_handler_ = std::move(handler);
}

void FakeService::run() {
    for (;;) {
        pollfd p[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (!(p[0].revents & POLLIN)) continue;
        const int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        connection_ = fd;
        serve(fd);
        if (connection_ >= 0) ::close(connection_);
        connection_ = -1;
    }
}

void FakeService::serve(int fd) {
    std::vector<std::uint8_t> input;
    for (;;) {
        Handler handler;
        std::function<void(FakeService &)> idle;
        std::chrono::milliseconds quiet;
        {
            std::lock_guard lock(mutex_);
            handler = handler_;
            idle = idle_handler_;
            quiet = quiet_;
        }
        pollfd p[2] = {{fd, POLLIN, 0}, {wake_fd_[0], POLLIN, 0}};
        const int rc = ::poll(p, 2, idle ? static_cast<int>(quiet.count()) : 100);
        if (rc < 0 && errno != EINTR) return;
        if (p[1].revents) return;
        if (rc == 0) {
            if (idle) idle(*this);
            continue;
        }
        if (!(p[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        std::uint8_t chunk[65536];
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        input.insert(input.end(), chunk, chunk + n);
        std::size_t start = 0;
        while (input.size() - start >= 4) {
            const std::uint32_t body = tcp::frame_body_length(input.data() + start);
            if (input.size() - start - 4 < body) break;
            auto frame = tcp::decode_frame_body(input.data() + start + 4, body);
            start += 4 + body;
            if (!frame) return;
            if (frame->type == tcp::kListen) {
                std::lock_guard lock(mutex_);
                listened_.push_back(frame->channel);
                changed_.notify_all();
                continue;
            }
            DecodedRecord record;
            if (!record.decode(frame->payload, buffer_size_)) continue;
            Received r;
            r.channel = frame->channel;
            r.request_id = record->request_id;
            r.action = record->action;
            r.flags = record->flags;
            r.source = record->source ? record->source : "";
            r.destination = record->destination ? record->destination : "";
            r.offset = record->offset;
            r.length = record->length;
            r.final = record->final;
            r.total_size = record->total_size;
            if (record->data && record->length > 0)
                r.data.assign(record->data, record->data + record->length);
            {
                std::lock_guard lock(mutex_);
                received_.push_back(r);
                changed_.notify_all();
            }
            if (handler) handler(*this, r);
            if (connection_ < 0) return; // the handler disconnected
        }
        input.erase(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(start));
    }
}

void FakeService::send_frame(const std::string &channel, const std::vector<std::uint8_t> &payload) {
    if (connection_ < 0) return;
    const auto frame = tcp::encode_frame(tcp::kMessage, channel, payload.data(), payload.size());
    std::size_t done = 0;
    while (done < frame.size()) {
        const ssize_t n = ::send(connection_, frame.data() + done, frame.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

void FakeService::reply(std::int32_t id, std::int32_t action, std::int32_t final, std::uint64_t total_size) {
    zem_request_data record{};
    record.request_id = id;
    record.action = action;
    record.final = final;
    record.total_size = total_size;
    std::vector<std::uint8_t> bytes;
    encode_record(record, buffer_size_, bytes);
    send_frame("ZemQkBrAckSvc", bytes);
}

void FakeService::chunk(std::int32_t id, const void *data, int length, std::int32_t final,
                        std::uint64_t total_size, std::int32_t action) {
    std::vector<char> buffer(static_cast<std::size_t>(buffer_size_));
    // A length above the buffer size is sent as claimed, with the bytes that fit.
    if (length > 0) std::copy_n(static_cast<const char *>(data), std::min(length, buffer_size_), buffer.begin());
    zem_request_data record{};
    record.request_id = id;
    record.action = action;
    record.length = length;
    record.final = final;
    record.total_size = total_size;
    record.data = buffer.data();
    record.source = const_cast<char *>("/srv/zem/source");
    std::vector<std::uint8_t> bytes;
    encode_record(record, buffer_size_, bytes);
    send_frame("ZemQkBrService", bytes);
}

void FakeService::disconnect() {
    if (connection_ >= 0) ::close(connection_);
    connection_ = -1;
}

std::vector<Received> FakeService::received() const {
    std::lock_guard lock(mutex_);
    return received_;
}

bool FakeService::wait_for(const std::function<bool(const std::vector<Received> &)> &predicate,
                           std::chrono::milliseconds limit) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return predicate(received_); });
}

std::vector<std::string> FakeService::listened() const {
    std::lock_guard lock(mutex_);
    return listened_;
}

} // namespace zem::test
