// Archives built to escape the destination: every one fails the stream,
// and nothing outside the destination is created or changed.
#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "foldex.h"
#include "foldex_test_support.h"

namespace {

using foldex_test::compare;
using foldex_test::ScratchDir;
using foldex_test::snapshot;
using foldex_test::write_file;
using foldex_test::write_stream;

struct Member {
    enum Kind { file, directory, symlink, hard_link, hard_link_with_data, fifo, device } kind;
    std::string name;
    std::string text;  // the data of a file, the target of a link
};

la_ssize_t append(struct archive *, void *archive_bytes, const void *buffer, size_t length) {
    static_cast<std::string *>(archive_bytes)->append(static_cast<const char *>(buffer), length);
    return static_cast<la_ssize_t>(length);
}

// Makes the ustar header of the file `name` a hard link to `target` that
// keeps the file's data, as pax archives may.
void turn_into_hard_link(std::string &bytes, const std::string &name, const std::string &target) {
    for (size_t at = 0; at + 512 <= bytes.size(); at += 512) {
        char *header = bytes.data() + at;
        if (std::string(header, strnlen(header, 100)) != name || header[156] != '0')
            continue;
        header[156] = '1';
        std::memset(header + 157, 0, 100);
        std::memcpy(header + 157, target.data(), std::min<size_t>(target.size(), 100));
        std::memset(header + 148, ' ', 8);
        unsigned sum = 0;
        for (int i = 0; i < 512; ++i)
            sum += static_cast<unsigned char>(header[i]);
        std::snprintf(header + 148, 8, "%06o", sum);
        header[155] = ' ';
        return;
    }
    ADD_FAILURE() << "no header for " << name;
}

// Writes the members as they are, names unchecked, into a pax archive.
std::string build_archive(const std::vector<Member> &members) {
    std::string bytes;
    struct archive *writer = archive_write_new();
    archive_write_set_format_pax(writer);
    archive_write_open(writer, &bytes, nullptr, &append, nullptr);
    for (const Member &member : members) {
        struct archive_entry *entry = archive_entry_new();
        archive_entry_copy_pathname(entry, member.name.c_str());
        archive_entry_set_mtime(entry, 1600000000, 0);
        switch (member.kind) {
        case Member::file:
            archive_entry_set_mode(entry, AE_IFREG | 0644);
            archive_entry_set_size(entry, static_cast<la_int64_t>(member.text.size()));
            break;
        case Member::directory:
            archive_entry_set_mode(entry, AE_IFDIR | 0755);
            break;
        case Member::symlink:
            archive_entry_set_mode(entry, AE_IFLNK | 0777);
            archive_entry_copy_symlink(entry, member.text.c_str());
            break;
        case Member::hard_link:
            archive_entry_set_mode(entry, AE_IFREG | 0644);
            archive_entry_copy_hardlink(entry, member.text.c_str());
            break;
        case Member::hard_link_with_data:
            // Written as a file and turned into a link below: libarchive
            // does not write data for links. The access time asks for an
            // extended header, without which readers take the data for
            // the next header.
            archive_entry_set_mode(entry, AE_IFREG | 0644);
            archive_entry_set_size(entry, 4);
            archive_entry_set_atime(entry, 1600000000, 0);
            break;
        case Member::fifo:
            archive_entry_set_mode(entry, AE_IFIFO | 0644);
            break;
        case Member::device:
            archive_entry_set_mode(entry, AE_IFCHR | 0666);
            archive_entry_set_rdev(entry, makedev(1, 3));
            break;
        }
        EXPECT_GE(archive_write_header(writer, entry), ARCHIVE_WARN) << archive_error_string(writer);
        if (member.kind == Member::file && !member.text.empty())
            archive_write_data(writer, member.text.data(), member.text.size());
        if (member.kind == Member::hard_link_with_data)
            archive_write_data(writer, "evil", 4);
        archive_entry_free(entry);
    }
    archive_write_close(writer);
    archive_write_free(writer);
    for (const Member &member : members) {
        if (member.kind == Member::hard_link_with_data)
            turn_into_hard_link(bytes, member.name, member.text);
    }
    return bytes;
}

// The scratch directory holds "dest", where the archive goes, and
// "outside" with a file that hostile members aim at. {outside} in a member
// stands for the absolute path of "outside".
struct HostileCase {
    const char *name;
    std::vector<Member> members;
    const char *reason;  // a part of the error
};

std::string expand(const std::string &text, const std::string &outside) {
    std::string result = text;
    const std::string mark = "{outside}";
    for (size_t at; (at = result.find(mark)) != std::string::npos;)
        result.replace(at, mark.size(), outside);
    return result;
}

void PrintTo(const HostileCase &c, std::ostream *out) { *out << c.name; }

class HostileArchive : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileArchive, FailsTheStreamAndTouchesNothingOutside) {
    ScratchDir scratch;
    const std::string outside = scratch / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    write_file(outside + "/secret", "keep me\n");
    ASSERT_EQ(mkdir((scratch / "dest").c_str(), 0755), 0);
    const auto before = snapshot(scratch.path());

