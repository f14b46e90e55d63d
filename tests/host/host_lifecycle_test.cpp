// Starting and stopping zem-host: settings refused before init, failures of
// the plug-in, and the signals that end it.
#include "host_test_support.h"

#include "file_contents.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fstream>

namespace zem::host_test {
namespace {

using test_support::read_file;

TEST(HostLifecycle, SignalStopsTheServiceAndExitsZero) {
    for (const int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal == SIGTERM ? "SIGTERM" : "SIGINT");
        ScratchDir dir;
        const auto request_log = dir.path() / "requests.log";
        auto host = start_tcp_host(dir, {(dir.path() / "net").string(), "--attr",
                                         "zem_debug_file=" + request_log.string()});
        ASSERT_TRUE(host.process && host.process->running());
        FrameClient client(host.port);
        client.listen(kDataChannel);
        client.sync(1);

        host.process->signal(signal);
        EXPECT_EQ(host.process->wait_exit(1s), std::optional<int>(0)) << host.process->output();
        // The service thread closed its request log on the way out.
        EXPECT_EQ(read_file(request_log), "request 1 E\nclosed\n");
        EXPECT_TRUE(client.closed_by_host(1s));
    }
}

TEST(HostLifecycle, RefusesWrongSettingsBeforeInit) {
    struct Case {
        std::vector<std::string> args;
        const char *expected;
    };
    const std::vector<Case> cases = {
        {{"--attr", "zem_buffer_size=0"}, "zem_buffer_size = \"0\" is refused: it must be a whole"},
        {{"--attr", "zem_buffer_size=7k"}, "zem_buffer_size = \"7k\" is refused"},
        {{"--attr", "zem_buffer_size= 7168"}, "zem_buffer_size = \" 7168\" is refused"},
        {{"--attr", "zem_buffer_size=16777217"}, "from 1 to 16777216"},
        {{"--attr", "zem_window_size=-1"}, "zem_window_size = \"-1\" is refused"},
        {{"--attr", "zem_window_size="}, "zem_window_size = \"\" is refused"},
        {{"--subject", "a b"}, "zem_ps_subject = \"a b\" is refused"},
        {{"--attr", "no_equals_sign"}, "--attr expects NAME=VALUE"},
        {{"--listen", "localhost"}, "expected HOST:PORT"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        ScratchDir dir;
        std::vector<std::string> args = {(dir.path() / "net").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        auto host = run_host(args, dir.path() / "host.log");
        EXPECT_EQ(host->wait_exit(5s), std::optional<int>(2));
        const std::string output = host->output();
        EXPECT_NE(output.find(c.expected), std::string::npos) << output;
        EXPECT_EQ(output.find("loaded"), std::string::npos) << output;
    }
}

TEST(HostLifecycle, RefusesAWrongConfigurationFile) {
    struct Case {
        const char *content;
        const char *expected;
    };
    const std::vector<Case> cases = {
        {"[host]\ntransport = carrier-pigeon\n", "[host] transport: expected tcp or nats"},
        {"[host]\nlisen = 127.0.0.1:1\n", "[host] lisen: unknown setting"},
        {"[extras]\na = b\n", "unknown section [extras]"},
        {"zem_debug = 1\n", "lies outside [attributes] and [host]"},
        {"[attributes]\nzem_window_size = twenty\n", "zem_window_size = \"twenty\" is refused"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.expected);
        ScratchDir dir;
        const auto config = dir.path() / "host.ini";
        std::ofstream(config) << c.content;
        auto host = run_host({"--config", config.string(), (dir.path() / "net").string()},
                             dir.path() / "host.log");
        EXPECT_EQ(host->wait_exit(5s), std::optional<int>(2));
        EXPECT_NE(host->output().find(c.expected), std::string::npos) << host->output();
    }
}

// The value of attribute name as the plug-in sees it; nullopt when unset.
std::optional<std::string> attribute(FrameClient &client, std::uint32_t id, const std::string &name) {
    auto payload = request(id, 'G');
    payload.insert(payload.end(), name.begin(), name.end());
    client.send(kRequestChannel, payload);
    const auto answer = client.read_frame(5s);
    if (!answer || answer->payload.size() < 5) throw std::runtime_error("no attribute answer");
    if (answer->payload[4] == 'N') return std::nullopt;
    return std::string(answer->payload.begin() + 5, answer->payload.end());
}

TEST(HostLifecycle, AttributesComeFromFileDirectoryAndOverrides) {
    ScratchDir dir;
    const auto request_log = dir.path() / "requests.log";
    const auto config = dir.path() / "host.ini";
    const std::string long_value(3000, 'x');
    std::ofstream(config) << "# comment\n[attributes]\nnetdir_path = /not/this/one\n"
                          << "zem_debug_file = " << request_log.string() << "\n"
                          << "zem_window_size = 5\nzem_debug =\n"
                          << "localhost = " << long_value << "\n[host]\nsecure = no\n";
    const auto net = dir.path() / "net";
    auto host = start_tcp_host(dir, {"--config", config.string(), "--attr", "zem_window_size=7",
                                     net.string()});
    ASSERT_TRUE(host.process && host.process->running());
    FrameClient client(host.port);
    client.listen(kReplyChannel);

    EXPECT_EQ(attribute(client, 1, "netdir_path"), net.string());
    EXPECT_TRUE(std::filesystem::is_directory(net));
    EXPECT_EQ(attribute(client, 2, "zem_window_size"), "7");
    EXPECT_EQ(attribute(client, 3, "zem_buffer_size"), "7168"); // the plug-in's default
    EXPECT_EQ(attribute(client, 4, "localhost"), long_value);
    EXPECT_EQ(attribute(client, 5, "zem_debug"), "");
    EXPECT_EQ(attribute(client, 6, "temp_dir"), std::nullopt);

    host.process->signal(SIGTERM);
    EXPECT_EQ(host.process->wait_exit(1s), std::optional<int>(0));
    EXPECT_NE(read_file(request_log).find("request 6 G\nclosed\n"), std::string::npos);
}

TEST(HostLifecycle, ExampleConfigurationIsAccepted) {
    ScratchDir dir;
    auto host = start_tcp_host(dir, {"--config", ZEM_EXAMPLE_CONFIG, (dir.path() / "net").string()});
    ASSERT_TRUE(host.process && host.process->running());
    host.process->signal(SIGTERM);
    EXPECT_EQ(host.process->wait_exit(1s), std::optional<int>(0)) << host.process->output();
}

TEST(HostLifecycle, FailingInitExitsWithTheReportText) {
    ScratchDir dir;
    // Without DIR or netdir_path the plug-in's init fails.
    auto host = run_host({"--listen", "127.0.0.1:" + std::to_string(free_loopback_port())},
                         dir.path() / "host.log");
    EXPECT_EQ(host->wait_exit(5s), std::optional<int>(1));
    const std::string output = host->output();
    EXPECT_NE(output.find(" ERROR -51988 netdir_path is not set\n"), std::string::npos) << output;
    EXPECT_NE(output.find("init failed: netdir_path is not set"), std::string::npos) << output;
    EXPECT_EQ(output.find("service started"), std::string::npos) << output;
}

TEST(HostLifecycle, FailingStartExitsWithTheReportText) {
    struct Case {
        const char *mode;
        const char *expected;
    };
    const std::vector<Case> cases = {
        {"report", "start failed: the service thread cannot be created"},
        // The thread runs on: the host must not call term or unload.
        {"thread", "start failed: the service thread did not start within 10000 ms"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        ScratchDir dir;
        auto host = run_host({"--listen", "127.0.0.1:" + std::to_string(free_loopback_port()),
                              "--attr", std::string("test_start_failure=") + c.mode,
                              (dir.path() / "net").string()},
                             dir.path() / "host.log");
        EXPECT_EQ(host->wait_exit(5s), std::optional<int>(1));
        EXPECT_NE(host->output().find(c.expected), std::string::npos) << host->output();
    }
}

TEST(HostLifecycle, MissingPluginIsNamedWithTheLoaderError) {
    ScratchDir dir;
    const std::string missing = (dir.path() / "libabsent.so").string();
    ChildProcess host(ZEM_HOST_BINARY,
                      {"--plugin", missing, "--listen",
                       "127.0.0.1:" + std::to_string(free_loopback_port()),
                       (dir.path() / "net").string()},
                      dir.path() / "host.log");
    EXPECT_EQ(host.wait_exit(5s), std::optional<int>(1));
    EXPECT_NE(host.output().find("cannot load the plug-in " + missing + ": "), std::string::npos)
        << host.output();
}

} // namespace
} // namespace zem::host_test
