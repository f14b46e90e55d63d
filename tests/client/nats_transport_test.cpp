// The NATS transport against a real nats-server on a loopback port.
#include "test_support.h"

#include "client/nats_transport.h"
#include "client/record_codec.h"
#include "wire/zem_request_data.h"

#include "loopback.h"
#include "nats_server.h"

#include <thread>
#include <unistd.h>

namespace zem::test {
namespace {

using test_support::kNatsServerProgram;
using test_support::NatsServer;

std::unique_ptr<NatsTransport> connect_with_retries(const std::string &url) {
    std::string error;
    for (int i = 0; i < 100; ++i) {
        auto t = NatsTransport::connect(url, std::chrono::seconds(2), error);
        if (t) return t;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ADD_FAILURE() << error;
    return nullptr;
}

std::vector<std::uint8_t> with_id(std::int32_t id, const std::string &rest) {
    std::vector<std::uint8_t> bytes(4 + rest.size());
    for (int i = 0; i < 4; ++i) bytes[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(id >> (24 - 8 * i));
    std::copy(rest.begin(), rest.end(), bytes.begin() + 4);
    return bytes;
}

TEST(NatsTransport, CarriesMessagesBothWaysAndKeepsOnlyTheExpectedRequest) {
    if (::access(kNatsServerProgram, X_OK) != 0) GTEST_SKIP() << kNatsServerProgram << " is not installed";
    ScratchDir dir;
    NatsServer server(dir.path());
    ASSERT_TRUE(server.ready());
    auto requester = connect_with_retries(server.url());
    auto service = connect_with_retries(server.url());
    ASSERT_TRUE(requester && service);
    ASSERT_TRUE(requester->listen("ZemQkBrService_t"));
    ASSERT_TRUE(service->listen("ZemBrQkService_t"));
    const auto wait = std::chrono::seconds(5);

    const auto request = with_id(41, "request");
    ASSERT_TRUE(requester->send("ZemBrQkService_t", request.data(), request.size(), wait));
    Message m;
    ASSERT_TRUE(service->receive(m, wait));
    EXPECT_EQ(m.channel, "ZemBrQkService_t");
    EXPECT_EQ(m.payload, request);

    requester->expect(41);
    const auto other = with_id(42, "another requester's chunk");
    const auto mine = with_id(41, "chunk");
    ASSERT_TRUE(service->send("ZemQkBrService_t", other.data(), other.size(), wait));
    ASSERT_TRUE(service->send("ZemQkBrService_t", mine.data(), mine.size(), wait));
    ASSERT_TRUE(requester->receive(m, wait));
    EXPECT_EQ(m.payload, mine);
    EXPECT_EQ(requester->receive(m, std::chrono::milliseconds(100)).kind, TransportStatus::timeout);
}

TEST(NatsTransport, UnreachableServerIsAConnectionError) {
    RequesterOptions options;
    options.url = "nats://127.0.0.1:" + std::to_string(test_support::free_loopback_port());
    options.timeout = std::chrono::milliseconds(500);
    Result result;
    EXPECT_FALSE(Requester::connect(options, result));
    EXPECT_EQ(result.kind, ErrorKind::connection) << result.message;
}

} // namespace
} // namespace zem::test
