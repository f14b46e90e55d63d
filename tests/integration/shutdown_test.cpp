// SIGTERM stops the real host in the middle of a transfer: it ends with
// status 0, its request log complete, and the requester fails cleanly.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <sstream>

namespace zem::integration {
namespace {

class Shutdown : public ::testing::TestWithParam<Transport> {};

TEST_P(Shutdown, SigtermDuringATransferEndsTheHostWithItsLogClosed) {
    ScratchDir logs;
    const fs::path request_log = logs / "requests.log";
    HostSettings settings;
    settings.buffer_size = 1024;
    settings.window = 1;
    settings.attributes = {"zem_debug_file=" + request_log.string()};
    Deployment d(GetParam(), settings);
    ASSERT_TRUE(d.ready());
    const fs::path local = d / "local";
    fs::create_directories(local / "back");
    fs::create_directories(d.net());

    // 10,000 bytes are ten chunks of 1024.
    write_pattern_file(local / "small", 10000, 81);
    ASSERT_EQ(run_zem(d.zem({"put", (local / "small").string(), "small"})).status, 0);
    ASSERT_EQ(run_zem(d.zem({"du", "small"})).status, 0);
    ASSERT_EQ(run_zem(d.zem({"get", "small", (local / "back" / "small").string()})).status, 0);
    ASSERT_EQ(run_zem(d.zem({"rm", "small"})).status, 0);

    // A get that is under way, its requester paused so that it stays so.
    write_pattern_file(d.net() / "big", 16 * 1024 * 1024, 82);
    auto get = start_zem(d.zem({"get", "big", (local / "big").string()}, 2), d / "get.log");
    ASSERT_TRUE(wait_until(
        [&] {
            for (const auto &name : list_dir(local))
                if (name.rfind(".big.zem-", 0) == 0 && size_of(local / name) > 0) return true;
            return false;
        },
        30s))
        << get->output();
    get->signal(SIGSTOP);

    const auto start = std::chrono::steady_clock::now();
    const auto status = d.host().terminate(5s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("zem-host over %s ended %.3f s after SIGTERM\n", transport_name(GetParam()).c_str(), seconds);
    RecordProperty("seconds_to_exit", std::to_string(seconds));
    ASSERT_TRUE(status) << "zem-host still runs 5 s after SIGTERM:\n" << d.host().output();
    EXPECT_EQ(*status, 0) << d.host().output();
    EXPECT_NE(d.host().output().find("SIGTERM received"), std::string::npos) << d.host().output();
    EXPECT_NE(d.host().output().find(" stopped\n"), std::string::npos) << d.host().output();

    // Every request has its whole line, in order: ten store chunks, then the
    // disk usage, the retrieve, the removal and the retrieve that was cut.
    const std::string log = read_file(request_log);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.back(), '\n');
    std::vector<std::string> kinds;
    std::istringstream lines(log);
    const std::regex line_form(R"((\w+)\(\) : request = -?\d+ source = (.*))");
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, line_form)) << line;
        kinds.push_back(match[1].str() + " " + fs::path(match[2].str()).filename().string());
    }
    std::vector<std::string> expected(10, "store small");
    expected.insert(expected.end(), {"disk_usage small", "retrieve small", "remove small", "retrieve big"});
    EXPECT_EQ(kinds, expected) << log;

    // The requester learns that its host is gone and leaves no file behind.
    get->signal(SIGCONT);
    const auto get_status = get->wait_exit(30s);
    ASSERT_TRUE(get_status) << "the requester hangs after its host stopped";
    EXPECT_EQ(*get_status, GetParam() == Transport::tcp ? 7 : 6) << get->output();
    EXPECT_EQ(list_dir(local), (std::vector<std::string>{"back", "small"}));
}

INSTANTIATE_TEST_SUITE_P(Transports, Shutdown, ::testing::Values(Transport::tcp, Transport::nats),
                         transport_param_name);

} // namespace
} // namespace zem::integration
