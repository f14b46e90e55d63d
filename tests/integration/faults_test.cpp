// Faults through the real host: a host or a requester that dies in the middle
// of a transfer, broken frames on the TCP transport, and a requester that
// stops reading.
#include "integration_support.h"

#include "client/record_codec.h"
#include "zem/tcp_frame.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zem::integration {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

// The hidden temporary file of a get in `dir` holds data.
bool temporary_has_data(const fs::path &dir) {
    for (const auto &name : list_dir(dir))
        if (name.rfind(".", 0) == 0 && size_of(dir / name) > 0) return true;
    return false;
}

class Faults : public ::testing::TestWithParam<Transport> {};

// The requester ends with an error in plain words, and nothing appears under
// the final name (nor is a temporary file left).
TEST_P(Faults, HostKilledDuringGetLeavesNoFileBehind) {
    HostSettings settings;
    settings.buffer_size = 1024;
    settings.window = 1;
    Deployment d(GetParam(), settings);
    ASSERT_TRUE(d.ready());
    fs::create_directories(d.net());
    write_pattern_file(d.net() / "big", 16 * kMiB, 61);
    const fs::path local = d / "local";
    fs::create_directories(local);

    auto get = start_zem(d.zem({"get", "big", (local / "big").string()}, 2), d / "get.log");
    ASSERT_TRUE(wait_until([&] { return temporary_has_data(local); }, 30s)) << get->output();
    // The requester waits, paused, while its host dies under it.
    get->signal(SIGSTOP);
    d.host().process().signal(SIGKILL);
    ASSERT_TRUE(d.host().process().wait_exit(10s));
    get->signal(SIGCONT);

    const auto status = get->wait_exit(30s);
    ASSERT_TRUE(status) << "the requester hangs after its host died";
    // Over TCP the connection breaks; over NATS the server stays and the
    // answers stop.
    EXPECT_EQ(*status, GetParam() == Transport::tcp ? 7 : 6) << get->output();
    EXPECT_NE(get->output().find("zem: "), std::string::npos) << get->output();
    EXPECT_EQ(list_dir(local), std::vector<std::string>{});
}

// The host drops what the dead requester left and goes on serving another
// requester whose transfer runs meanwhile, and new ones after it.
TEST_P(Faults, RequesterKilledDuringPutLeavesTheOthersServed) {
    HostSettings settings;
    settings.buffer_size = 1024;
    Deployment d(GetParam(), settings);
    ASSERT_TRUE(d.ready());
    const fs::path local = d / "local";
    fs::create_directories(local / "back");
    fs::create_directories(d.net());
    write_pattern_file(local / "big", 24 * kMiB, 62);
    write_pattern_file(d.net() / "other", 6 * kMiB, 63);

    // A window of one chunk makes the put slow enough to kill midway.
    auto put = start_zem(d.zem({"--window", "1", "put", (local / "big").string(), "in/big"}), d / "put.log");
    auto other = start_zem(d.zem({"get", "other", (local / "back" / "other").string()}), d / "other.log");
    ASSERT_TRUE(wait_until([&] { return size_of(d.net() / "in" / "big") > 0; }, 30s)) << put->output();
    put->signal(SIGKILL);
    put->wait_exit(10s);

    const auto status = other->wait_exit(60s);
    ASSERT_TRUE(status);
    EXPECT_EQ(*status, 0) << other->output();
    EXPECT_EQ(compare_files(d.net() / "other", local / "back" / "other"), "");

    write_pattern_file(local / "after", 100000, 64);
    const auto again = run_zem(d.zem({"put", (local / "after").string(), "in/after"}));
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(compare_files(local / "after", d.net() / "in" / "after"), "");
    // The interrupted file can be stored anew.
    const auto replace = run_zem(d.zem({"put", (local / "big").string(), "in/big"}));
    EXPECT_EQ(replace.status, 0) << replace.err;
    EXPECT_EQ(compare_files(local / "big", d.net() / "in" / "big"), "");
    EXPECT_TRUE(d.host().process().running());
}

