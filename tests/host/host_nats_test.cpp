// zem-host over NATS: the channels are subjects on a nats-server that the
// test starts on a free loopback port.
#include "host_test_support.h"

#include <gtest/gtest.h>
#include <nats/nats.h>

#include <csignal>
#include <fstream>

namespace zem::host_test {
namespace {

// A requester's side: subscribes to the outgoing subjects and publishes
// on the incoming ones.
class NatsRequester {
public:
    explicit NatsRequester(const std::string &url) {
        EXPECT_EQ(natsConnection_ConnectTo(&connection_, url.c_str()), NATS_OK);
    }
    ~NatsRequester() {
        for (auto *sub : subscriptions_) natsSubscription_Destroy(sub);
        natsConnection_Destroy(connection_);
    }

    natsSubscription *subscribe(const std::string &subject) {
        natsSubscription *sub = nullptr;
        EXPECT_EQ(natsConnection_SubscribeSync(&sub, connection_, subject.c_str()), NATS_OK);
        EXPECT_EQ(natsConnection_Flush(connection_), NATS_OK);
        subscriptions_.push_back(sub);
        return sub;
    }

    void publish(const std::string &subject, const std::vector<std::uint8_t> &payload) {
        EXPECT_EQ(natsConnection_Publish(connection_, subject.c_str(), payload.data(),
                                         static_cast<int>(payload.size())),
                  NATS_OK);
    }

