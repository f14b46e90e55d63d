// Directory streams: a tree read as a tar stream and written back, in
// chunks of any size, matched against GNU tar in both directions.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <set>
#include <sstream>
#include <string>

#include "foldex.h"
#include "foldex_test_support.h"

namespace {

using foldex_test::compare;
using foldex_test::pattern;
using foldex_test::read_stream;
using foldex_test::run_shell;
using foldex_test::ScratchDir;
using foldex_test::shell_quote;
using foldex_test::snapshot;
using foldex_test::Tree;
using foldex_test::write_file;
using foldex_test::write_stream;

const std::string kLongName = std::string(150, 'n') + ".txt";
const std::string kUtf8Name = "gr\xc3\xb6\xc3\x9f" "e-\xe6\x97\xa5\xe6\x9c\xac.txt";
// Not valid UTF-8: stored as raw bytes.
const std::string kLatin1Name = "caf\xe9.txt";

void make_dir(const std::string &path, mode_t mode) {
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path;
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

void make_file(const std::string &path, const std::string &content, mode_t mode) {
    write_file(path, content);
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

// Gives every file and directory a whole-second time of its own, children
// before their parents so that no later change moves a directory's time.
void settle_times(const std::string &root) {
    const Tree tree = snapshot(root);
    time_t when = 1600000000;
    for (auto it = tree.rbegin(); it != tree.rend(); ++it) {
        const timespec times[2] = {{when, 0}, {when, 0}};
        utimensat(AT_FDCWD, (root + "/" + it->first).c_str(), times, AT_SYMLINK_NOFOLLOW);
        when += 3600;
    }
}

// A tree with nested and empty folders, dotfiles, long, non-ASCII and
// non-UTF-8 names,
// links, several modes and, when big is set, a file of a few MiB.
void build_tree(const std::string &root, bool big) {
    make_dir(root, 0755);
    make_file(root + "/.hidden", "dot", 0644);
    make_file(root + "/a.txt", "alpha\n", 0600);
    make_file(root + "/zero", "", 0644);
    make_dir(root + "/empty", 0755);
    make_dir(root + "/private", 0700);
    make_file(root + "/private/script.sh", "#!/bin/sh\necho hi\n", 0755);
    make_dir(root + "/sub", 0755);
    make_dir(root + "/sub/deeper", 0750);
    make_dir(root + "/sub/deeper/.dotdir", 0755);
    make_file(root + "/sub/deeper/leaf.txt", pattern(5000, 11), 0640);
    make_file(root + "/sub/file", "file in sub\n", 0644);
    make_file(root + "/" + kLongName, "long name\n", 0644);
    make_file(root + "/" + kUtf8Name, "non-ascii name\n", 0644);
    make_file(root + "/" + kLatin1Name, "latin-1 name\n", 0644);
    make_dir(root + "/readonly", 0755);
    make_file(root + "/readonly/r.txt", "read only\n", 0444);
    ASSERT_EQ(chmod((root + "/readonly").c_str(), 0555), 0);
    ASSERT_EQ(symlink("sub/file", (root + "/link").c_str()), 0);
    ASSERT_EQ(symlink("/nonexistent/target", (root + "/dangling").c_str()), 0);
    ASSERT_EQ(symlink(("deep/" + std::string(140, 't')).c_str(), (root + "/longlink").c_str()), 0);
    if (big)
        make_file(root + "/big.bin", pattern(3 * 1024 * 1024 + 123, 42), 0644);
    settle_times(root);
}

std::string save(const std::string &path, const std::string &bytes) {
    write_file(path, bytes);
    return path;
}

struct ChunkCase {
    int read_chunk;
    int write_chunk;
    int block_hint;
};

void PrintTo(const ChunkCase &c, std::ostream *out) {
    *out << "reads of " << c.read_chunk << ", writes of " << c.write_chunk << ", block hint " << c.block_hint;
}

class TreeRoundTrip : public ::testing::TestWithParam<ChunkCase> {};

TEST_P(TreeRoundTrip, WriteModeRebuildsTheTreeThatReadModeStreamed) {
    const ChunkCase &c = GetParam();
    ScratchDir scratch;
    build_tree(scratch / "tree", true);

    const auto stream = read_stream(scratch / "tree", c.read_chunk);
    ASSERT_TRUE(stream.ok) << stream.error;
    const auto written = write_stream(scratch / "out/dest", stream.bytes, c.write_chunk, c.block_hint);

    EXPECT_TRUE(written.writes_ok);
    ASSERT_EQ(written.finish, 0) << written.error;
    EXPECT_EQ(compare(snapshot(scratch / "tree"), snapshot(scratch / "out/dest")), "");
}

INSTANTIATE_TEST_SUITE_P(Chunks, TreeRoundTrip,
                         ::testing::Values(ChunkCase{7168, 7168, 1000000}, ChunkCase{1000, 4093, 1000000},
                                           ChunkCase{65536, 333, 1000000},
                                           ChunkCase{1048576, 65537, 1000000},
                                           // A queue of 64 KiB: the writer waits for the worker.
                                           ChunkCase{7168, 200000, 1}));

TEST(DirStream, SmallTreeSurvivesSingleByteReadsAndWrites) {
    ScratchDir scratch;
    build_tree(scratch / "tree", false);
    const auto stream = read_stream(scratch / "tree", 1);
    ASSERT_TRUE(stream.ok) << stream.error;
    const auto written = write_stream(scratch / "dest", stream.bytes, 1);
    ASSERT_EQ(written.finish, 0) << written.error;
    EXPECT_EQ(compare(snapshot(scratch / "tree"), snapshot(scratch / "dest")), "");
}

TEST(DirStream, StreamIsTheSameWhicheverChunksReadIt) {
    ScratchDir scratch;
    build_tree(scratch / "tree", false);
    const auto whole = read_stream(scratch / "tree", 1 << 20);
    const auto pieces = read_stream(scratch / "tree", 511);
    ASSERT_TRUE(whole.ok) << whole.error;
    ASSERT_TRUE(pieces.ok) << pieces.error;
    EXPECT_TRUE(whole.bytes == pieces.bytes);
    // Only tar's own records: headers and data in 512-byte blocks, and the
    // two-block end marker.
    EXPECT_EQ(whole.bytes.size() % 512, 0u);
    EXPECT_EQ(whole.bytes.substr(whole.bytes.size() - 1024), std::string(1024, '\0'));
}

TEST(DirStream, GnuTarListsAndExtractsTheStream) {
    ScratchDir scratch;
    build_tree(scratch / "tree", true);
    const auto stream = read_stream(scratch / "tree", 7168);
    ASSERT_TRUE(stream.ok) << stream.error;
    const std::string saved = save(scratch / "stream.tar", stream.bytes);

    std::string listing;
    ASSERT_EQ(run_shell("LC_ALL=C.UTF-8 tar --quoting-style=literal -tf " + shell_quote(saved), &listing), 0);
    std::set<std::string> listed;
    std::istringstream lines(listing);
    for (std::string line; std::getline(lines, line);)
        listed.insert(line);
    std::set<std::string> expected;
    for (const auto &[name, node] : snapshot(scratch / "tree"))
        expected.insert(node.kind == 'd' ? name + "/" : name);
    EXPECT_EQ(listed, expected);

    ASSERT_EQ(mkdir((scratch / "by-tar").c_str(), 0755), 0);
    ASSERT_EQ(run_shell("tar -xpf " + shell_quote(saved) + " -C " + shell_quote(scratch / "by-tar")), 0);
    EXPECT_EQ(compare(snapshot(scratch / "tree"), snapshot(scratch / "by-tar")), "");
}

struct GnuTarCase {
    const char *name;
    const char *options;
    bool dot;  // "-C tree ." gives "./" names; otherwise the names are listed
};

void PrintTo(const GnuTarCase &c, std::ostream *out) { *out << c.name; }

class GnuTarInput : public ::testing::TestWithParam<GnuTarCase> {};

TEST_P(GnuTarInput, ExtractsWhole) {
    const GnuTarCase &c = GetParam();
    ScratchDir scratch;
    build_tree(scratch / "tree", true);
    std::string members = ".";
    if (!c.dot) {
        members.clear();
        for (const auto &[name, node] : snapshot(scratch / "tree")) {
            if (name.find('/') == std::string::npos)
                members += " " + shell_quote(name);
        }
    }
    const std::string archive = scratch / "input.tar";
    ASSERT_EQ(run_shell(std::string("tar ") + c.options + " -cf " + shell_quote(archive) + " -C " +
                  shell_quote(scratch / "tree") + " " + members),
              0);

    const auto written = write_stream(scratch / "dest", foldex_test::read_file(archive), 7168);

    ASSERT_EQ(written.finish, 0) << written.error;
    EXPECT_EQ(compare(snapshot(scratch / "tree"), snapshot(scratch / "dest")), "");
}

INSTANTIATE_TEST_SUITE_P(Formats, GnuTarInput,
                         ::testing::Values(GnuTarCase{"gnu_dot", "--format=gnu", true},
                                           GnuTarCase{"gnu_names", "--format=gnu", false},
                                           GnuTarCase{"posix_dot", "--format=posix", true},
                                           GnuTarCase{"posix_names", "--format=posix", false},
                                           GnuTarCase{"oldgnu_dot", "--format=oldgnu", true}),
                         [](const ::testing::TestParamInfo<GnuTarCase> &param_info) { return param_info.param.name; });

TEST(DirStream, HardLinksFromGnuTarStayInsideAndShareTheFile) {
    ScratchDir scratch;
    make_dir(scratch / "tree", 0755);
    make_dir(scratch / "tree/sub", 0755);
    write_file(scratch / "tree/first", "shared\n");
    ASSERT_EQ(link((scratch / "tree/first").c_str(), (scratch / "tree/sub/second").c_str()), 0);
    const std::string archive = scratch / "links.tar";
    ASSERT_EQ(run_shell("tar -cf " + shell_quote(archive) + " -C " + shell_quote(scratch / "tree") + " ."), 0);

    const auto written = write_stream(scratch / "dest", foldex_test::read_file(archive), 1000);

    ASSERT_EQ(written.finish, 0) << written.error;
    struct stat first {}, second {};
    ASSERT_EQ(stat((scratch / "dest/first").c_str(), &first), 0);
    ASSERT_EQ(stat((scratch / "dest/sub/second").c_str(), &second), 0);
    EXPECT_EQ(first.st_ino, second.st_ino);
    EXPECT_EQ(foldex_test::read_file(scratch / "dest/sub/second"), "shared\n");
}

TEST(DirStream, EmptyTreeIsAnEndMarkerAndMissingParentsAreCreated) {
    ScratchDir scratch;
    make_dir(scratch / "tree", 0755);
    const auto stream = read_stream(scratch / "tree", 7168);
    ASSERT_TRUE(stream.ok) << stream.error;
    EXPECT_EQ(stream.bytes, std::string(1024, '\0'));

    const auto written = write_stream(scratch / "new/deeper/dest", stream.bytes, 7168);
    ASSERT_EQ(written.finish, 0) << written.error;
    EXPECT_TRUE(snapshot(scratch / "new/deeper/dest").empty());
}

TEST(DirStream, WithoutRecursionOnlyTheTopLevelIsStreamed) {
    ScratchDir scratch;
    build_tree(scratch / "tree", false);
    uint64_t size = 0;
    wgz_dir dir = wgzDirOpen((scratch / "tree").c_str(), "r", 1000000, 0, 0, &size);
    ASSERT_NE(dir, 0u);
    std::string bytes(size, '\0');
    ASSERT_EQ(wgzDirRead(dir, bytes.data(), static_cast<int>(size), nullptr), static_cast<int>(size));
    EXPECT_EQ(wgzDirClose(dir), 0);
    const auto written = write_stream(scratch / "dest", bytes, 7168);
    ASSERT_EQ(written.finish, 0) << written.error;
    const Tree top = snapshot(scratch / "dest");
    EXPECT_EQ(top.count("sub"), 1u);
    EXPECT_EQ(top.count("a.txt"), 1u);
    EXPECT_EQ(top.count("sub/file"), 0u);
}

// A stream cut anywhere before its end marker is an error, also when the
// cut falls exactly between two entries.
class TruncatedStream : public ::testing::TestWithParam<size_t> {};

TEST_P(TruncatedStream, FailsTheExtraction) {
    ScratchDir scratch;
    make_dir(scratch / "tree", 0755);
    write_file(scratch / "tree/f", pattern(600, 1));
    write_file(scratch / "tree/g", "g");
    const auto stream = read_stream(scratch / "tree", 7168);
    ASSERT_TRUE(stream.ok) << stream.error;
    // f: header and two data blocks; g: header and one block; end marker.
    ASSERT_EQ(stream.bytes.size(), 512u + 1024u + 512u + 512u + 1024u);

    const auto written = write_stream(scratch / "dest", stream.bytes.substr(0, GetParam()), 100);

    EXPECT_EQ(written.finish, -1);
    EXPECT_NE(written.error, "");
}

INSTANTIATE_TEST_SUITE_P(Cuts, TruncatedStream,
                         ::testing::Values(size_t{0}, size_t{1}, size_t{511}, size_t{512}, size_t{1000},
                                           size_t{1536}, size_t{2048}, size_t{2560}, size_t{3000}));

TEST(DirStream, GarbageIsNotAnArchive) {
    ScratchDir scratch;
    const auto written = write_stream(scratch / "dest", pattern(20000, 9), 7168);
    EXPECT_EQ(written.finish, -1);
    EXPECT_NE(written.error, "");
}

enum class Change { grow, shrink, remove, replace_by_link };

void PrintTo(Change change, std::ostream *out) {
    const char *names[] = {"grow", "shrink", "remove", "replace_by_link"};
    *out << names[static_cast<int>(change)];
}

class ChangedFile : public ::testing::TestWithParam<Change> {};

TEST_P(ChangedFile, FailsTheReadAndNamesTheFile) {
    ScratchDir scratch;
    make_dir(scratch / "tree", 0755);
    write_file(scratch / "tree/a", "first");
    write_file(scratch / "tree/moving", pattern(100000, 4));
    write_file(scratch / "tree/z", "last");
    uint64_t size = 0;
    wgz_dir dir = wgzDirOpen((scratch / "tree").c_str(), "r", 1000000, 1, 0, &size);
    ASSERT_NE(dir, 0u);

    const std::string moving = scratch / "tree/moving";
    switch (GetParam()) {
    case Change::grow:
        write_file(moving, pattern(100001, 4));
        break;
    case Change::shrink:
        write_file(moving, pattern(99999, 4));
        break;
    case Change::remove:
        unlink(moving.c_str());
        break;
    case Change::replace_by_link:
        unlink(moving.c_str());
        ASSERT_EQ(symlink("a", moving.c_str()), 0);
        break;
    }
    std::string buffer(7168, '\0');
    uint64_t total = 0;
    int got;
    while ((got = wgzDirRead(dir, buffer.data(), 7168, nullptr)) > 0)
        total += static_cast<uint64_t>(got);

    EXPECT_EQ(got, -1);
    EXPECT_LT(total, size);
    EXPECT_NE(std::string(wgzDirError(dir)).find(moving), std::string::npos) << wgzDirError(dir);
    EXPECT_EQ(wgzDirRead(dir, buffer.data(), 7168, nullptr), -1);
    EXPECT_EQ(wgzDirClose(dir), -1);
}

INSTANTIATE_TEST_SUITE_P(Changes, ChangedFile,
                         ::testing::Values(Change::grow, Change::shrink, Change::remove, Change::replace_by_link),
                         [](const ::testing::TestParamInfo<Change> &param_info) {
                             return ::testing::PrintToString(param_info.param);
                         });

TEST(DirStream, FileGrowingWhileItIsReadFailsTheRead) {
    ScratchDir scratch;
    make_dir(scratch / "tree", 0755);
    write_file(scratch / "tree/log", pattern(200000, 6));
    uint64_t size = 0;
    wgz_dir dir = wgzDirOpen((scratch / "tree").c_str(), "r", 1000000, 1, 0, &size);
    ASSERT_NE(dir, 0u);
    std::string buffer(7168, '\0');
    // The header and the first pieces of the file are out before it grows.
    ASSERT_EQ(wgzDirRead(dir, buffer.data(), 7168, nullptr), 7168);
    {
        FILE *log = fopen((scratch / "tree/log").c_str(), "ab");
        ASSERT_NE(log, nullptr);
        fputs("one more line\n", log);
        fclose(log);
    }
    int got;
    while ((got = wgzDirRead(dir, buffer.data(), 7168, nullptr)) > 0) {
    }
    EXPECT_EQ(got, -1);
    EXPECT_NE(std::string(wgzDirError(dir)).find("longer"), std::string::npos) << wgzDirError(dir);
    wgzDirClose(dir);
}

TEST(DirStream, OpenFailuresSayWhy) {
    ScratchDir scratch;
    write_file(scratch / "plain", "x");
    uint64_t size = 0;

    EXPECT_EQ(wgzDirOpen((scratch / "absent").c_str(), "r", 1000000, 1, 0, &size), 0u);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(std::string(wgzDirError(0)).find(scratch / "absent"), std::string::npos) << wgzDirError(0);

    EXPECT_EQ(wgzDirOpen((scratch / "plain").c_str(), "r", 1000000, 1, 0, &size), 0u);
    EXPECT_EQ(errno, ENOTDIR);

    EXPECT_EQ(wgzDirOpen((scratch / "plain/below").c_str(), "w", 1000000, 0, 0, nullptr), 0u);
    EXPECT_EQ(errno, ENOTDIR);

    EXPECT_EQ(wgzDirOpen(scratch.path().c_str(), "a", 1000000, 0, 0, nullptr), 0u);
    EXPECT_EQ(errno, EINVAL);
}

TEST(DirStream, WrongModeCallsAreRefused) {
    ScratchDir scratch;
    make_dir(scratch / "tree", 0755);
    char byte = 0;
    wgz_dir reading = wgzDirOpen((scratch / "tree").c_str(), "r", 1000000, 1, 0, nullptr);
    ASSERT_NE(reading, 0u);
    EXPECT_EQ(wgzDirWrite(reading, &byte, 1, nullptr), -1);
    EXPECT_NE(std::string(wgzDirError(reading)), "");
    EXPECT_EQ(wgzDirClose(reading), 0);

    wgz_dir writing = wgzDirOpen((scratch / "dest").c_str(), "w", 1000000, 0, 0, nullptr);
    ASSERT_NE(writing, 0u);
    EXPECT_EQ(wgzDirRead(writing, &byte, 1, nullptr), -1);
    EXPECT_EQ(wgzDirClose(writing), -1);
}

TEST(DirStream, ClosingUnfinishedWriteStreamsNeitherHangsNorSucceeds) {
    ScratchDir scratch;
    build_tree(scratch / "tree", false);
    const auto stream = read_stream(scratch / "tree", 7168);
    ASSERT_TRUE(stream.ok) << stream.error;

    // Never written to.
    wgz_dir idle = wgzDirOpen((scratch / "idle").c_str(), "w", 1000000, 0, 0, nullptr);
    ASSERT_NE(idle, 0u);
    EXPECT_EQ(wgzDirClose(idle), -1);

    // Half written, closed without finishing.
    wgz_dir half = wgzDirOpen((scratch / "half").c_str(), "w", 1000000, 0, 0, nullptr);
    ASSERT_NE(half, 0u);
    const int first = static_cast<int>(stream.bytes.size() / 2);
    EXPECT_EQ(wgzDirWrite(half, stream.bytes.data(), first, nullptr), first);
    EXPECT_EQ(wgzDirClose(half), -1);
}

TEST(DirStream, FinishIsFinalAndLaterWritesAreRefused) {
    ScratchDir scratch;
    build_tree(scratch / "tree", false);
    const auto stream = read_stream(scratch / "tree", 7168);
    ASSERT_TRUE(stream.ok) << stream.error;
    wgz_dir dir = wgzDirOpen((scratch / "dest").c_str(), "w", 1000000, 0, 0, nullptr);
    ASSERT_NE(dir, 0u);
    uint32_t position = 0;
    const int size = static_cast<int>(stream.bytes.size());
    ASSERT_EQ(wgzDirWrite(dir, stream.bytes.data(), size, &position), size);
    EXPECT_EQ(position, static_cast<uint32_t>(size));
    // Zeros after the end marker, as tar's record padding, are ignored.
    const std::string padding(10240, '\0');
    EXPECT_EQ(wgzDirWrite(dir, padding.data(), 10240, nullptr), 10240);
    EXPECT_EQ(wgzDirFinish(dir), 0);
    EXPECT_EQ(wgzDirFinish(dir), 0);
    EXPECT_LT(wgzDirWrite(dir, padding.data(), 1, nullptr), 1);
    EXPECT_EQ(wgzDirClose(dir), 0);
    EXPECT_EQ(compare(snapshot(scratch / "tree"), snapshot(scratch / "dest")), "");
}

}  // namespace
