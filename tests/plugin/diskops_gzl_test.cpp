// Retrieval of a file as a gzip image made on the fly under host timers.
#include "child_process.h"
#include "plugin_fixture.h"

namespace zem::test {
namespace {

class Compressed : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        host.set_attrib("zem_window_size", "-1"); // never full: one burst sends all
        start_service();
    }
    void request_image(int32_t id, const std::string &source, int32_t flags = ZEM_FLAG_GZL)
    {
        Request request;
        request.request_id = id;
        request.action = ZEM_RETRIEVE;
        request.flags = flags;
        request.source = source;
        send_request(request);
    }
    static std::string gunzip(const fs::path &image)
    {
        std::string out;
        EXPECT_EQ(test_support::run_shell("gunzip -c " + test_support::shell_quote(image.string()), &out), 0);
        return out;
    }
    std::vector<TimerInfo> compression_timers() const
    {
        std::vector<TimerInfo> timers;
        for (const TimerInfo &t : host.active_timers())
            if (t.period_ms != 60000) timers.push_back(t);
        return timers;
    }
};

TEST_F(Compressed, ImageReassemblesIntoTheFileAndReplacesAStaleOne)
{
    const std::string content = pattern(300000, 3) + std::string(200000, 'z');
    write_file(netdir / "p.bin", content);
    write_file(netdir / "p.bin.gzl", "stale, not gzip");
    request_image(1, "p.bin.gzl");
    EXPECT_TRUE(host.sent_log().empty()) << "the request returns before compressing";
    EXPECT_FALSE(fs::exists(netdir / "p.bin.gzl")) << "the stale image is gone at once";
    host.advance(1);
    const auto chunks = take(kData);
    ASSERT_FALSE(chunks.empty());
    std::string image;
    for (const Message &c : chunks) image.append(c.data.begin(), c.data.end());
    EXPECT_EQ(chunks.front().total_size, image.size());
    EXPECT_EQ(chunks.back().final, 1);
    write_file(root / "received.gz", image);
    EXPECT_EQ(gunzip(root / "received.gz"), content);
    EXPECT_EQ(read_file(netdir / "p.bin.gzl"), image) << "the image stays next to the file";
}

TEST_F(Compressed, ThreeHundredStepsTakeThreeTicks)
{
    write_file(netdir / "s.bin", pattern(300 * 8192, 9));
    request_image(2, "s.bin.gzl");
    auto timers = compression_timers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].period_ms, 1);
    host.advance(1); // steps 1-128
    timers = compression_timers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].period_ms, 10);
    EXPECT_TRUE(messages(kData).empty());
    host.advance(9);
    EXPECT_EQ(compression_timers().size(), 1u);
    host.advance(1); // steps 129-256
    timers = compression_timers();
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].due_ms, host.now() + 10);
    EXPECT_TRUE(messages(kData).empty());
    host.advance(10); // steps 257-300: the image completes and its first burst goes out
    EXPECT_TRUE(compression_timers().empty());
    EXPECT_FALSE(messages(kData).empty());
}

TEST_F(Compressed, MissingFilesAreReportedEvenWhenQuiet)
{
    request_image(3, "none.bin.gzl", ZEM_FLAG_GZL | ZEM_FLAG_QUIET);
    auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_NOT_FOUND);
    ASSERT_EQ(host.reports_with(-51992).size(), 1u);
    EXPECT_EQ(host.reports_with(-51992)[0].str_arg(0), (netdir / "none.bin").string());

    // A name without the suffix is sent as it is, or reported when missing.
    write_file(netdir / "plain.txt", "as is");
    request_image(4, "plain.txt");
    const auto chunks = take(kData);
    ASSERT_EQ(chunks.size(), 1u);
    EXPECT_EQ(std::string(chunks[0].data.begin(), chunks[0].data.end()), "as is");
    request_image(5, "absent.txt");
    EXPECT_EQ(take(kReplies).at(0).action, ZEM_NOT_FOUND);
    EXPECT_EQ(host.reports_with(-51992).size(), 2u);
}

TEST_F(Compressed, ReadFailureSendsFailedThenNotFoundAndLeavesNoImage)
{
    fs::create_directories(netdir / "dir.bin"); // exists, but cannot be read as a file
    request_image(6, "dir.bin.gzl");
    host.advance(1);
    const auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 2u);
    EXPECT_EQ(replies[0].action, ZEM_FAILED);
    EXPECT_EQ(replies[1].action, ZEM_NOT_FOUND);
    EXPECT_EQ(replies[1].request_id, 6);
    EXPECT_FALSE(fs::exists(netdir / "dir.bin.gzl"));
    EXPECT_TRUE(compression_timers().empty());
    host.advance(60000);
    EXPECT_EQ(table_size(), 0u) << "the failed retrieval is finished and purged";
}

TEST_F(Compressed, ImageThatCannotBeCreatedSendsNotFoundAlone)
{
    write_file(netdir / "o.bin", "plain");
    // The image name leads nowhere: creating it fails at the first step.
    fs::create_symlink(root / "no-such-dir" / "image", netdir / "o.bin.gzl");
    request_image(8, "o.bin.gzl");
    host.advance(1);
    const auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_NOT_FOUND);
    EXPECT_FALSE(fs::exists(fs::symlink_status(netdir / "o.bin.gzl")));
    EXPECT_FALSE(fs::exists(root / "no-such-dir"));
}

TEST_F(Compressed, TerminateWhileCompressingRemovesTheTimer)
{
    write_file(netdir / "t.bin", pattern(300 * 8192, 5));
    request_image(7, "t.bin.gzl");
    host.advance(1);
    ASSERT_EQ(compression_timers().size(), 1u);
    Request terminate;
    terminate.request_id = 7;
    terminate.action = ZEM_TERMINATE;
    send_request(terminate);
    EXPECT_TRUE(compression_timers().empty());
    EXPECT_EQ(table_size(), 0u);
    host.advance(100);
    EXPECT_TRUE(host.sent_log().empty());
}

} // namespace
} // namespace zem::test
