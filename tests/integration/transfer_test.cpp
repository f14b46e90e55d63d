// Round trips through the real host: files and trees stored with zem put and
// retrieved with zem get come back byte for byte, over TCP and over NATS.
#include "integration_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace zem::integration {
namespace {

constexpr std::uint64_t kMiB = 1024 * 1024;

struct RoundTripCase {
    std::uint64_t big_file = 0;  // bytes of the largest file
    std::size_t tree_files = 0;  // files of the tree
    int buffer_size = 0;         // zem_buffer_size; 0: the plug-in's default (7168)
    bool edge_sizes = false;     // also files of 0, 1, B-1, B, B+1, 20B and 20B+1 bytes
};

void report_timing(const std::string &what, std::uint64_t bytes, double seconds) {
    const double mib = static_cast<double>(bytes) / kMiB;
    std::printf("[   TIME   ] %s: %.1f MiB in %.2f s (%.0f MiB/s)\n", what.c_str(), mib, seconds,
                seconds > 0 ? mib / seconds : 0.0);
    std::fflush(stdout);
    ::testing::Test::RecordProperty(what, std::to_string(seconds));
}

void round_trip(Transport transport, const RoundTripCase &c) {
    HostSettings settings;
    settings.buffer_size = c.buffer_size;
    Deployment d(transport, settings);
    ASSERT_TRUE(d.ready());
    Host &host = d.host();
    const auto zem = d.zem({}, 30);
    const std::string via = " over " + transport_name(transport);
    const auto limit = std::chrono::seconds(120 + c.big_file / kMiB);

    const fs::path local = d / "local", back = d / "back", net = d.net();
    fs::create_directories(local);
    fs::create_directories(back);

    std::vector<std::uint64_t> sizes;
    const std::uint64_t b = c.buffer_size > 0 ? static_cast<std::uint64_t>(c.buffer_size) : 7168;
    if (c.edge_sizes) sizes = {0, 1, b - 1, b, b + 1, 20 * b, 20 * b + 1};
    sizes.push_back(c.big_file);
    std::vector<std::string> names;
    for (const auto size : sizes) {
        const std::string name = "file-" + std::to_string(size);
        names.push_back(name);
        SCOPED_TRACE(name + via);
        write_pattern_file(local / name, size, size);

        const auto put = run_zem(join(zem, {"put", (local / name).string(), "files/" + name}), limit);
        ASSERT_EQ(put.status, 0) << put.err << host.output();
        EXPECT_EQ(compare_files(local / name, net / "files" / name), "");

        const auto get = run_zem(join(zem, {"get", "files/" + name, (back / name).string()}), limit);
        ASSERT_EQ(get.status, 0) << get.err << host.output();
        EXPECT_EQ(compare_files(local / name, back / name), "");

        const auto du = run_zem(join(zem, {"du", "files/" + name}));
        EXPECT_EQ(du.out, std::to_string(size) + "\tfiles/" + name + "\n") << du.err;
        if (size == c.big_file) {
            report_timing("put of " + name + via, size, put.seconds);
            report_timing("get of " + name + via, size, get.seconds);
        }
    }

    const TreeSummary tree = make_tree(local / "tree", c.tree_files, 7);
    const auto put = run_zem(join(zem, {"put", "-r", (local / "tree").string(), "trees/tree"}), limit);
    ASSERT_EQ(put.status, 0) << put.err << host.output();
    EXPECT_EQ(compare_trees(local / "tree", net / "trees" / "tree"), "");

    const auto get = run_zem(join(zem, {"get", "-r", "trees/tree", (back / "tree").string()}), limit);
    ASSERT_EQ(get.status, 0) << get.err << host.output();
    EXPECT_EQ(compare_trees(local / "tree", back / "tree"), "");

    const auto du = run_zem(join(zem, {"du", "-r", "trees/tree"}));
    EXPECT_EQ(du.out, std::to_string(tree.bytes) + "\ttrees/tree\n") << du.err;
    report_timing("put -r of " + std::to_string(tree.files) + " files" + via, tree.bytes, put.seconds);
    report_timing("get -r of " + std::to_string(tree.files) + " files" + via, tree.bytes, get.seconds);

    // Nothing but the received files and the tree: no temporary names left.
    names.push_back("tree");
    std::sort(names.begin(), names.end());
    EXPECT_EQ(list_dir(back), names);
}

class RoundTrip : public ::testing::TestWithParam<Transport> {};

// The sizes the sanitizer build runs as well.
TEST_P(RoundTrip, FilesAndTreeComeBackByteExact) {
    round_trip(GetParam(), {64 * kMiB, 500, 0, true});
}

class LargeRoundTrip : public ::testing::TestWithParam<Transport> {};

// A 1 GiB file and a 10,000-file tree; chunks of 256 KiB keep the run short
// (a NATS server takes payloads up to 1 MiB).
TEST_P(LargeRoundTrip, GibibyteFileAndTenThousandFileTree) {
    round_trip(GetParam(), {1024 * kMiB, 10000, 256 * 1024, false});
}

INSTANTIATE_TEST_SUITE_P(Transports, RoundTrip, ::testing::Values(Transport::tcp, Transport::nats),
                         transport_param_name);
INSTANTIATE_TEST_SUITE_P(Transports, LargeRoundTrip, ::testing::Values(Transport::tcp, Transport::nats),
                         transport_param_name);

} // namespace
} // namespace zem::integration
