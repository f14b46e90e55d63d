#include "corvel.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <set>
#include <string>

namespace fs = std::filesystem;

namespace {

using zem::test_support::ScratchDir;

constexpr uint64_t GiB = 1024ull * 1024 * 1024;

std::string tmp_dir()
{
    char buffer[4096];
    EXPECT_EQ(os_get_tmp_dir(-1, 0, buffer, sizeof buffer), OS_STATUS_SUCCESS);
    return buffer;
}

class CorvelTmpDir : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *value = std::getenv("TMPDIR")) {
            saved_ = value;
        }
    }
    void TearDown() override
    {
        if (saved_) {
            ::setenv("TMPDIR", saved_->c_str(), 1);
        } else {
            ::unsetenv("TMPDIR");
        }
    }
    std::optional<std::string> saved_;
};

TEST_F(CorvelTmpDir, FollowsTmpdirWithoutTrailingSeparator)
{
    ::unsetenv("TMPDIR");
    EXPECT_EQ(tmp_dir(), "/tmp");
    ::setenv("TMPDIR", "", 1);
    EXPECT_EQ(tmp_dir(), "/tmp");
    ::setenv("TMPDIR", "/var/scratch//", 1);
    EXPECT_EQ(tmp_dir(), "/var/scratch");
    ::setenv("TMPDIR", "/", 1);
    EXPECT_EQ(tmp_dir(), "/");
}

TEST_F(CorvelTmpDir, RefusesABufferTooSmall)
{
    ::setenv("TMPDIR", "/var/scratch", 1);
    char buffer[12] = "unchanged";
    EXPECT_EQ(os_get_tmp_dir(-1, 0, buffer, sizeof buffer), OS_STATUS_TOO_LONG);
    EXPECT_STREQ(buffer, "");
    char exact[13];
    EXPECT_EQ(os_get_tmp_dir(-1, 0, exact, sizeof exact), OS_STATUS_SUCCESS);
}

struct DirNameCase {
    const char *path;
    const char *expected;
};

TEST(CorvelDirName, GivesTheDirectoryPart)
{
    const DirNameCase cases[] = {
        {"a/b/c.txt", "a/b"}, {"/x", "/"},   {"x", "."},   {"a/b/", "a"},     {"/", "/"},
        {"", "."},            {"a//b", "a"}, {"//x", "/"}, {"/a/b//", "/a"}, {"/data/x\\y", "/data"},
    };
    for (const DirNameCase &c : cases) {
        char buffer[64];
        EXPECT_EQ(os_get_dir_name(c.path, buffer, sizeof buffer), OS_STATUS_SUCCESS) << c.path;
        EXPECT_STREQ(buffer, c.expected) << c.path;
    }
    char small[3];
    EXPECT_EQ(os_get_dir_name("abc/def", small, sizeof small), OS_STATUS_TOO_LONG);
}

class CorvelFiles : public ::testing::Test {
protected:
    void TearDown() override { corvel_clear_faults(); }
    ScratchDir dir_;
};

TEST_F(CorvelFiles, ExistenceAndSize)
{
    std::string file = dir_.write("five", "12345");
    EXPECT_TRUE(os_is_file_exist(file.c_str()));
    EXPECT_FALSE(os_is_dir_exist(file.c_str()));
    EXPECT_TRUE(os_is_file_exist(dir_.path().c_str()));
    EXPECT_TRUE(os_is_dir_exist(dir_.path().c_str()));
    EXPECT_FALSE(os_is_file_exist((dir_ / "missing").c_str()));
    EXPECT_EQ(os_get_file_size(file.c_str()), 5u);
    EXPECT_EQ(os_get_file_size((dir_ / "missing").c_str()), OS_SIZE_UNKNOWN);
}

TEST_F(CorvelFiles, MakePathCreatesEveryLevel)
{
    std::string deep = dir_ / "a/b//c/d/";
    ASSERT_EQ(os_make_path(deep.c_str()), OS_STATUS_SUCCESS);
    EXPECT_TRUE(fs::is_directory(dir_ / "a/b/c/d"));
    EXPECT_EQ(os_make_path(deep.c_str()), OS_STATUS_SUCCESS);
}

TEST_F(CorvelFiles, MakePathFailsWithErrnoWhenAFileIsInTheWay)
{
    dir_.write("file", "x");
    errno = 0;
    EXPECT_EQ(os_make_path((dir_ / "file/sub/deeper").c_str()), OS_STATUS_IO_ERROR);
    EXPECT_EQ(errno, ENOTDIR);
    errno = 0;
    EXPECT_EQ(os_make_path((dir_ / "file").c_str()), OS_STATUS_IO_ERROR);
    EXPECT_EQ(errno, EEXIST);
}