    std::vector<Member> members = GetParam().members;
    for (Member &member : members) {
        member.name = expand(member.name, outside);
        member.text = expand(member.text, outside);
    }
    const auto written = write_stream(scratch / "dest", build_archive(members), 7168);

    EXPECT_EQ(written.finish, -1);
    EXPECT_NE(written.error, "");
    EXPECT_NE(written.error.find(GetParam().reason), std::string::npos) << written.error;
    // Only "dest" may have changed.
    auto after = snapshot(scratch.path());
    auto expected = before;
    std::erase_if(after, [](const auto &item) { return item.first.rfind("dest/", 0) == 0; });
    std::erase_if(expected, [](const auto &item) { return item.first.rfind("dest/", 0) == 0; });
    after.erase("dest");
    expected.erase("dest");
    EXPECT_EQ(compare(expected, after), "");
    EXPECT_EQ(foldex_test::read_file(outside + "/secret"), "keep me\n");
}

using M = Member;

std::string long_path() {
    std::string path;
    for (int i = 0; i < 21; ++i)
        path += std::string(200, static_cast<char>('a' + i)) + "/";
    return path + "file";
}

INSTANTIATE_TEST_SUITE_P(
    Escapes, HostileArchive,
    ::testing::Values(
        HostileCase{"dot_dot", {{M::file, "ok", "fine"}, {M::file, "../evil", "evil"}}, "has a \"..\" component"},
        HostileCase{"dot_dot_inside", {{M::file, "sub/../../outside/evil", "evil"}}, "has a \"..\" component"},
        HostileCase{"dot_dot_directory", {{M::directory, "../outside/newdir", ""}}, "has a \"..\" component"},
        HostileCase{"absolute", {{M::file, "{outside}/evil", "evil"}}, "is an absolute path"},
        HostileCase{"absolute_overwrite", {{M::file, "{outside}/secret", "overwritten"}}, "is an absolute path"},
        HostileCase{"through_symlink",
                    {{M::symlink, "link", "{outside}"}, {M::file, "link/x", "evil"}}, "through symlink"},
        HostileCase{"through_relative_symlink",
                    {{M::symlink, "link", "../outside"}, {M::file, "link/secret", "overwritten"}}, "through symlink"},
        HostileCase{"through_symlinked_directory",
                    {{M::directory, "d", ""}, {M::symlink, "d/up", "../.."}, {M::file, "d/up/outside/x", "evil"}}, "through symlink"},
        HostileCase{"hard_link_dot_dot", {{M::hard_link, "h", "../outside/secret"}}, "has a \"..\" component"},
        HostileCase{"hard_link_absolute", {{M::hard_link, "h", "{outside}/secret"}}, "is an absolute path"},
        HostileCase{"hard_link_through_symlink",
                    {{M::symlink, "link", "{outside}"}, {M::hard_link, "h", "link/secret"}}, "behind a symbolic link"},
        HostileCase{"directory_replaced_by_symlink",
                    {{M::directory, "d", ""}, {M::symlink, "d", "{outside}"}}, "replace a directory"},
        HostileCase{"hard_link_with_data_to_a_symlink",
                    {{M::symlink, "s", "{outside}/secret"}, {M::hard_link_with_data, "h", "s"}},
                    "must name a regular file"},
        // Opening a pipe to write its data would wait for a reader forever.
        HostileCase{"hard_link_with_data_to_a_pipe",
                    {{M::fifo, "p", ""}, {M::hard_link_with_data, "h", "p"}},
                    "must name a regular file"},
        HostileCase{"device", {{M::device, "null", ""}}, "devices"},
        // libarchive would change the working directory for such a path.
        HostileCase{"path_too_long", {{M::file, long_path(), "x"}}, "too long"}),
    [](const ::testing::TestParamInfo<HostileCase> &param_info) { return param_info.param.name; });