    static std::optional<std::vector<std::uint8_t>> next(natsSubscription *sub) {
        natsMsg *msg = nullptr;
        if (natsSubscription_NextMsg(&msg, sub, 5000) != NATS_OK) return std::nullopt;
        const auto *data = reinterpret_cast<const std::uint8_t *>(natsMsg_GetData(msg));
        std::vector<std::uint8_t> payload(data, data + natsMsg_GetDataLength(msg));
        natsMsg_Destroy(msg);
        return payload;
    }

private:
    natsConnection *connection_ = nullptr;
    std::vector<natsSubscription *> subscriptions_;
};

class NatsHostTest : public ::testing::TestWithParam<std::string> {
protected:
    static void TearDownTestSuite() { nats_Close(); }
};

TEST_P(NatsHostTest, MessagesMakeTheRoundTrip) {
    const std::string subject = GetParam();
    const auto name = [&subject](const char *base) {
        return subject.empty() ? std::string(base) : std::string(base) + "_" + subject;
    };
    ScratchDir dir;
    NatsServer server(dir.path());
    ASSERT_TRUE(server.ready());
    std::vector<std::string> args = {"--nats", server.url(), (dir.path() / "net").string()};
    if (!subject.empty()) args.insert(args.end(), {"--subject", subject});
    auto host = run_host(args, dir.path() / "host.log");
    ASSERT_TRUE(host->wait_for_output("service started", 10s)) << host->output();
    {
        NatsRequester requester(server.url());
        auto *data = requester.subscribe(name("ZemQkBrService"));
        auto *reply = requester.subscribe(name("ZemQkBrAckSvc"));

        requester.publish(name("ZemBrQkService"), request(1, 'E', {0xdeadbeef}));
        EXPECT_EQ(NatsRequester::next(data), request(1, 'E', {0xdeadbeef}));
        requester.publish(name("ZemBrQkAckSvc"), request(2, 'k'));
        EXPECT_EQ(NatsRequester::next(reply), request(2, 'k'));
        // A burst of chunks arrives whole and in order.
        requester.publish(name("ZemBrQkService"), request(3, 'F', {50, 7168}));
        for (int i = 0; i < 50; ++i) {
            const auto chunk = NatsRequester::next(data);
            ASSERT_TRUE(chunk);
            EXPECT_EQ(chunk->size(), 7168u);
            EXPECT_EQ(request_id(*chunk), 3u);
        }
    }
    host->signal(SIGTERM);
    EXPECT_EQ(host->wait_exit(1s), std::optional<int>(0)) << host->output();
}

INSTANTIATE_TEST_SUITE_P(ChannelVariants, NatsHostTest, ::testing::Values("", "lab1"),
                         [](const auto &variant) {
                             return variant.param.empty() ? std::string("PointToPoint")
                                                          : std::string("Subject");
                         });

TEST(NatsHost, ChunkLargerThanTheServerTakesIsRefused) {
    ScratchDir dir;
    NatsServer server(dir.path());
    ASSERT_TRUE(server.ready());
    // The server's default max_payload is 1 MiB.
    auto host = run_host({"--nats", server.url(), "--attr", "zem_buffer_size=2000000",
                          (dir.path() / "net").string()},
                         dir.path() / "host.log");
    EXPECT_EQ(host->wait_exit(5s), std::optional<int>(2));
    EXPECT_NE(host->output().find("zem_buffer_size = \"2000000\" is refused: a data chunk's "
                                  "encoding can take up to"),
              std::string::npos)
        << host->output();
    EXPECT_NE(host->output().find("max_payload of 1048576 bytes"), std::string::npos);
}

TEST(NatsHost, CredentialsAndTlsSettingsReachTheServer) {
    struct Case {
        const char *what;
        std::vector<std::string> server_args;
        std::string host_settings; // lines of [host]; nats_url is added
        bool tls;         // the server requires TLS with a self-signed certificate
        bool trust_cert;  // the host names that certificate as its CA file
        bool starts;
    };
    const std::vector<Case> cases = {
        {"user and password", {"--user", "zem", "--pass", "secret"},
         "nats_user = zem\nnats_password = secret\n", false, false, true},
        {"wrong password", {"--user", "zem", "--pass", "secret"},
         "nats_user = zem\nnats_password = wrong\n", false, false, false},
        {"token", {"--auth", "t0ken"}, "nats_token = t0ken\n", false, false, true},
        {"TLS with a CA file", {}, "nats_tls = yes\n", true, true, true},
        {"TLS with an untrusted server", {}, "nats_tls = yes\n", true, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ScratchDir dir;
        std::vector<std::string> server_args = c.server_args;
        std::string settings = c.host_settings;
        if (c.tls) {
            const auto cert = dir.path() / "cert.pem";
            const auto key = dir.path() / "key.pem";
            ChildProcess openssl("/usr/bin/openssl",
                                 {"req", "-x509", "-newkey", "ec", "-pkeyopt",
                                  "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                                  "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                                  "-keyout", key.string(), "-out", cert.string()},
                                 dir.path() / "openssl.log");
            ASSERT_EQ(openssl.wait_exit(10s), std::optional<int>(0)) << openssl.output();
            server_args.insert(server_args.end(),
                               {"--tls", "--tlscert", cert.string(), "--tlskey", key.string()});
            if (c.trust_cert) settings += "nats_ca_file = " + cert.string() + "\n";
        }
        NatsServer server(dir.path(), server_args);
        ASSERT_TRUE(server.ready());
        const auto config = dir.path() / "host.ini";
        std::ofstream(config) << "[host]\ntransport = nats\nnats_url = " << server.url() << "\n"
                              << settings;
        auto host = run_host({"--config", config.string(), (dir.path() / "net").string()},
                             dir.path() / "host.log");
        if (c.starts) {
            ASSERT_TRUE(host->wait_for_output("service started", 10s)) << host->output();
            host->signal(SIGTERM);
            EXPECT_EQ(host->wait_exit(1s), std::optional<int>(0)) << host->output();
        } else {
            EXPECT_EQ(host->wait_exit(10s), std::optional<int>(1));
            EXPECT_NE(host->output().find("nats: cannot connect to " + server.url() + ": "),
                      std::string::npos)
                << host->output();
        }
    }
}

TEST(NatsHost, UnreachableServerFailsTheStart) {
    ScratchDir dir;
    auto host = run_host({"--nats", "nats://127.0.0.1:" + std::to_string(free_loopback_port()),
                          (dir.path() / "net").string()},
                         dir.path() / "host.log");
    EXPECT_EQ(host->wait_exit(10s), std::optional<int>(1));
    EXPECT_NE(host->output().find("nats: cannot connect to"), std::string::npos) << host->output();
}

} // namespace
} // namespace zem::host_test
