// Helpers of the host tests: a zem-host process with the test plug-in and
// its output in a file, and a raw client of the TCP frames.
#pragma once

#include "child_process.h"
#include "loopback.h"
#include "nats_server.h"
#include "scratch_dir.h"
#include "zem/tcp_frame.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zem::host_test {

using namespace std::chrono_literals;

inline constexpr const char *kRequestChannel = "ZemBrQkService";
inline constexpr const char *kAckChannel = "ZemBrQkAckSvc";
inline constexpr const char *kDataChannel = "ZemQkBrService";
inline constexpr const char *kReplyChannel = "ZemQkBrAckSvc";

using test_support::ChildProcess;
using test_support::free_loopback_port;
using test_support::NatsServer;
using test_support::ScratchDir;

// A zem-host started with the test plug-in. Extra arguments follow the
// defaults (test plug-in, catalogue directory).
std::vector<std::string> host_args(const std::vector<std::string> &extra);
std::unique_ptr<ChildProcess> run_host(const std::vector<std::string> &args,
                                       const std::filesystem::path &output);

// Starts zem-host on TCP at a free port, waiting until the service runs;
// retries with another port when the chosen one was taken meanwhile.
struct TcpHost {
    std::unique_ptr<ChildProcess> process;
    std::uint16_t port = 0;
};
TcpHost start_tcp_host(const ScratchDir &dir, const std::vector<std::string> &extra);

// The bytes of a request: the id (big-endian), the command and more bytes.
std::vector<std::uint8_t> request(std::uint32_t id, char command,
                                  const std::vector<std::uint32_t> &words = {});
std::uint32_t request_id(const std::vector<std::uint8_t> &payload);

// A blocking client of the host's TCP frames.
class FrameClient {
public:
    explicit FrameClient(std::uint16_t port);
    ~FrameClient();
    FrameClient(const FrameClient &) = delete;
    FrameClient &operator=(const FrameClient &) = delete;

    void listen(const std::string &channel);
    void send(const std::string &channel, const std::vector<std::uint8_t> &payload);
    void send_raw(const std::vector<std::uint8_t> &bytes);
    // The next frame within timeout; nullopt on timeout or a closed stream.
    std::optional<zem::tcp::Frame> read_frame(std::chrono::milliseconds timeout);
    // Reads and discards until the host closes the connection: true when it
    // did within timeout.
    bool closed_by_host(std::chrono::milliseconds timeout);
    // Sends an echo request and reads until its answer arrives, so that
    // everything this connection sent before has reached the host.
    void sync(std::uint32_t id);

private:
    bool read_exact(std::uint8_t *buffer, std::size_t size,
                    std::chrono::steady_clock::time_point deadline);
    int fd_ = -1;
};

} // namespace zem::host_test
