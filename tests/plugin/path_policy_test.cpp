// Secure directories and the mapping of network paths.
#include <cstdlib>

#include "frame/secure_paths.h"
#include "plugin_fixture.h"

namespace zem::test {
namespace {

class PathPolicy : public PluginTest {
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        saved_tmpdir = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        tmp = root / "tmp";
        fs::create_directories(tmp);
        ::setenv("TMPDIR", tmp.c_str(), 1);
        dat = root / "dat";
        fs::create_directories(dat);
        fs::copy_file(fs::path(ZEM_CONF_DIR) / "zem_msg_res", dat / "zem_msg_res");
        host.set_attrib("qk_dat_dir", dat.string());
    }
    void TearDown() override
    {
        PluginTest::TearDown();
        if (saved_tmpdir.empty()) ::unsetenv("TMPDIR");
        else ::setenv("TMPDIR", saved_tmpdir.c_str(), 1);
    }
    void settings(const std::string &secure_directories)
    {
        write_file(dat / "zem_settings.ini", "[zem]\nSecureDirectories=" + secure_directories + "\n");
    }
    int init_secure()
    {
        host.set_secure_mode(true);
        initialised = true;
        return descriptor->init();
    }

    std::string saved_tmpdir;
    fs::path tmp, dat;
};

TEST_F(PathPolicy, SecureInitAcceptsNetdirInsideTheListOnly)
{
    settings(root.string());
    EXPECT_EQ(init_secure(), 0) << "netdir lies inside a secure directory";
    descriptor->term();

    settings("/elsewhere");
    EXPECT_EQ(init_secure(), -1);
    const auto refused = host.reports_with(-51970);
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].str_arg(0), netdir.string());
}

TEST_F(PathPolicy, SecureListCases)
{
    const std::string long_dir = "/srv/" + std::string(400, 'l');
    settings("/data;/trail/;" + long_dir);
    host.set_attrib("temp_dir", "/work/t");
    host.set_attrib("netdir_path", "/data/net");
    ASSERT_EQ(init_secure(), 0);

    const std::vector<std::pair<std::string, int>> cases = {
        {"/data/x.txt", 1},          {"/data", 0},           {"/data/", 1},
        {"/Data/x.txt", 0},          {"/dataX/x.txt", 0},    {"/data/a..b", 0},
        {"/data/../etc/passwd", 0},  {"/trail/x", 0},        {"/trail//x", 1},
        {tmp.string() + "/f", 1},
#ifndef ZEM_LEGACY_BUILD
        {"/work/t/f", 1},
#else
        {"/work/t/f", 0},
#endif
              {long_dir + "/f", 1},
        {"/elsewhere/f", 0},
    };
    for (const auto &[path, allowed] : cases) EXPECT_EQ(is_secure_path(path.c_str()), allowed) << path;
}

TEST_F(PathPolicy, ListIsTheTemporaryDirectoryAloneWithoutSettings)
{
    host.set_attrib("netdir_path", (tmp / "n").string());
    host.set_attrib("temp_dir", "");
    ASSERT_EQ(init_secure(), 0);
    EXPECT_STREQ(secure_directories(), tmp.c_str());
}

#ifndef ZEM_LEGACY_BUILD
TEST_F(PathPolicy, TempDirAttributeJoinsTheList)
{
    settings("/data");
    host.set_attrib("netdir_path", "/data/n");
    host.set_attrib("temp_dir", "/scratch");
    ASSERT_EQ(init_secure(), 0);
    EXPECT_EQ(std::string(secure_directories()), tmp.string() + ";/scratch;/data");
}
#else
TEST_F(PathPolicy, OlderBuildIgnoresTheTempDirAttribute)
{
    settings("/data");
    host.set_attrib("netdir_path", "/data/n");
    host.set_attrib("temp_dir", "/scratch");
    ASSERT_EQ(init_secure(), 0);
    EXPECT_EQ(std::string(secure_directories()), tmp.string() + ";/data");
}
#endif

TEST_F(PathPolicy, SecureModeDropsLocalRequestsOutsideTheListSilently)
{
    settings(root.string());
    host.set_secure_mode(true);
    start_service();
    Request store;
    store.request_id = 5;
    store.action = ZEM_STORE;
    store.flags = ZEM_FLAG_LOCAL_PATH;
    store.source = "/etc/zem-outside.txt"; // judged by the source: destination is empty
    store.final = 1;
    store.data = {'x'};
    send_request(store);
    EXPECT_TRUE(host.sent_log().empty());
    EXPECT_EQ(table_size(), 0u);
    EXPECT_FALSE(fs::exists("/etc/zem-outside.txt"));
    ASSERT_EQ(host.reports_with(-51970).size(), 1u);
    EXPECT_EQ(host.reports_with(-51970)[0].str_arg(0), "/etc/zem-outside.txt");

    // Inside the list a local store goes through, unmapped.
    store.source = (root / "inside.txt").string();
    send_request(store);
    EXPECT_EQ(read_file(root / "inside.txt"), "x");

    // A network path is never checked, only mapped.
    store.request_id = 6;
    store.flags = 0;
    store.source = "/etc/mapped.txt";
    send_request(store);
    EXPECT_EQ(read_file(netdir / "etc/mapped.txt"), "x");
}

TEST_F(PathPolicy, TempBaseMapsOntoTheTemporaryDirectory)
{
    start_service();
    Request store;
    store.request_id = 7;
    store.action = ZEM_STORE;
    store.flags = ZEM_FLAG_TEMP_BASE;
    store.destination = "\\win\\style/./name.txt";
    store.final = 1;
    store.data = {'t'};
    send_request(store);
    EXPECT_EQ(read_file(tmp / "win/style/name.txt"), "t");
}

TEST_F(PathPolicy, NetworkPathWithDotDotTouchesNothingAndFails)
{
    start_service();
    write_file(root / "secret.txt", "keep");
    Request store;
    store.request_id = 8;
    store.action = ZEM_STORE;
    store.destination = "../secret.txt";
    store.final = 1;
    store.data = {'!'};
    send_request(store);
    auto replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_LT(replies[0].action, 0);
    EXPECT_EQ(read_file(root / "secret.txt"), "keep");

    Request retrieve;
    retrieve.request_id = 9;
    retrieve.action = ZEM_RETRIEVE;
    retrieve.source = "a/../../secret.txt";
    send_request(retrieve);
    replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_FAILED);
    EXPECT_TRUE(messages(kData).empty());

    Request remove = retrieve;
    remove.request_id = 10;
    remove.action = ZEM_REMOVE;
    send_request(remove);
    replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_LT(replies[0].action, 0);
    EXPECT_EQ(replies[0].final, 1);
    EXPECT_TRUE(fs::exists(root / "secret.txt"));

    Request du = retrieve;
    du.request_id = 11;
    du.action = ZEM_DISK_USAGE;
    send_request(du);
    replies = take(kReplies);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].action, ZEM_NOT_FOUND);

    EXPECT_EQ(table_size(), 0u);
    EXPECT_EQ(host.reports_with(-51970).size(), 4u);
}

} // namespace
} // namespace zem::test
