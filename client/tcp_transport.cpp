#include "client/tcp_transport.h"

#include "zem/tcp_frame.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zem {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes received but not yet taken are capped: a host that floods a
// requester cannot grow its memory without bound.
constexpr std::size_t kMaxBufferedInput = 64u * 1024 * 1024;

int remaining_ms(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return 0;
    return left.count() > 1000000 ? 1000000 : static_cast<int>(left.count());
}

// A non-blocking connect that gives up at the deadline. -1 with `error` set.
int connect_one(const addrinfo *ai, Clock::time_point deadline, std::string &error) {
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0) {
        error = std::strerror(errno);
        return -1;
    }
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0) return fd;
    if (errno != EINPROGRESS) {
        error = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    pollfd p{fd, POLLOUT, 0};
    int rc;
    do {
        rc = ::poll(&p, 1, remaining_ms(deadline));
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) {
        error = "no answer within the timeout";
        ::close(fd);
        return -1;
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (rc < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) {
        error = std::strerror(rc < 0 ? errno : (so_error ? so_error : errno));
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

std::unique_ptr<TcpTransport> TcpTransport::connect(const std::string &host, std::uint16_t port,
                                                    std::chrono::milliseconds timeout,
                                                    std::string &error) {
    const bool v6 = host.find(':') != std::string::npos;
    const std::string peer = "tcp://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    const int gai = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &list);
    if (gai != 0) {
        error = "cannot resolve " + host + ": " + ::gai_strerror(gai);
        return nullptr;
    }
    const auto deadline = Clock::now() + timeout;
    std::string why = "no address";
    int fd = -1;
    for (const addrinfo *ai = list; ai && fd < 0; ai = ai->ai_next) fd = connect_one(ai, deadline, why);
    ::freeaddrinfo(list);
    if (fd < 0) {
        error = "cannot connect to " + peer + ": " + why;
        return nullptr;
    }
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return std::unique_ptr<TcpTransport>(new TcpTransport(fd, peer));
}

TcpTransport::TcpTransport(int fd, std::string peer) : fd_(fd), peer_(std::move(peer)) {}

TcpTransport::~TcpTransport() { ::close(fd_); }

TransportStatus TcpTransport::listen(const std::string &channel) {
    const auto frame = tcp::encode_frame(tcp::kListen, channel, nullptr, 0);
    return write_all(frame.data(), frame.size(), Clock::now() + std::chrono::seconds(30));
}

TransportStatus TcpTransport::send(const std::string &channel, const void *data, std::size_t size,
                                   std::chrono::milliseconds timeout) {
    if (!status_) return status_;
    if (channel.empty() || channel.size() > 255 || size + 3 + channel.size() > tcp::kMaxFrame)
        return TransportStatus::failure("message too large for a frame");
    const auto frame = tcp::encode_frame(tcp::kMessage, channel, data, size);
    return write_all(frame.data(), frame.size(), Clock::now() + timeout);
}

TransportStatus TcpTransport::write_all(const std::uint8_t *bytes, std::size_t size,
                                        Clock::time_point deadline) {
    if (!status_) return status_;
    while (size > 0) {
        const ssize_t n = ::send(fd_, bytes, size, MSG_NOSIGNAL);
        if (n > 0) {
            bytes += n;
            size -= static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            status_ = TransportStatus::failure(std::string("connection to the host lost: ") + std::strerror(errno));
            return status_;
        }
        // While the host's side is full, keep reading what it sends so that
        // neither side waits for the other.
        pollfd p{fd_, POLLOUT, 0};
        if (input_.size() - input_start_ < kMaxBufferedInput) p.events |= POLLIN;
        const int wait = remaining_ms(deadline);
        if (wait == 0) return {TransportStatus::timeout, "the host does not take messages"};
        const int rc = ::poll(&p, 1, wait);
        if (rc < 0 && errno != EINTR) {
            status_ = TransportStatus::failure(std::string("poll: ") + std::strerror(errno));
            return status_;
        }
        if (rc > 0 && (p.revents & POLLIN) && !read_available()) return status_;
    }
    return TransportStatus::success();
}

bool TcpTransport::read_available() {
    if (input_start_ > 0 && input_start_ * 2 >= input_.size()) {
        input_.erase(input_.begin(), input_.begin() + static_cast<std::ptrdiff_t>(input_start_));
        input_start_ = 0;
    }
    std::uint8_t chunk[65536];
    for (;;) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n > 0) {
            input_.insert(input_.end(), chunk, chunk + n);
            if (input_.size() - input_start_ >= kMaxBufferedInput) return true;
            continue;
        }
        if (n == 0) {
            status_ = TransportStatus::failure("the host closed the connection");
            return false;
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
        status_ = TransportStatus::failure(std::string("connection to the host lost: ") + std::strerror(errno));
        return false;
    }
}

bool TcpTransport::next_frame(Message &out) {
    for (;;) {
        const std::size_t have = input_.size() - input_start_;
        if (have < 4) return false;
        const std::uint8_t *p = input_.data() + input_start_;
        const std::uint32_t body = tcp::frame_body_length(p);
        if (body > tcp::kMaxFrame) {
            status_ = TransportStatus::failure("the host sent a frame larger than the limit");
            return false;
        }
        if (have - 4 < body) return false;
        auto frame = tcp::decode_frame_body(p + 4, body);
        input_start_ += 4 + body;
        if (!frame) {
            status_ = TransportStatus::failure("the host sent a malformed frame");
            return false;
        }
        if (frame->type != tcp::kMessage) continue; // nothing on this side listens for a host
        out.channel = std::move(frame->channel);
        out.payload = std::move(frame->payload);
        return true;
    }
}

TransportStatus TcpTransport::receive(Message &out, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        // Frames parsed before a failure are still delivered.
        if (next_frame(out)) return TransportStatus::success();
        if (!status_) return status_;
        pollfd p{fd_, POLLIN, 0};
        const int wait = remaining_ms(deadline);
        if (wait == 0) return {TransportStatus::timeout, "no message within the timeout"};
        const int rc = ::poll(&p, 1, wait);
        if (rc < 0 && errno != EINTR) {
            status_ = TransportStatus::failure(std::string("poll: ") + std::strerror(errno));
            return status_;
        }
        if (rc > 0) read_available();
    }
}

} // namespace zem
