// Helpers of the host tests: a zem-host process with its standard error in
// a file, a raw client of the TCP frames, and a nats-server process.
#pragma once

#include "zem/tcp_frame.h"

#include <sys/types.h>

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

// A fresh directory under the temporary directory, removed on destruction.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    const std::filesystem::path &path() const { return path_; }

private:
    std::filesystem::path path_;
};

// A loopback port that was free a moment ago.
std::uint16_t free_loopback_port();

// A child process whose standard output and error go to a file.
class ChildProcess {
public:
    ChildProcess(const std::string &program, const std::vector<std::string> &args,
                 std::filesystem::path output);
    // Kills the process (SIGKILL) when it still runs, and reaps it. A
    // sanitizer report in the output of a watched process fails the test.
    ~ChildProcess();
    void watch_for_sanitizer_reports() { watched_ = true; }
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return pid_; }
    std::string output() const;
    // True once text appears in the output within timeout; false when it
    // does not or the process ends first.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout);
    // The exit status when the process ended within timeout (-2 when it
    // was killed by a signal), or nullopt.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    bool running();
    void send_signal(int signal);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
    bool watched_ = false;
};

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

// /usr/sbin/nats-server on a free loopback port.
class NatsServer {
public:
    explicit NatsServer(const ScratchDir &dir, const std::vector<std::string> &extra = {});
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }
    bool ready() const { return ready_; }

private:
    std::uint16_t port_ = 0;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zem::host_test
