#include "host_test_support.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace zem::host_test {

std::vector<std::string> host_args(const std::vector<std::string> &extra) {
    std::vector<std::string> args = {"--plugin", ZEM_TEST_PLUGIN, "--attr",
                                     std::string("qk_dat_dir=") + ZEM_HOST_TEST_DATA};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
}

std::unique_ptr<ChildProcess> run_host(const std::vector<std::string> &args,
                                       const std::filesystem::path &output) {
    auto process = std::make_unique<ChildProcess>(ZEM_HOST_BINARY, host_args(args), output);
    process->kill_when_destroyed();
    process->watch_for_sanitizer_reports("zem-host");
    return process;
}

TcpHost start_tcp_host(const ScratchDir &dir, const std::vector<std::string> &extra) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        TcpHost host;
        host.port = free_loopback_port();
        std::vector<std::string> args = {"--listen", "127.0.0.1:" + std::to_string(host.port)};
        args.insert(args.end(), extra.begin(), extra.end());
        host.process = run_host(args, dir.path() / "host.log");
        if (host.process->wait_for_output("service started", 10s)) return host;
        if (host.process->output().find("in use") == std::string::npos) {
            ADD_FAILURE() << "zem-host did not start:\n" << host.process->output();
            return host;
        }
    }
    ADD_FAILURE() << "no free port for zem-host";
    return {};
}

std::vector<std::uint8_t> request(std::uint32_t id, char command,
                                  const std::vector<std::uint32_t> &words) {
    std::vector<std::uint8_t> bytes;
    auto put = [&bytes](std::uint32_t v) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(std::uint8_t(v >> shift));
    };
    put(id);
    bytes.push_back(static_cast<std::uint8_t>(command));
    for (const auto word : words) put(word);
    return bytes;
}

std::uint32_t request_id(const std::vector<std::uint8_t> &payload) {
    if (payload.size() < 4) return 0;
    return (std::uint32_t(payload[0]) << 24) | (std::uint32_t(payload[1]) << 16) |
           (std::uint32_t(payload[2]) << 8) | std::uint32_t(payload[3]);
}

FrameClient::FrameClient(std::uint16_t port) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
        throw std::runtime_error("cannot connect to zem-host on port " + std::to_string(port));
    const int one = 1;
    setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

FrameClient::~FrameClient() {
    if (fd_ >= 0) close(fd_);
}

void FrameClient::send_raw(const std::vector<std::uint8_t> &bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) throw std::runtime_error("send to zem-host failed");
        sent += static_cast<std::size_t>(n);
    }
}

void FrameClient::listen(const std::string &channel) {
    send_raw(zem::tcp::encode_frame(zem::tcp::kListen, channel, nullptr, 0));
}

void FrameClient::send(const std::string &channel, const std::vector<std::uint8_t> &payload) {
    send_raw(zem::tcp::encode_frame(zem::tcp::kMessage, channel, payload.data(), payload.size()));
}

bool FrameClient::read_exact(std::uint8_t *buffer, std::size_t size,
                             std::chrono::steady_clock::time_point deadline) {
    std::size_t got = 0;
    while (got < size) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = recv(fd_, buffer + got, size - got, 0);
        if (n <= 0) return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

std::optional<zem::tcp::Frame> FrameClient::read_frame(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t prefix[4];
    if (!read_exact(prefix, sizeof prefix, deadline)) return std::nullopt;
    std::vector<std::uint8_t> body(zem::tcp::frame_body_length(prefix));
    if (!read_exact(body.data(), body.size(), deadline)) return std::nullopt;
    return zem::tcp::decode_frame_body(body.data(), body.size());
}

bool FrameClient::closed_by_host(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::vector<std::uint8_t> sink(1 << 16);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        const ssize_t n = recv(fd_, sink.data(), sink.size(), 0);
        if (n <= 0) return true; // end of stream or reset
    }
}

void FrameClient::sync(std::uint32_t id) {
    send(kRequestChannel, request(id, 'E'));
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (std::chrono::steady_clock::now() < deadline) {
        const auto frame = read_frame(1s);
        if (frame && request_id(frame->payload) == id) return;
    }
    throw std::runtime_error("no answer to the sync request " + std::to_string(id));
}

} // namespace zem::host_test