TEST(HostileArchive, SymlinkAlreadyInTheDestinationIsNotFollowed) {
    ScratchDir scratch;
    const std::string outside = scratch / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    ASSERT_EQ(mkdir((scratch / "dest").c_str(), 0755), 0);
    ASSERT_EQ(symlink(outside.c_str(), (scratch / "dest/sub").c_str()), 0);

    const auto written =
        write_stream(scratch / "dest", build_archive({{M::file, "sub/planted", "evil"}}), 7168);

    EXPECT_EQ(written.finish, -1);
    EXPECT_NE(access((outside + "/planted").c_str(), F_OK), 0);
}

// A second name of a file outside: a hard link with data to it fails, a
// file of the same name replaces the name and leaves the file alone.
TEST(HostileArchive, HardLinkAlreadyInTheDestinationIsNeverWrittenThrough) {
    ScratchDir scratch;
    const std::string outside = scratch / "outside";
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    write_file(outside + "/secret", "keep me\n");
    ASSERT_EQ(mkdir((scratch / "dest").c_str(), 0755), 0);
    ASSERT_EQ(link((outside + "/secret").c_str(), (scratch / "dest/x").c_str()), 0);

    const auto linked = write_stream(scratch / "dest", build_archive({{M::hard_link_with_data, "h", "x"}}), 7168);
    EXPECT_EQ(linked.finish, -1);
    EXPECT_NE(linked.error.find("no other name"), std::string::npos) << linked.error;
    EXPECT_EQ(foldex_test::read_file(outside + "/secret"), "keep me\n");

    const auto replaced = write_stream(scratch / "dest", build_archive({{M::file, "x", "new"}}), 7168);
    EXPECT_EQ(replaced.finish, 0) << replaced.error;
    EXPECT_EQ(foldex_test::read_file(scratch / "dest/x"), "new");
    EXPECT_EQ(foldex_test::read_file(outside + "/secret"), "keep me\n");
}

TEST(HostileArchive, WritesFailAtOnceOnceTheExtractionHasFailed) {
    ScratchDir scratch;
    const std::string hostile = build_archive({{M::file, "../evil", "evil"}});
    wgz_dir dir = wgzDirOpen((scratch / "dest").c_str(), "w", 1, 0, 0, nullptr);
    ASSERT_NE(dir, 0u);
    ASSERT_EQ(wgzDirWrite(dir, hostile.data(), static_cast<int>(hostile.size()), nullptr),
              static_cast<int>(hostile.size()));
    // The queue holds 64 KiB here: the writes fail as soon as the worker
    // has refused the member, long before the loop's end.
    const std::string more(65536, '\0');
    int result = 1;
    for (int i = 0; i < 1000 && result >= 1; ++i)
        result = wgzDirWrite(dir, more.data(), static_cast<int>(more.size()), nullptr);
    EXPECT_LT(result, 1);
    EXPECT_NE(std::string(wgzDirError(dir)).find("../evil"), std::string::npos) << wgzDirError(dir);
    EXPECT_EQ(wgzDirFinish(dir), -1);
    EXPECT_EQ(wgzDirClose(dir), -1);
    EXPECT_NE(access((scratch / "evil").c_str(), F_OK), 0);
}

TEST(HostileArchive, SetIdBitsAreNotRestored) {
    ScratchDir scratch;
    std::string bytes;
    {
        struct archive *writer = archive_write_new();
        archive_write_set_format_pax_restricted(writer);
        archive_write_open(writer, &bytes, nullptr, &append, nullptr);
        struct archive_entry *entry = archive_entry_new();
        archive_entry_copy_pathname(entry, "tool");
        archive_entry_set_mode(entry, AE_IFREG | 06755);
        archive_entry_set_size(entry, 0);
        archive_write_header(writer, entry);
        archive_entry_free(entry);
        archive_write_close(writer);
        archive_write_free(writer);
    }
    const auto written = write_stream(scratch / "dest", bytes, 7168);
    ASSERT_EQ(written.finish, 0) << written.error;
    struct stat st {};
    ASSERT_EQ(stat((scratch / "dest/tool").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
}

}  // namespace
