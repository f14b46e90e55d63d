// The command-line tool: exit statuses, output, and the options it passes on.
#include "test_support.h"

#include "child_process.h"
#include "wire/zem_request_data.h"

#include <csignal>
#include <thread>

namespace zem::test {
namespace {

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs the zem binary with `args`; `url` becomes ZEM_URL (none when empty).
// With `interrupt_after` above zero the tool gets SIGINT after that time.
ToolRun run_zem(const std::vector<std::string> &args, const std::string &url = "",
                std::chrono::milliseconds interrupt_after = std::chrono::milliseconds(0)) {
    ScratchDir scratch;
    test_support::ChildProcess zem(ZEM_BINARY, args, scratch / "out", {url.empty() ? "ZEM_URL" : "ZEM_URL=" + url},
                                   scratch / "err");
    if (interrupt_after.count() > 0) {
        std::this_thread::sleep_for(interrupt_after);
        zem.signal(SIGINT);
    }
    ToolRun run;
    run.status = zem.wait();
    run.out = read_file(scratch / "out");
    run.err = read_file(scratch / "err");
    return run;
}

TEST(Cli, UsageErrorsExitWithTwo) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"put", "only-one"},
        {"get"},
        {"frobnicate", "x"},
        {"--no-such-option", "du", "x"},
        {"--buffer-size", "0", "du", "x"},
        {"--window", "0", "du", "x"},
        {"--timeout", "-1", "du", "x"},
        {"get", "--offset", "5", "--resume", "a", "b"},
        {"get", "-r", "--gzl", "a", "b"},
        {"--url", "http://127.0.0.1:1", "du", "x"},
    };
    for (const auto &args : cases) {
        std::string line;
        for (const auto &a : args) line += a + " ";
        SCOPED_TRACE(line);
        const ToolRun run = run_zem(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_FALSE(run.err.empty());
    }
}

TEST(Cli, HelpListsTheExitStatuses) {
    const ToolRun run = run_zem({"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char *text : {"put", "get", "rm", "du", "ZEM_URL", "6    timeout", "7    connection"})
        EXPECT_NE(run.out.find(text), std::string::npos) << text;
}

TEST(Cli, LocalAndConnectionFailures) {
    ScratchDir dir;
    const ToolRun missing = run_zem({"put", dir / "missing", "x"}, "tcp://127.0.0.1:1");
    EXPECT_EQ(missing.status, 3) << missing.err;
    const ToolRun unreachable = run_zem({"du", "x"}, "tcp://127.0.0.1:1");
    EXPECT_EQ(unreachable.status, 7) << unreachable.err;
    EXPECT_NE(unreachable.err.find("cannot connect"), std::string::npos) << unreachable.err;
}

TEST(Cli, ServiceAnswersBecomeExitStatuses) {
    ScratchDir dir;
    write_file(dir / "a.bin", pattern(300));
    FakeService fake(7168); // the tool's default chunk size
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.channel != kRequestChannel) return;
        if (m.action == ZEM_DISK_USAGE && m.source == "big") f.reply(m.request_id, ZEM_DISK_USAGE, 0, 5000000000ull);
        if (m.action == ZEM_DISK_USAGE && m.source == "gone") f.reply(m.request_id, ZEM_NOT_FOUND, 0);
        if (m.action == ZEM_STORE && m.destination == "full") f.reply(m.request_id, -46, m.final);
        if (m.action == ZEM_STORE && m.destination == "broken") f.reply(m.request_id, -51979, m.final);
        if (m.action == ZEM_STORE && m.destination == "fine") f.reply(m.request_id, ZEM_ACK, m.final);
        if (m.action == ZEM_REMOVE) f.reply(m.request_id, ZEM_ACK, 1);
        // "silent" gets no answer at all.
    });
    struct Case {
        std::vector<std::string> args;
        int status;
    };
    const Case cases[] = {
        {{"du", "big"}, 0},
        {{"du", "gone"}, 3},
        {{"put", dir / "a.bin", "full"}, 4},
        {{"put", dir / "a.bin", "broken"}, 5},
        {{"--timeout", "0.3", "du", "silent"}, 6},
        {{"put", "--quiet", dir / "a.bin", "fine"}, 0},
        {{"rm", "-r", "tree"}, 0},
    };
    for (const Case &c : cases) {
        std::string line;
        for (const auto &a : c.args) line += a + " ";
        SCOPED_TRACE(line);
        const ToolRun run = run_zem(c.args, fake.url());
        EXPECT_EQ(run.status, c.status) << run.err;
        if (c.status != 0) {
            EXPECT_NE(run.err.find("zem: "), std::string::npos) << run.err;
        }
    }
    EXPECT_EQ(run_zem({"du", "big"}, fake.url()).out, "5000000000\tbig\n");

    // The global options reach the requests, before or after the command.
    run_zem({"put", "--local", dir / "a.bin", "fine"}, fake.url());
    run_zem({"--temp-base", "rm", "-r", "tree"}, fake.url());
    const auto all = fake.received();
    const auto stores = select(all, kRequestChannel, ZEM_STORE);
    ASSERT_FALSE(stores.empty());
    EXPECT_EQ(stores.back().flags, ZEM_FLAG_LOCAL_PATH);
    const auto removes = select(all, kRequestChannel, ZEM_REMOVE);
    ASSERT_FALSE(removes.empty());
    EXPECT_EQ(removes.back().flags, ZEM_FLAG_DIRECTORY | ZEM_FLAG_TEMP_BASE);
    // A quiet put sets the flag.
    bool quiet_seen = false;
    for (const auto &s : stores) quiet_seen = quiet_seen || (s.flags & ZEM_FLAG_QUIET);
    EXPECT_TRUE(quiet_seen);
}

TEST(Cli, InterruptEndsAWaitingGetAndRemovesItsFile) {
    ScratchDir dir;
    FakeService fake(7168);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action != ZEM_RETRIEVE) return;
        const std::string data = pattern(7168);
        f.chunk(m.request_id, data.data(), 7168, 0, 100000); // then nothing more
    });
    const auto started = std::chrono::steady_clock::now();
    const ToolRun run = run_zem({"--timeout", "30", "get", "a.bin", dir / "a.bin"}, fake.url(),
                                std::chrono::milliseconds(500));
    EXPECT_EQ(run.status, 130) << run.err;
    EXPECT_NE(run.err.find("interrupted"), std::string::npos) << run.err;
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
    EXPECT_FALSE(std::filesystem::exists(dir / "a.bin"));
    EXPECT_TRUE(dir.hidden_entries().empty());
}

TEST(Cli, GetWritesTheFile) {
    ScratchDir dir;
    FileSender sender;
    FakeService fake(7168);
    sender.content = pattern(3 * 7168 + 11);
    fake.on_message(std::ref(sender));
    const ToolRun run = run_zem({"get", "srv/a.bin", dir / "a.bin"}, fake.url());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(read_file(dir / "a.bin"), sender.content);
    EXPECT_TRUE(run.err.empty()) << "no progress bar without a terminal: " << run.err;
}

} // namespace
} // namespace zem::test