INSTANTIATE_TEST_SUITE_P(Transports, Faults, ::testing::Values(Transport::tcp, Transport::nats),
                         transport_param_name);

// A raw connection to the host's TCP transport.
class RawConnection {
public:
    explicit RawConnection(std::uint16_t port, int receive_buffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && receive_buffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
            throw std::runtime_error("cannot connect to zem-host on port " + std::to_string(port));
    }
    ~RawConnection() {
        if (fd_ >= 0) close(fd_);
    }
    RawConnection(const RawConnection &) = delete;
    RawConnection &operator=(const RawConnection &) = delete;

    bool send_bytes(const std::vector<std::uint8_t> &bytes) {
        for (std::size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    bool listen(const std::string &channel) {
        return send_bytes(zem::tcp::encode_frame(zem::tcp::kListen, channel, nullptr, 0));
    }
    bool send(const std::string &channel, const std::vector<std::uint8_t> &payload) {
        return send_bytes(zem::tcp::encode_frame(zem::tcp::kMessage, channel, payload.data(), payload.size()));
    }
    // Reads and discards until the host closes the connection: true when it
    // did within timeout.
    bool closed_by_host(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::vector<std::uint8_t> sink(1 << 16);
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
            if (recv(fd_, sink.data(), sink.size(), 0) <= 0) return true;
        }
    }

private:
    int fd_ = -1;
};

std::vector<std::uint8_t> retrieve_request(std::int32_t id, const char *source) {
    zem_request_data record{};
    record.request_id = id;
    record.action = ZEM_RETRIEVE;
    record.source = const_cast<char *>(source);
    std::vector<std::uint8_t> bytes;
    EXPECT_TRUE(zem::encode_record(record, 7168, bytes));
    return bytes;
}

// Frames the transport cannot accept close their own connection; a frame
// whose record cannot be decoded is reported by the service. The host goes
// on serving in every case.
TEST(TcpFaults, BrokenFramesCloseOnlyTheirConnection) {
    Deployment d(Transport::tcp);
    ASSERT_TRUE(d.ready());
    const std::uint16_t port = d.host().port();
    fs::create_directories(d.net());
    write_pattern_file(d.net() / "file", 50000, 71);
    fs::create_directories(d / "local");

    // A requester that stays connected throughout.
    RawConnection bystander(port);
    ASSERT_TRUE(bystander.listen("ZemQkBrAckSvc"));

    auto prefix = [](std::uint32_t length) {
        return std::vector<std::uint8_t>{std::uint8_t(length >> 24), std::uint8_t(length >> 16),
                                         std::uint8_t(length >> 8), std::uint8_t(length)};
    };
    auto with_body = [&](std::vector<std::uint8_t> body) {
        auto bytes = prefix(static_cast<std::uint32_t>(body.size()));
        bytes.insert(bytes.end(), body.begin(), body.end());
        return bytes;
    };
    struct Case {
        const char *what;
        std::vector<std::uint8_t> bytes;
    };
    const std::vector<Case> cases = {
        {"unknown frame type", with_body({9, 0, 1, 'x', 1, 2, 3})},
        {"empty channel name", with_body({zem::tcp::kMessage, 0, 0, 1, 2, 3})},
        {"channel name longer than the frame", with_body({zem::tcp::kMessage, 0, 200, 'x'})},
        {"empty frame", prefix(0)},
        {"frame over the size limit", prefix(zem::tcp::kMaxFrame + 1)},
        {"frame of 4 GiB", prefix(0xffffffffu)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RawConnection broken(port);
        ASSERT_TRUE(broken.send_bytes(c.bytes));
        EXPECT_TRUE(broken.closed_by_host(10s));
    }

    // Well-formed frames whose records are garbage: a truncated record, and
    // one whose string claims 2 GiB in a 16-byte message.
    RawConnection garbage(port);
    ASSERT_TRUE(garbage.send("ZemBrQkService", {0, 0, 0, 1, 0, 0}));
    ASSERT_TRUE(garbage.send("ZemBrQkService", {0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0x7f, 0xff, 0xff, 0xff}));
    ASSERT_TRUE(garbage.send("ZemBrQkAckSvc", {0xde, 0xad}));
    EXPECT_TRUE(d.host().process().wait_for_output("-51997", 10s)) << d.host().output();
    EXPECT_FALSE(garbage.closed_by_host(200ms));

    const auto get = run_zem(d.zem({"get", "file", (d / "local" / "file").string()}));
    EXPECT_EQ(get.status, 0) << get.err << d.host().output();
    EXPECT_EQ(compare_files(d.net() / "file", d / "local" / "file"), "");
    EXPECT_FALSE(bystander.closed_by_host(200ms));
    EXPECT_TRUE(d.host().process().running());
}

// A requester that asks for data and never reads it: the host holds at most
// its queue limit for it, then closes its connection, and others go on.
TEST(TcpFaults, RequesterThatStopsReadingIsCutOffWithMemoryBounded) {
    constexpr int kBuffer = 256 * 1024;
    HostSettings settings;
    settings.buffer_size = kBuffer;
    settings.host_section = "tcp_queue_limit = 16777216\n";
    // Freed memory in AddressSanitizer's quarantine would count as resident.
    const char *asan = std::getenv("ASAN_OPTIONS");
    settings.env = {std::string("ASAN_OPTIONS=") + (asan && *asan ? std::string(asan) + ":" : "") +
                    "quarantine_size_mb=16"};
    Deployment d(Transport::tcp, settings);
    ASSERT_TRUE(d.ready());
    fs::create_directories(d.net());
    fs::create_directories(d / "local");
    write_pattern_file(d.net() / "big", 32 * kMiB, 72);

    auto fetch = [&](const std::string &name) {
        const auto run = run_zem(d.zem({"get", "big", (d / "local" / name).string()}));
        EXPECT_EQ(run.status, 0) << run.err << d.host().output();
        EXPECT_EQ(compare_files(d.net() / "big", d / "local" / name), "");
    };
    fetch("warm-up");
    const pid_t host = d.host().pid();
    const long before = memory_kib(host, "VmRSS"), peak_before = memory_kib(host, "VmHWM");
    ASSERT_GT(before, 0);

    RawConnection idle(d.host().port(), 64 * 1024);
    ASSERT_TRUE(idle.listen("ZemQkBrService"));
    ASSERT_TRUE(idle.listen("ZemQkBrAckSvc"));
    // One retrieve's window (20 chunks of 256 KiB) fits the queue limit: the
    // requester is stuck, not cut off, while another is served.
    ASSERT_TRUE(idle.send("ZemBrQkService", retrieve_request(5000, "big")));
    fetch("while-stuck");
    EXPECT_EQ(d.host().output().find("fell behind"), std::string::npos) << d.host().output();

    // Sixty more windows would be 300 MiB.
    for (std::int32_t id = 5001; id <= 5060; ++id)
        if (!idle.send("ZemBrQkService", retrieve_request(id, "big"))) break;
    EXPECT_TRUE(d.host().process().wait_for_output("fell behind", 30s)) << d.host().output();
    EXPECT_TRUE(idle.closed_by_host(10s));
    const long after = memory_kib(host, "VmRSS"), peak_after = memory_kib(host, "VmHWM");
    std::printf("zem-host resident memory: %ld KiB before, %ld KiB after the slow requester; "
                "peak %ld KiB before, %ld KiB after\n",
                before, after, peak_before, peak_after);
    // Generous slack over the 16 MiB queue limit, far below the 300 MiB asked for.
    EXPECT_LT(peak_after - peak_before, 96 * 1024) << "the host queued what it could not send";
    EXPECT_LT(after - before, 96 * 1024) << "the host kept what it could not send";

    fetch("after");
    EXPECT_TRUE(d.host().process().running());
}

} // namespace
} // namespace zem::integration
