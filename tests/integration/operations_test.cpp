// The requests besides plain round trips, through the real host: resuming,
// appending, compressed images, disk usage, removal, secure mode, and two
// hosts on one NATS server.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <csignal>

namespace zem::integration {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

class Operations : public ::testing::TestWithParam<Transport> {};

// A get cut off by SIGKILL leaves a prefix of the file behind; --resume
// fetches the rest, and --offset N fetches from byte N on.
TEST_P(Operations, InterruptedGetResumesAndOffsetsFetchTheRest) {
    // Small chunks make the get slow enough to cut.
    HostSettings settings;
    settings.buffer_size = 1024;
    Deployment d(GetParam(), settings);
    ASSERT_TRUE(d.ready());
    const std::uint64_t size = 8 * kMiB;
    fs::create_directories(d.net());
    write_pattern_file(d.net() / "big", size, 11);
    const fs::path local = d / "local";
    fs::create_directories(local);

    // --append writes straight into the file, so the killed get leaves its prefix.
    auto get = start_zem(d.zem({"get", "--append", "big", (local / "partial").string()}), d / "get.log");
    ASSERT_TRUE(wait_until([&] { return size_of(local / "partial") >= 1024 * 1024; }, 30s)) << get->output();
    get->signal(SIGKILL);
    get->wait_exit(10s);
    const auto cut = static_cast<std::uint64_t>(size_of(local / "partial"));
    std::printf("the killed get left %llu of %llu bytes\n", static_cast<unsigned long long>(cut),
                static_cast<unsigned long long>(size));
    copy_range(d.net() / "big", local / "expected-prefix", 0, cut);
    EXPECT_EQ(compare_files(local / "partial", local / "expected-prefix"), "");

    const auto resume = run_zem(d.zem({"get", "--resume", "big", (local / "partial").string()}));
    ASSERT_EQ(resume.status, 0) << resume.err;
    EXPECT_EQ(compare_files(d.net() / "big", local / "partial"), "");

    // From an odd offset: into a new file, and appended to the prefix.
    const std::uint64_t offset = 3 * kMiB + 4321;
    const auto tail = run_zem(d.zem({"get", "--offset", std::to_string(offset), "big", (local / "tail").string()}));
    ASSERT_EQ(tail.status, 0) << tail.err;
    copy_range(d.net() / "big", local / "expected-tail", offset, size - offset);
    EXPECT_EQ(compare_files(local / "tail", local / "expected-tail"), "");

    copy_range(d.net() / "big", local / "joined", 0, offset);
    const auto joined = run_zem(
        d.zem({"get", "--offset", std::to_string(offset), "--append", "big", (local / "joined").string()}));
    ASSERT_EQ(joined.status, 0) << joined.err;
    EXPECT_EQ(compare_files(d.net() / "big", local / "joined"), "");

    // An offset beyond the end is a failure that leaves nothing behind.
    const auto beyond = run_zem(d.zem({"get", "--offset", std::to_string(size + 1), "big", (local / "beyond").string()}));
    EXPECT_EQ(beyond.status, 5) << beyond.err;
    EXPECT_FALSE(fs::exists(local / "beyond"));
}

// The store side of resuming: --offset N and --resume send the part of the
// local file that the remote one lacks.
TEST_P(Operations, PutOffsetAndResumeCompleteTheRemoteFile) {
    Deployment d(GetParam());
    ASSERT_TRUE(d.ready());
    const fs::path local = d / "local";
    fs::create_directories(local);
    fs::create_directories(d.net() / "in");
    const std::uint64_t size = 5 * kMiB + 77;
    write_pattern_file(local / "source", size, 12);

    const std::uint64_t offset = 2 * kMiB + 3;
    copy_range(local / "source", d.net() / "in" / "by-offset", 0, offset);
    const auto by_offset =
        run_zem(d.zem({"put", "--offset", std::to_string(offset), (local / "source").string(), "in/by-offset"}));
    ASSERT_EQ(by_offset.status, 0) << by_offset.err;
    EXPECT_EQ(compare_files(local / "source", d.net() / "in" / "by-offset"), "");

    copy_range(local / "source", d.net() / "in" / "resumed", 0, 1234567);
    const auto resumed = run_zem(d.zem({"put", "--resume", (local / "source").string(), "in/resumed"}));
    ASSERT_EQ(resumed.status, 0) << resumed.err;
    EXPECT_EQ(compare_files(local / "source", d.net() / "in" / "resumed"), "");

    // Nothing there yet: --resume sends the whole file.
    const auto fresh = run_zem(d.zem({"put", "--resume", (local / "source").string(), "in/fresh"}));
    ASSERT_EQ(fresh.status, 0) << fresh.err;
    EXPECT_EQ(compare_files(local / "source", d.net() / "in" / "fresh"), "");
}

TEST_P(Operations, AppendExtendsRemoteAndLocalFiles) {
    Deployment d(GetParam());
    ASSERT_TRUE(d.ready());
    const fs::path local = d / "local";
    fs::create_directories(local);
    write_pattern_file(local / "a", 100000, 21);
    write_pattern_file(local / "b", 7168 * 3, 22);
    write_pattern_file(local / "c", 5, 23);

    ASSERT_EQ(run_zem(d.zem({"put", (local / "a").string(), "log"})).status, 0);
    const auto appended = run_zem(d.zem({"put", "--append", (local / "b").string(), "log"}));
    ASSERT_EQ(appended.status, 0) << appended.err;
    write_file(local / "a+b", read_file(local / "a") + read_file(local / "b"));
    EXPECT_EQ(compare_files(local / "a+b", d.net() / "log"), "");

    // A plain put replaces what --append extended.
    ASSERT_EQ(run_zem(d.zem({"put", (local / "c").string(), "log"})).status, 0);
    EXPECT_EQ(compare_files(local / "c", d.net() / "log"), "");

    write_file(local / "mine", "local head\n");
    const auto got = run_zem(d.zem({"get", "--append", "log", (local / "mine").string()}));
    ASSERT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(read_file(local / "mine"), "local head\n" + read_file(local / "c"));

    // A failed get --append leaves the local file as it was.
    const auto missing = run_zem(d.zem({"get", "--append", "no-such-file", (local / "mine").string()}));
    EXPECT_EQ(missing.status, 3) << missing.err;
    EXPECT_EQ(read_file(local / "mine"), "local head\n" + read_file(local / "c"));
}

std::string gunzip(const fs::path &path) {
    std::string text;
    gzFile in = gzopen(path.c_str(), "rb");
    if (!in) return "<cannot open " + path.string() + ">";
    char buffer[1 << 16];
    int n = 0;
    while ((n = gzread(in, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
    if (n < 0) text += "<gzip error>";
    gzclose(in);
    return text;
}

TEST_P(Operations, GzlRetrievesACompressedImage) {
    Deployment d(GetParam());
    ASSERT_TRUE(d.ready());
    const fs::path local = d / "local";
    fs::create_directories(local);
    fs::create_directories(d.net() / "docs");
    // Text compresses; random bytes do not: both kinds, across many 8 KiB steps.
    std::string text;
    for (int line = 0; line < 40000; ++line) text += "line " + std::to_string(line) + " of the report\n";
    write_pattern_file(local / "noise", 300000, 31);
    text += read_file(local / "noise");
    write_file(d.net() / "docs" / "report.txt", text);

    const auto get = run_zem(d.zem({"get", "--gzl", "docs/report.txt", local.string()}));
    ASSERT_EQ(get.status, 0) << get.err << d.host().output();
    ASSERT_TRUE(fs::exists(local / "report.txt.gzl"));
    EXPECT_LT(size_of(local / "report.txt.gzl"), static_cast<long long>(text.size()));
    EXPECT_TRUE(gunzip(local / "report.txt.gzl") == text) << "the image does not unpack to the file";

    const auto missing = run_zem(d.zem({"get", "--gzl", "docs/absent.txt", local.string()}));
    EXPECT_EQ(missing.status, 3) << missing.err;
    EXPECT_FALSE(fs::exists(local / "absent.txt.gzl"));
}

TEST_P(Operations, DiskUsageAndRemovalOfFilesAndTrees) {
    Deployment d(GetParam());
    ASSERT_TRUE(d.ready());
    const fs::path local = d / "local";
    fs::create_directories(local);
    write_pattern_file(local / "file", 123457, 41);
    const TreeSummary tree = make_tree(local / "tree", 60, 42);
    ASSERT_EQ(run_zem(d.zem({"put", (local / "file").string(), "keep/file"})).status, 0);
    ASSERT_EQ(run_zem(d.zem({"put", "-r", (local / "tree").string(), "keep/tree"})).status, 0);

    auto du = run_zem(d.zem({"du", "keep/file"}));
    EXPECT_EQ(du.status, 0) << du.err;
    EXPECT_EQ(du.out, "123457\tkeep/file\n");
    du = run_zem(d.zem({"du", "-r", "keep/tree"}));
    EXPECT_EQ(du.status, 0) << du.err;
    EXPECT_EQ(du.out, std::to_string(tree.bytes) + "\tkeep/tree\n");

    auto rm = run_zem(d.zem({"rm", "keep/file"}));
    EXPECT_EQ(rm.status, 0) << rm.err;
    EXPECT_FALSE(fs::exists(d.net() / "keep" / "file"));
    rm = run_zem(d.zem({"rm", "-r", "keep/tree"}));
    EXPECT_EQ(rm.status, 0) << rm.err;
    EXPECT_FALSE(fs::exists(d.net() / "keep" / "tree"));
    EXPECT_EQ(list_dir(d.net() / "keep"), std::vector<std::string>{});

    // What is gone is reported as not found, and a get of it creates nothing.
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"du", "keep/file"}, {"du", "-r", "keep/tree"}, {"rm", "-r", "keep/tree"},
             {"get", "keep/file", (local / "copy").string()}, {"get", "-r", "keep/tree", (local / "copy").string()}}) {
        const auto run = run_zem(d.zem(args));
        EXPECT_EQ(run.status, 3) << args[0] << " " << args[1] << ": " << run.err;
        EXPECT_NE(run.err.find("not found"), std::string::npos) << run.err;
    }
    EXPECT_FALSE(fs::exists(local / "copy"));
    EXPECT_EQ(list_dir(local), (std::vector<std::string>{"file", "tree"}));
}

// Request paths are mapped onto the base directory: a path that climbs out
// of it is refused and nothing outside is touched.
TEST_P(Operations, PathsCannotLeaveTheBaseDirectory) {
    Deployment d(GetParam());
    ASSERT_TRUE(d.ready());
    fs::create_directories(d.net());
    fs::create_directories(d / "local");
    write_file(d / "local" / "file", "payload");
    write_file(d / "outside", "precious");
    for (const auto &args : std::vector<std::vector<std::string>>{
             {"put", (d / "local" / "file").string(), "../outside"},
             {"put", (d / "local" / "file").string(), "a/../../escaped"},
             {"put", "-r", (d / "local").string(), "../tree"},
             {"get", "../outside", (d / "local" / "stolen").string()},
             {"rm", "../outside"},
             {"rm", "-r", ".."},
             {"du", "../outside"}}) {
        const auto run = run_zem(d.zem(args));
        EXPECT_NE(run.status, 0) << args[0] << " " << args[1];
        EXPECT_TRUE(run.status == 3 || run.status == 5) << run.status << ": " << run.err;
    }
    EXPECT_EQ(read_file(d / "outside"), "precious");
    EXPECT_TRUE(fs::is_directory(d.net()));
    EXPECT_FALSE(fs::exists(d / "escaped"));
    EXPECT_FALSE(fs::exists(d / "tree"));
    EXPECT_FALSE(fs::exists(d / "local" / "stolen"));
}

INSTANTIATE_TEST_SUITE_P(Transports, Operations, ::testing::Values(Transport::tcp, Transport::nats),
                         transport_param_name);

// Secure mode: local paths outside the secure directories are dropped by the
// host; the requester says so in plain words when its timeout ends.
TEST(SecureMode, RefusesLocalPathsOutsideTheSecureDirectories) {
    ScratchDir dir;
    const fs::path tmp = dir / "tmp", extra = dir / "extra", outside = dir / "outside", local = dir / "local";
    for (const auto &p : {tmp, extra, outside, local}) fs::create_directories(p);
    write_file(local / "file", "secure payload");
    write_file(outside / "secret", "outside the secure directories");

    // The host's temporary directory and temp_dir are its secure directories;
    // the base directory must lie inside them.
    HostSettings settings;
    settings.netdir = tmp / "net";
    settings.secure = true;
    settings.attributes = {"temp_dir=" + extra.string()};
    settings.env = {"TMPDIR=" + tmp.string()};
    Host host(dir.path(), settings);
    ASSERT_TRUE(host.started());

    // A refused request gets no answer: its requester waits one second. A
    // request that goes through may take its time.
    struct Case {
        std::vector<std::string> args;
        bool allowed;
        fs::path written; // the file the request writes, or must not write
        std::string checked; // the path the host judges
    };
    const std::string file = (local / "file").string();
    const std::string secret = (outside / "secret").string();
    const std::string dotted = (tmp / ".." / "outside" / "y").string();
    const std::string sibling = extra.string() + "X/z";
    const std::vector<Case> cases = {
        {{"put", "--local", file, (tmp / "in" / "a").string()}, true, tmp / "in" / "a", ""},
        {{"put", "--local", file, (extra / "b").string()}, true, extra / "b", ""},
        {{"put", file, "mapped/c"}, true, tmp / "net" / "mapped" / "c", ""},
        {{"get", "--local", (extra / "b").string(), (local / "b").string()}, true, local / "b", ""},
        {{"put", "--local", file, (outside / "x").string()}, false, outside / "x", (outside / "x").string()},
        {{"put", "--local", file, dotted}, false, outside / "y", dotted},
        {{"put", "--local", file, sibling}, false, sibling, sibling},
        {{"get", "--local", secret, (local / "secret").string()}, false, local / "secret", secret},
        {{"du", "--local", secret}, false, {}, secret},
        {{"rm", "--local", secret}, false, {}, secret},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[c.args.size() - 1]);
        const auto run = run_zem(join(join(host.zem_options(), {"--timeout", c.allowed ? "15" : "1"}), c.args));
        if (c.allowed) {
            EXPECT_EQ(run.status, 0) << run.err;
            EXPECT_EQ(read_file(c.written), "secure payload");
            continue;
        }
        EXPECT_EQ(run.status, 6) << run.err;
        EXPECT_NE(run.err.find("no answer from the service within 1 s"), std::string::npos) << run.err;
        EXPECT_TRUE(host.process().wait_for_output("Path refused: " + c.checked + " ", 5s)) << host.output();
        if (!c.written.empty()) {
            EXPECT_FALSE(fs::exists(c.written));
        }
    }
    EXPECT_EQ(read_file(outside / "secret"), "outside the secure directories");
}

