// The embedded TCP transport of zem-host, requester side: one connection,
// length-prefixed frames (include/zem/tcp_frame.h), plain POSIX sockets.
#pragma once

#include "client/transport.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace zem {

class TcpTransport final : public Transport {
public:
    // Connects to host:port within `timeout`. Null with `error` set when the
    // host cannot be reached.
    static std::unique_ptr<TcpTransport> connect(const std::string &host, std::uint16_t port,
                                                 std::chrono::milliseconds timeout,
                                                 std::string &error);
    ~TcpTransport() override;
    TcpTransport(const TcpTransport &) = delete;
    TcpTransport &operator=(const TcpTransport &) = delete;

    TransportStatus listen(const std::string &channel) override;
    TransportStatus send(const std::string &channel, const void *data, std::size_t size,
                         std::chrono::milliseconds timeout) override;
    TransportStatus receive(Message &out, std::chrono::milliseconds timeout) override;
    std::string peer() const override { return peer_; }

private:
    TcpTransport(int fd, std::string peer);
    TransportStatus write_all(const std::uint8_t *bytes, std::size_t size,
                              std::chrono::steady_clock::time_point deadline);
    // Reads what the socket holds into the input buffer; false when the
    // connection ended or failed (status_ says why).
    bool read_available();
    // Takes one complete frame off the input buffer; false when none is there.
    bool next_frame(Message &out);

    int fd_;
    std::string peer_;
    std::vector<std::uint8_t> input_;
    std::size_t input_start_ = 0;
    TransportStatus status_;
};

} // namespace zem
