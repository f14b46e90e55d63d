// zem-host over its embedded TCP transport, driven through raw frames.
#include "host_test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <thread>

namespace zem::host_test {
namespace {

class TcpHostTest : public ::testing::Test {
protected:
    void start(const std::vector<std::string> &extra = {}) {
        std::vector<std::string> args = {(dir_.path() / "net").string()};
        args.insert(args.end(), extra.begin(), extra.end());
        host_ = start_tcp_host(dir_, args);
        ASSERT_TRUE(host_.process && host_.process->running());
    }

    std::unique_ptr<FrameClient> listening_client(std::uint32_t sync_id) {
        auto client = std::make_unique<FrameClient>(host_.port);
        client->listen(kDataChannel);
        client->listen(kReplyChannel);
        client->sync(sync_id);
        return client;
    }

    ScratchDir dir_;
    TcpHost host_;
};

TEST_F(TcpHostTest, RoutesByRequestIdAndBroadcastsUnknownIds) {
    start();
    auto a = listening_client(1000);
    auto b = listening_client(2000);
    FrameClient silent(host_.port); // sends, never listens

    a->send(kRequestChannel, request(1, 'E'));
    b->send(kRequestChannel, request(2, 'E'));
    const auto to_a = a->read_frame(5s);
    const auto to_b = b->read_frame(5s);
    ASSERT_TRUE(to_a && to_b);
    EXPECT_EQ(to_a->channel, kDataChannel);
    EXPECT_EQ(request_id(to_a->payload), 1u);
    EXPECT_EQ(request_id(to_b->payload), 2u);

    // Replies on the other channel pair follow the same rule.
    b->send(kAckChannel, request(2, 'k'));
    const auto ack = b->read_frame(5s);
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->channel, kReplyChannel);
    EXPECT_EQ(request_id(ack->payload), 2u);

    // The sender of id 3 listens on nothing: every listener gets the answer,
    // the sender none.
    silent.send(kRequestChannel, request(3, 'E'));
    // An id nobody used goes to every listener as well.
    a->send(kRequestChannel, request(4, 'U', {77}));
    for (auto *client : {a.get(), b.get()}) {
        std::set<std::uint32_t> ids;
        for (int i = 0; i < 2; ++i) {
            const auto frame = client->read_frame(5s);
            ASSERT_TRUE(frame);
            ids.insert(request_id(frame->payload));
        }
        EXPECT_EQ(ids, (std::set<std::uint32_t>{3, 77}));
    }
    EXPECT_FALSE(silent.read_frame(300ms));
    // Nothing else reached either listener.
    EXPECT_FALSE(a->read_frame(200ms));
    EXPECT_FALSE(b->read_frame(200ms));
}

TEST_F(TcpHostTest, BadFrameClosesOnlyItsConnection) {
    start();
    auto healthy = listening_client(1000);
    const auto frame = [](std::uint8_t type, std::string_view name, std::size_t payload) {
        std::vector<std::uint8_t> bytes(payload, 0);
        return zem::tcp::encode_frame(type, name, bytes.data(), bytes.size());
    };
    const auto prefix_only = [](std::uint32_t length) {
        return std::vector<std::uint8_t>{std::uint8_t(length >> 24), std::uint8_t(length >> 16),
                                         std::uint8_t(length >> 8), std::uint8_t(length)};
    };
    struct Case {
        const char *what;
        std::vector<std::uint8_t> bytes;
    };
    std::vector<Case> cases = {
        {"unknown frame type", frame(7, kRequestChannel, 8)},
        {"empty channel name", frame(zem::tcp::kMessage, "", 8)},
        {"LISTEN with a payload", frame(zem::tcp::kListen, kDataChannel, 4)},
        {"frame shorter than its header", prefix_only(2)},
        {"frame over the size limit", prefix_only(zem::tcp::kMaxFrame + 1)},
    };
    // A channel name longer than the rest of the frame.
    cases.push_back({"name longer than the frame", frame(zem::tcp::kMessage, "abcdef", 0)});
    cases.back().bytes[6] = 9;

    std::uint32_t id = 1;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        FrameClient victim(host_.port);
        victim.send_raw(c.bytes);
        EXPECT_TRUE(victim.closed_by_host(5s));
        healthy->send(kRequestChannel, request(id, 'E'));
        const auto answer = healthy->read_frame(5s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(request_id(answer->payload), id);
        ++id;
    }
    EXPECT_TRUE(host_.process->running());
}

TEST_F(TcpHostTest, SlowReaderIsClosedWhileOthersKeepGoing) {
    const auto config = dir_.path() / "host.ini";
    std::ofstream(config) << "[host]\ntcp_queue_limit = 1048576\n";
    start({"--config", config.string()});
    auto slow = listening_client(1000);
    auto fast = listening_client(2000);

    // 32 MiB for a client that reads nothing: far more than the socket
    // buffers and the queue limit hold.
    slow->send(kRequestChannel, request(5, 'F', {32, 1024 * 1024}));
    EXPECT_TRUE(host_.process->wait_for_output("fell behind", 10s)) << host_.process->output();
    for (std::uint32_t id = 10; id < 20; ++id) {
        fast->send(kRequestChannel, request(id, 'E'));
        const auto answer = fast->read_frame(5s);
        ASSERT_TRUE(answer);
        EXPECT_EQ(request_id(answer->payload), id);
    }
    EXPECT_TRUE(slow->closed_by_host(10s));
    EXPECT_TRUE(host_.process->running());
}

TEST_F(TcpHostTest, ReportsAreFormattedWithTheCatalogueAndTimersTick) {
    start();
    auto client = listening_client(1000);
    client->send(kRequestChannel, request(1, 'R'));
    EXPECT_TRUE(host_.process->wait_for_output("-51994", 5s));
    const std::regex line(R"(\n\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3} ERROR -51994 unknown action 42 in zem_actions_e\n)");
    EXPECT_TRUE(std::regex_search(host_.process->output(), line)) << host_.process->output();

    std::this_thread::sleep_for(200ms);
    client->send(kRequestChannel, request(2, 'T'));
    const auto answer = client->read_frame(5s);
    ASSERT_TRUE(answer);
    ASSERT_EQ(answer->payload.size(), 9u);
    EXPECT_GT(request_id({answer->payload.begin() + 5, answer->payload.end()}), 0u);
}

TEST_F(TcpHostTest, SubjectVariantUsesSuffixedChannels) {
    start({"--subject", "lab1"});
    FrameClient client(host_.port);
    client.listen("ZemQkBrService_lab1");
    client.listen("ZemQkBrAckSvc_lab1");
    // The plain channel names are not served in this variant.
    client.send(kRequestChannel, request(1, 'E'));
    client.send("ZemBrQkService_lab1", request(2, 'E'));
    client.send("ZemBrQkAckSvc_lab1", request(3, 'k'));
    const auto data = client.read_frame(5s);
    const auto reply = client.read_frame(5s);
    ASSERT_TRUE(data && reply);
    EXPECT_EQ(data->channel, "ZemQkBrService_lab1");
    EXPECT_EQ(request_id(data->payload), 2u);
    EXPECT_EQ(reply->channel, "ZemQkBrAckSvc_lab1");
    EXPECT_EQ(request_id(reply->payload), 3u);
    EXPECT_TRUE(host_.process->wait_for_output("\"ZemBrQkService\" are dropped", 5s));
}

} // namespace
} // namespace zem::host_test