// Two hosts with their own subjects on one NATS server: one requester moves
// files to and from each, and each host works in its own directory only.
TEST(TwoHosts, ShareOneNatsServerUnderTheirOwnSubjects) {
    ScratchDir dir;
    NatsServer nats(dir.path());
    ASSERT_TRUE(nats.ready());
    HostSettings settings;
    settings.transport = Transport::nats;
    settings.nats_url = nats.url();
    settings.subject = "a";
    settings.netdir = dir / "net-a";
    Host a(dir.path(), settings);
    settings.subject = "b";
    settings.netdir = dir / "net-b";
    Host b(dir.path(), settings);
    ASSERT_TRUE(a.started());
    ASSERT_TRUE(b.started());
    const fs::path local = dir / "local";
    fs::create_directories(local / "back");
    write_pattern_file(local / "for-a", 3 * kMiB + 1, 51);
    write_pattern_file(local / "for-b", 2 * kMiB + 2, 52);
    make_tree(local / "tree-b", 40, 53);

    auto zem = [](const Host &host, const std::vector<std::string> &args) {
        return run_zem(join(join(host.zem_options(), {"--timeout", "15"}), args));
    };
    ASSERT_EQ(zem(a, {"put", (local / "for-a").string(), "inbox/data"}).status, 0);
    ASSERT_EQ(zem(b, {"put", (local / "for-b").string(), "inbox/data"}).status, 0);
    ASSERT_EQ(zem(b, {"put", "-r", (local / "tree-b").string(), "tree"}).status, 0);
    EXPECT_EQ(compare_files(local / "for-a", dir / "net-a" / "inbox" / "data"), "");
    EXPECT_EQ(compare_files(local / "for-b", dir / "net-b" / "inbox" / "data"), "");
    EXPECT_EQ(compare_trees(local / "tree-b", dir / "net-b" / "tree"), "");
    EXPECT_EQ(list_dir(dir / "net-a"), std::vector<std::string>{"inbox"});
    EXPECT_EQ(list_dir(dir / "net-b"), (std::vector<std::string>{"inbox", "tree"}));

    // The same remote name reaches a different file on each host.
    ASSERT_EQ(zem(a, {"get", "inbox/data", (local / "back" / "from-a").string()}).status, 0);
    ASSERT_EQ(zem(b, {"get", "inbox/data", (local / "back" / "from-b").string()}).status, 0);
    EXPECT_EQ(compare_files(local / "for-a", local / "back" / "from-a"), "");
    EXPECT_EQ(compare_files(local / "for-b", local / "back" / "from-b"), "");
    EXPECT_EQ(zem(a, {"du", "inbox/data"}).out, std::to_string(3 * kMiB + 1) + "\tinbox/data\n");
    EXPECT_EQ(zem(b, {"du", "inbox/data"}).out, std::to_string(2 * kMiB + 2) + "\tinbox/data\n");
    EXPECT_EQ(zem(a, {"du", "-r", "tree"}).status, 3);

    // A removal on one host leaves the other's file alone.
    ASSERT_EQ(zem(a, {"rm", "inbox/data"}).status, 0);
    EXPECT_FALSE(fs::exists(dir / "net-a" / "inbox" / "data"));
    EXPECT_EQ(compare_files(local / "for-b", dir / "net-b" / "inbox" / "data"), "");
}

} // namespace
} // namespace zem::integration
