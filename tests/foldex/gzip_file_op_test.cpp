// gzip images made in steps: what gunzip reads back, how many steps they
// take, and how failures end them.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "foldex.h"
#include "foldex_test_support.h"

namespace {

using foldex_test::pattern;
using foldex_test::read_file;
using foldex_test::run_shell;
using foldex_test::ScratchDir;
using foldex_test::shell_quote;
using foldex_test::write_file;

constexpr int kStep = 8192;

// Steps the compression to its end; returns the number of calls and the
// last result.
struct StepCount {
    int calls = 0;
    int last = 0;
};

StepCount compress(const std::string &source, const std::string &target, int level) {
    StepCount count;
    wgz_file_op op = wgzFileOpCreate(source.c_str(), target.c_str(), level);
    EXPECT_NE(op, 0u);
    do {
        count.last = wgzFileOpExecOnSingleBuffer(op, kStep);
        ++count.calls;
    } while (count.last > 0 && count.calls < 100000);
    wgzFileOpDestroy(op);
    return count;
}

std::string gunzip(const std::string &image) {
    std::string plain;
    EXPECT_EQ(run_shell("gunzip -c < " + shell_quote(image), &plain), 0);
    return plain;
}

struct ImageCase {
    const char *name;
    size_t size;
    bool compressible;
    int level;
    int steps;
};

void PrintTo(const ImageCase &c, std::ostream *out) { *out << c.name; }

class GzipImage : public ::testing::TestWithParam<ImageCase> {};

TEST_P(GzipImage, GunzipReadsBackTheFileAfterTheDocumentedSteps) {
    const ImageCase &c = GetParam();
    ScratchDir scratch;
    const std::string content = c.compressible ? std::string(c.size, 'z') : pattern(c.size, 7);
    write_file(scratch / "plain", content);

    const StepCount count = compress(scratch / "plain", scratch / "plain.gzl", c.level);

    EXPECT_EQ(count.last, 0);
    EXPECT_EQ(count.calls, c.steps);
    EXPECT_TRUE(gunzip(scratch / "plain.gzl") == content);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, GzipImage,
    ::testing::Values(ImageCase{"empty", 0, false, 1, 1}, ImageCase{"small", 100, false, 1, 1},
                      ImageCase{"one_step", kStep, false, 1, 1},
                      ImageCase{"one_step_and_a_byte", kStep + 1, false, 1, 2},
                      ImageCase{"three_steps", 3 * kStep, false, 9, 3},
                      ImageCase{"five_steps_and_some", 5 * kStep + 17, false, 0, 6},
                      // Deflate emits nothing for many of these steps.
                      ImageCase{"three_hundred_steps", 300 * kStep, true, 1, 300}),
    [](const ::testing::TestParamInfo<ImageCase> &param_info) { return param_info.param.name; });

TEST(GzipFileOp, StepsAfterCompletionKeepReturningZero) {
    ScratchDir scratch;
    write_file(scratch / "plain", "abc");
    wgz_file_op op = wgzFileOpCreate((scratch / "plain").c_str(), (scratch / "plain.gzl").c_str(), 1);
    EXPECT_EQ(wgzFileOpExecOnSingleBuffer(op, kStep), 0);
    EXPECT_EQ(wgzFileOpExecOnSingleBuffer(op, kStep), 0);
    wgzFileOpDestroy(op);
    EXPECT_EQ(gunzip(scratch / "plain.gzl"), "abc");
}

struct FailureCase {
    const char *name;
    const char *source;  // relative to the scratch directory, or absolute
    const char *target;
    size_t size;         // bytes written to "plain" beforehand
    int expected;
};

void PrintTo(const FailureCase &c, std::ostream *out) { *out << c.name; }

class GzipFailure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(GzipFailure, EndsTheCompressionWithItsOwnCode) {
    const FailureCase &c = GetParam();
    ScratchDir scratch;
    write_file(scratch / "plain", pattern(c.size, 3));
    mkdir((scratch / "folder").c_str(), 0755);
    const auto place = [&](const char *path) {
        return path[0] == '/' ? std::string(path) : (scratch / path).string();
    };

    wgz_file_op op = wgzFileOpCreate(place(c.source).c_str(), place(c.target).c_str(), 1);
    ASSERT_NE(op, 0u);
    int result = 1;
    int calls = 0;
    while (result > 0 && calls++ < 1000)
        result = wgzFileOpExecOnSingleBuffer(op, kStep);

    EXPECT_EQ(result, c.expected);
    EXPECT_NE(std::string(wgzFileOpError(op)), "");
    // The handle is finished: it repeats the failure.
    EXPECT_EQ(wgzFileOpExecOnSingleBuffer(op, kStep), c.expected);
    wgzFileOpDestroy(op);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, GzipFailure,
    ::testing::Values(FailureCase{"missing_source", "absent", "absent.gzl", 0, WGZ_ERR_OPEN},
                      FailureCase{"target_in_missing_folder", "plain", "nowhere/plain.gzl", 10, WGZ_ERR_OPEN},
                      FailureCase{"source_is_a_folder", "folder", "folder.gzl", 0, WGZ_ERR_READ},
                      // A full disk found only when the image is closed.
                      FailureCase{"full_disk_at_close", "plain", "/dev/full", 100, WGZ_ERR_WRITE},
                      // A full disk found in the middle of the image.
                      FailureCase{"full_disk_midway", "plain", "/dev/full", 40 * kStep, WGZ_ERR_WRITE}),
    [](const ::testing::TestParamInfo<FailureCase> &param_info) { return param_info.param.name; });

TEST(GzipFileOp, MissingSourceCreatesNoImage) {
    ScratchDir scratch;
    wgz_file_op op = wgzFileOpCreate((scratch / "absent").c_str(), (scratch / "absent.gzl").c_str(), 1);
    EXPECT_EQ(wgzFileOpExecOnSingleBuffer(op, kStep), WGZ_ERR_OPEN);
    EXPECT_NE(std::string(wgzFileOpError(op)).find(scratch / "absent"), std::string::npos);
    wgzFileOpDestroy(op);
    EXPECT_NE(access((scratch / "absent.gzl").c_str(), F_OK), 0);
}

TEST(GzipFileOp, NullHandleIsRefused) {
    EXPECT_EQ(wgzFileOpExecOnSingleBuffer(0, kStep), WGZ_ERR_STATE);
    wgzFileOpDestroy(0);
    EXPECT_EQ(wgzFileOpCreate(nullptr, "x", 1), 0u);
}

TEST(GzipFileOp, DestroyingAnUnfinishedCompressionClosesTheImage) {
    ScratchDir scratch;
    write_file(scratch / "plain", pattern(10 * kStep, 5));
    wgz_file_op op = wgzFileOpCreate((scratch / "plain").c_str(), (scratch / "plain.gzl").c_str(), 1);
    EXPECT_GT(wgzFileOpExecOnSingleBuffer(op, kStep), 0);
    EXPECT_GT(wgzFileOpExecOnSingleBuffer(op, kStep), 0);
    wgzFileOpDestroy(op);
    // The partial image is left for the caller to remove.
    EXPECT_EQ(access((scratch / "plain.gzl").c_str(), F_OK), 0);
}

}  // namespace