TEST_F(CorvelFiles, MakePathFailureSwitchUsesTheChosenErrno)
{
    struct {
        int error;
        os_status status;
    } cases[] = {{ENOSPC, OS_STATUS_IO_ERROR}, {ENOENT, OS_STATUS_NOT_FOUND}, {EACCES, OS_STATUS_ACCESS_DENIED}};
    for (const auto &c : cases) {
        std::string path = dir_ / ("made" + std::to_string(c.error));
        corvel_fail_make_path(1, c.error);
        errno = 0;
        EXPECT_EQ(os_make_path(path.c_str()), c.status);
        EXPECT_EQ(errno, c.error);
        EXPECT_FALSE(fs::exists(path));
        // Only the armed number of calls fail.
        EXPECT_EQ(os_make_path(path.c_str()), OS_STATUS_SUCCESS);
    }
    corvel_fail_make_path(5, ENOSPC);
    corvel_clear_faults();
    EXPECT_EQ(os_make_path((dir_ / "after-clear").c_str()), OS_STATUS_SUCCESS);
}

TEST_F(CorvelFiles, FreeSpaceIsSixtyFourBitAndMatchesStatvfs)
{
    struct statvfs volume;
    ASSERT_EQ(::statvfs(dir_.path().c_str(), &volume), 0);
    uint64_t expected = static_cast<uint64_t>(volume.f_bavail) * volume.f_frsize;
    uint64_t reported = os_get_free_disk_space(dir_.path().c_str());
    // Other processes write meanwhile: allow some drift, but far less than
    // any 32-bit truncation would cause.
    uint64_t drift = reported > expected ? reported - expected : expected - reported;
    EXPECT_LT(drift, GiB / 2);
    if (expected > 5 * GiB) {
        EXPECT_GT(reported, 4 * GiB);
    }
    // A directory that does not exist yet is measured where it would be made.
    uint64_t missing = os_get_free_disk_space((dir_ / "not/yet/there").c_str());
    drift = missing > expected ? missing - expected : expected - missing;
    EXPECT_LT(drift, GiB / 2);
    EXPECT_EQ(os_get_free_disk_space(nullptr), 0u);
}

TEST_F(CorvelFiles, FreeSpaceOverrideAppliesEverywhereUntilCleared)
{
    corvel_override_free_space(6 * 1024 * GiB);
    EXPECT_EQ(os_get_free_disk_space(dir_.path().c_str()), 6 * 1024 * GiB);
    EXPECT_EQ(os_get_free_disk_space("/no/such/place"), 6 * 1024 * GiB);
    corvel_override_free_space(0);
    EXPECT_EQ(os_get_free_disk_space(dir_.path().c_str()), 0u);
    corvel_clear_faults();
    EXPECT_NE(os_get_free_disk_space(dir_.path().c_str()), 0u);
}

TEST_F(CorvelFiles, RemoveFileStatuses)
{
    std::string file = dir_.write("f", "x");
    EXPECT_EQ(os_remove_file(file.c_str(), 1), OS_STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(file));
    EXPECT_EQ(os_remove_file(file.c_str(), 1), OS_STATUS_NOT_FOUND);
    EXPECT_EQ(os_remove_file((dir_ / "f/below").c_str(), 1), OS_STATUS_NOT_FOUND);

    fs::create_directory(dir_ / "d");
    EXPECT_EQ(os_remove_file((dir_ / "d").c_str(), 1), OS_STATUS_IO_ERROR);
    EXPECT_TRUE(fs::is_directory(dir_ / "d"));
}

TEST_F(CorvelFiles, RemoveTreeRemovesEverythingButFollowsNoLink)
{
    fs::create_directories(dir_ / "outside/keep");
    dir_.write("outside/keep/file", "precious");
    fs::create_directories(dir_ / "tree/a/b");
    dir_.write("tree/top", "1");
    dir_.write("tree/a/b/deep", "2");
    fs::create_directory_symlink(dir_ / "outside", dir_ / "tree/a/link-to-outside");
    fs::create_symlink(dir_ / "outside/keep/file", dir_ / "tree/file-link");
    fs::create_symlink(dir_ / "nowhere", dir_ / "tree/dangling");

    EXPECT_EQ(os_remove_minus_r((dir_ / "tree").c_str(), 1, 0), OS_STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "tree")));
    EXPECT_TRUE(fs::exists(dir_ / "outside/keep/file"));

    EXPECT_EQ(os_remove_minus_r((dir_ / "tree").c_str(), 1, 0), OS_STATUS_NOT_FOUND);
    std::string single = dir_.write("single", "x");
    EXPECT_EQ(os_remove_minus_r(single.c_str(), 1, 0), OS_STATUS_SUCCESS);
    EXPECT_FALSE(fs::exists(single));
}

