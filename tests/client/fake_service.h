// A stand-in for zem-host and its service in requester tests: it accepts
// requesters on a loopback port, speaks the TCP frames, decodes every
// message and hands it to the test's handler, which answers as the service
// would (or would not).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zem::test {

// One message the fake received, decoded.
struct Received {
    std::string channel;
    std::int32_t request_id = 0;
    std::int32_t action = 0;
    std::int32_t flags = 0;
    std::string source;
    std::string destination;
    std::int32_t offset = 0;
    std::int32_t length = 0;
    std::int32_t final = 0;
    std::uint64_t total_size = 0;
    std::vector<std::uint8_t> data; // the first `length` bytes
};

class FakeService {
public:
    using Handler = std::function<void(FakeService &, const Received &)>;

    // Serves requesters that use chunk size `buffer_size` and no subject.
    explicit FakeService(int buffer_size);
    ~FakeService();
    FakeService(const FakeService &) = delete;
    FakeService &operator=(const FakeService &) = delete;

    std::string url() const { return "tcp://127.0.0.1:" + std::to_string(port_); }
    int buffer_size() const { return buffer_size_; }

    // Called on the fake's thread for every decoded message; set it before a
    // requester connects. Without one, nothing is answered. What a handler
    // uses must outlive the fake (declare it before the fake).
    void on_message(Handler handler);
    // Called on the fake's thread when no message came for `quiet`.
    void on_idle(std::chrono::milliseconds quiet, std::function<void(FakeService &)> handler);

    // Answers on the reply channel: a record with no strings and no data.
    void reply(std::int32_t id, std::int32_t action, std::int32_t final, std::uint64_t total_size = 0);
    // Sends a data chunk of `length` valid bytes; a length above the buffer
    // size is sent as it stands with the buffer's worth of bytes (a fault).
    void chunk(std::int32_t id, const void *data, int length, std::int32_t final, std::uint64_t total_size,
               std::int32_t action = 1 /* ZEM_RETRIEVE */);
    // Ends the current connection.
    void disconnect();

    // Everything received so far, in order.
    std::vector<Received> received() const;
    // Waits up to `limit` until `predicate` holds for what was received.
    bool wait_for(const std::function<bool(const std::vector<Received> &)> &predicate,
                  std::chrono::milliseconds limit = std::chrono::seconds(5)) const;
    std::vector<std::string> listened() const;

private:
    void run();
    void serve(int fd);
    void send_frame(const std::string &channel, const std::vector<std::uint8_t> &payload);

    int buffer_size_;
    int listen_fd_ = -1;
    int wake_fd_[2] = {-1, -1};
    std::uint16_t port_ = 0;
    int connection_ = -1; // the fake's thread only
    Handler handler_;
    std::function<void(FakeService &)> idle_handler_;
    std::chrono::milliseconds quiet_{0};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Received> received_;
    std::vector<std::string> listened_;
    std::thread thread_;
};

} // namespace zem::test
