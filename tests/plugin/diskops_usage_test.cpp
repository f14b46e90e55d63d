// Disk usage of files and trees, answered in one reply.
#include <unistd.h>

#include "plugin_fixture.h"

namespace zem::test {
namespace {

class DiskUsage : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        host.set_attrib("zem_debug_file", (root / "log").string());
        start_service();
    }
    Message measure(const std::string &source, int32_t flags)
    {
        Request request;
        request.request_id = ++id;
        request.action = ZEM_DISK_USAGE;
        request.flags = flags;
        request.source = source;
        send_request(request);
        auto replies = take(kReplies);
        EXPECT_EQ(replies.size(), 1u);
        EXPECT_TRUE(messages(kData).empty());
        return replies.empty() ? Message{} : replies[0];
    }
    int32_t id = 0;
};

TEST_F(DiskUsage, FilesAndTrees)
{
    write_file(netdir / "one.txt", pattern(1234));
    write_file(netdir / "empty.txt", "");
    fs::create_directories(netdir / "hollow");
    write_file(netdir / "tree/a", pattern(10));
    write_file(netdir / "tree/.hidden", pattern(20));
    write_file(netdir / "tree/..dots", pattern(30));
    write_file(netdir / "tree/sub/deeper/b", pattern(40));
    fs::create_directories(netdir / "tree/sub/empty");

    const std::vector<std::tuple<std::string, int32_t, uint64_t>> cases = {
        {"one.txt", 0, 1234}, {"empty.txt", 0, 0}, {"hollow", ZEM_FLAG_DIRECTORY, 0},
        {"tree", ZEM_FLAG_DIRECTORY, 100},
    };
    for (const auto &[source, flags, expected] : cases) {
        const Message reply = measure(source, flags);
        EXPECT_EQ(reply.action, ZEM_DISK_USAGE) << source;
        EXPECT_EQ(reply.total_size, expected) << source;
        EXPECT_EQ(reply.final, 0);
        EXPECT_EQ(reply.wire_size, 48u);
    }
    EXPECT_EQ(table_size(), 0u);
}

TEST_F(DiskUsage, TreeAboveFourGigabytesTravelsWhole)
{
    // Sparse files: the sizes are real, the disk blocks are not.
    for (const char *name : {"big/a.img", "big/sub/b.img"}) {
        fs::create_directories((netdir / name).parent_path());
        write_file(netdir / name, "");
        fs::resize_file(netdir / name, 3ull << 30);
    }
    const Message reply = measure("big", ZEM_FLAG_DIRECTORY);
    EXPECT_EQ(reply.total_size, 6ull << 30);
}

TEST_F(DiskUsage, MissingPathAnswersNotFoundAndNamesTheMappedPath)
{
    Message reply = measure("nowhere", ZEM_FLAG_QUIET);
    EXPECT_EQ(reply.action, ZEM_NOT_FOUND);
    EXPECT_TRUE(host.reports_with(-51992).empty());

    reply = measure("nowhere", ZEM_FLAG_DIRECTORY);
    EXPECT_EQ(reply.action, ZEM_NOT_FOUND);
    const auto reports = host.reports_with(-51992);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].str_arg(0), (netdir / "nowhere").string());
    EXPECT_NE(read_file(root / "log").find("disk_usage() : request = 2 source = nowhere\n"), std::string::npos);
}

} // namespace
} // namespace zem::test