TEST_F(CorvelFiles, RemoveTreeOfALinkToADirectoryRemovesOnlyTheLink)
{
    for (const char *suffix : {"", "/"}) {
        SCOPED_TRACE(suffix);
        fs::create_directories(dir_ / "target/sub");
        dir_.write("target/sub/file", "x");
        fs::create_directory_symlink(dir_ / "target", dir_ / "link");
        EXPECT_EQ(os_remove_minus_r(((dir_ / "link").string() + suffix).c_str(), 1, 0), OS_STATUS_SUCCESS);
        EXPECT_FALSE(fs::exists(fs::symlink_status(dir_ / "link")));
        EXPECT_TRUE(fs::exists(dir_ / "target/sub/file"));
    }
}

TEST_F(CorvelFiles, RemoveTreeRefusesRootAndDotNames)
{
    fs::create_directory(dir_ / "d");
    dir_.write("d/file", "x");
    EXPECT_EQ(os_remove_minus_r("/", 1, 0), OS_STATUS_ACCESS_DENIED);
    EXPECT_EQ(os_remove_minus_r((dir_ / "d/.").c_str(), 1, 0), OS_STATUS_IO_ERROR);
    EXPECT_EQ(os_remove_minus_r((dir_ / "d/..").c_str(), 1, 0), OS_STATUS_IO_ERROR);
    EXPECT_TRUE(fs::exists(dir_ / "d/file"));
}

// An entry that cannot be removed: a read-only directory for an ordinary
// user, an immutable file for root (when the file system supports it).
bool make_unremovable(const std::string &dir, const std::string &file)
{
    if (::geteuid() != 0) {
        return ::chmod(dir.c_str(), 0500) == 0;
    }
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd < 0) {
        return false;
    }
    int flags = 0;
    bool done = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                (flags |= FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
    ::close(fd);
    return done;
}

void make_removable(const std::string &dir, const std::string &file)
{
    ::chmod(dir.c_str(), 0700);
    int fd = ::open(file.c_str(), O_RDONLY);
    if (fd >= 0) {
        int flags = 0;
        if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_IMMUTABLE_FL) != 0) {
            flags &= ~FS_IMMUTABLE_FL;
            ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
        }
        ::close(fd);
    }
}

TEST_F(CorvelFiles, RemoveTreeReportsAccessDeniedAndRemovesWhatItCan)
{
    fs::create_directories(dir_ / "tree/locked");
    std::string pinned = dir_.write("tree/locked/pinned", "x");
    dir_.write("tree/other", "y");
    if (!make_unremovable(dir_ / "tree/locked", pinned)) {
        GTEST_SKIP() << "cannot make an entry unremovable here";
    }
    errno = 0;
    os_status status = os_remove_minus_r((dir_ / "tree").c_str(), 1, 0);
    int error = errno;
    make_removable(dir_ / "tree/locked", pinned);
    EXPECT_EQ(status, OS_STATUS_ACCESS_DENIED);
    EXPECT_TRUE(error == EACCES || error == EPERM) << error;
    EXPECT_TRUE(fs::exists(pinned));
    EXPECT_FALSE(fs::exists(dir_ / "tree/other"));
}

TEST_F(CorvelFiles, ReaddirListsEveryEntry)
{
    dir_.write("a", "");
    dir_.write("b", "");
    fs::create_directory(dir_ / "sub");
    int error = 0;
    os_dir *dir = os_opendir(dir_.path().c_str(), &error);
    ASSERT_NE(dir, nullptr);
    EXPECT_EQ(dir->path, dir_.path());
    std::set<std::string> names;
    while (const char *name = os_readdir(dir)) {
        names.insert(name);
    }
    EXPECT_EQ(os_readdir(dir), nullptr);
    os_closedir(dir);
    EXPECT_EQ(names, (std::set<std::string>{".", "..", "a", "b", "sub"}));

    EXPECT_EQ(os_opendir((dir_ / "missing").c_str(), &error), nullptr);
    EXPECT_EQ(error, ENOENT);
    os_closedir(nullptr);
}

}  // namespace
