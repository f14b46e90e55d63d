// Trees: a store sends the tree's tar stream; a retrieve extracts the stream
// it receives safely, and shows a new tree only when it is complete.
#include "test_support.h"

#include "foldex.h"
#include "wire/zem_request_data.h"

#include <archive.h>
#include <archive_entry.h>

#include <filesystem>
#include <map>

namespace zem::test {
namespace {

namespace fs = std::filesystem;

// Relative path -> content for files, "<dir>" for directories.
std::map<std::string, std::string> snapshot(const fs::path &root) {
    std::map<std::string, std::string> entries;
    for (const auto &entry : fs::recursive_directory_iterator(root)) {
        const std::string name = fs::relative(entry.path(), root).string();
        entries[name] = entry.is_directory() ? "<dir>" : read_file(entry.path().string());
    }
    return entries;
}

void make_tree(const fs::path &root) {
    fs::create_directories(root / "sub" / "deeper");
    fs::create_directories(root / "empty");
    write_file((root / "top.txt").string(), "top");
    write_file((root / "sub" / "a.bin").string(), pattern(3 * kChunk + 5, 4));
    write_file((root / "sub" / "deeper" / "b.bin").string(), pattern(1000, 5));
}

std::string tree_stream(const fs::path &root) {
    std::uint64_t size = 0;
    const wgz_dir dir = wgzDirOpen(root.c_str(), "r", 1000000, 1, 0, &size);
    EXPECT_NE(dir, 0u);
    std::string bytes;
    char buffer[4096];
    for (;;) {
        const int n = wgzDirRead(dir, buffer, sizeof buffer, nullptr);
        if (n <= 0) break;
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    wgzDirClose(dir);
    EXPECT_EQ(bytes.size(), size);
    return bytes;
}

bool extract(const std::string &bytes, const fs::path &root) {
    const wgz_dir dir = wgzDirOpen(root.c_str(), "w", 1000000, 0, 0, nullptr);
    if (!dir) return false;
    const bool written = bytes.empty() || wgzDirWrite(dir, bytes.data(), static_cast<int>(bytes.size()), nullptr) ==
                                              static_cast<int>(bytes.size());
    return wgzDirClose(dir) == 0 && written;
}

// A tar stream whose one entry climbs out of the directory it is extracted into.
std::string hostile_stream() {
    std::string out(64 * 1024, '\0');
    std::size_t used = 0;
    archive *a = archive_write_new();
    archive_write_set_format_pax_restricted(a);
    archive_write_set_bytes_per_block(a, 0);
    archive_write_open_memory(a, out.data(), out.size(), &used);
    archive_entry *e = archive_entry_new();
    archive_entry_set_pathname(e, "../evil.txt");
    archive_entry_set_filetype(e, AE_IFREG);
    archive_entry_set_perm(e, 0644);
    archive_entry_set_size(e, 4);
    archive_write_header(a, e);
    archive_write_data(a, "evil", 4);
    archive_entry_free(e);
    archive_write_close(a);
    archive_write_free(a);
    out.resize(used);
    return out;
}

TEST(Tree, StoreSendsTheTarStreamOfTheTree) {
    ScratchDir dir;
    make_tree(dir.path() / "tree");
    FakeService fake(kChunk);
    fake.on_message([](FakeService &f, const Received &m) {
        if (m.action == ZEM_STORE) f.reply(m.request_id, ZEM_ACK, m.final);
    });
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    const Result r = requester->put_tree(dir / "tree", "srv/tree", {});
    ASSERT_TRUE(r) << r.message;

    std::string stream;
    const auto chunks = select(fake.received(), kRequestChannel, ZEM_STORE);
    for (const auto &c : chunks) {
        EXPECT_EQ(c.flags, ZEM_FLAG_DIRECTORY);
        EXPECT_EQ(c.destination, "srv/tree");
        stream.append(c.data.begin(), c.data.end());
    }
    EXPECT_EQ(chunks.back().final, 1);
    EXPECT_EQ(r.bytes, stream.size());
    ASSERT_TRUE(extract(stream, dir.path() / "copy"));
    EXPECT_EQ(snapshot(dir.path() / "copy"), snapshot(dir.path() / "tree"));
}

TEST(Tree, RetrieveBuildsANewTreeAndRenamesItIntoPlace) {
    ScratchDir dir;
    make_tree(dir.path() / "tree");
    FileSender sender;
    FakeService fake(kChunk);
    sender.content = tree_stream(dir.path() / "tree");
    sender.window = 8;
    fake.on_message(std::ref(sender));
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    const Result r = requester->get_tree("srv/tree", dir / "copy", {});
    ASSERT_TRUE(r) << r.message;
    EXPECT_EQ(snapshot(dir.path() / "copy"), snapshot(dir.path() / "tree"));
    EXPECT_TRUE(dir.hidden_entries().empty());
    const auto requests = select(fake.received(), kRequestChannel, ZEM_RETRIEVE);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].flags, ZEM_FLAG_DIRECTORY);
}

TEST(Tree, RetrieveIntoAnExistingDirectoryAddsTheEntries) {
    ScratchDir dir;
    make_tree(dir.path() / "tree");
    fs::create_directories(dir.path() / "copy");
    write_file(dir / "copy/kept.txt", "kept");
    FileSender sender;
    FakeService fake(kChunk);
    sender.content = tree_stream(dir.path() / "tree");
    fake.on_message(std::ref(sender));
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    ASSERT_TRUE(requester->get_tree("srv/tree", dir / "copy", {}));
    auto expected = snapshot(dir.path() / "tree");
    expected["kept.txt"] = "kept";
    EXPECT_EQ(snapshot(dir.path() / "copy"), expected);
}

TEST(Tree, FailedRetrieveLeavesNothingBehind) {
    struct Case {
        const char *name;
        bool hostile;
        std::size_t cut_at;
    };
    const Case cases[] = {
        {"entry outside the destination", true, std::string::npos},
        {"stream cut short", false, 5 * kChunk},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ScratchDir dir;
        make_tree(dir.path() / "tree");
        fs::create_directories(dir.path() / "inner");
        FileSender sender;
        FakeService fake(kChunk);
        sender.content = c.hostile ? hostile_stream() : tree_stream(dir.path() / "tree");
        sender.cut_at = c.cut_at;
        sender.announced = c.hostile ? sender.content.size() : UINT64_MAX;
        fake.on_message(std::ref(sender));
        auto requester = connect_to(fake);
        ASSERT_TRUE(requester);
        const Result r = requester->get_tree("srv/tree", dir / "inner/copy", {});
        EXPECT_EQ(r.kind, ErrorKind::failed) << r.message;
        EXPECT_FALSE(fs::exists(dir.path() / "inner" / "copy"));
        EXPECT_FALSE(fs::exists(dir.path() / "inner" / "evil.txt"));
        EXPECT_FALSE(fs::exists(dir.path() / "evil.txt"));
        EXPECT_TRUE(dir.hidden_entries().empty());
    }
}

TEST(Tree, OptionsThatOnlyFitFilesAreRefused) {
    ScratchDir dir;
    make_tree(dir.path() / "tree");
    FakeService fake(kChunk);
    auto requester = connect_to(fake);
    ASSERT_TRUE(requester);
    TransferOptions append, offset, gzl;
    append.append = true;
    offset.offset = 3;
    gzl.gzl = true;
    for (const TransferOptions &o : {append, offset, gzl}) {
        EXPECT_EQ(requester->put_tree(dir / "tree", "t", o).kind, ErrorKind::usage);
        EXPECT_EQ(requester->get_tree("t", dir / "copy", o).kind, ErrorKind::usage);
    }
    write_file(dir / "file", "x");
    EXPECT_EQ(requester->put_tree(dir / "file", "t", {}).kind, ErrorKind::usage);
    EXPECT_EQ(requester->get_tree("t", dir / "file", {}).kind, ErrorKind::usage);
    EXPECT_TRUE(fake.received().empty());
}

} // namespace
} // namespace zem::test
