#include "corvel.h"
#include "trellis.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>

namespace {

struct NetPathCase {
    const char *path;
    const char *base;
    const char *expected;  // null: the path cannot be mapped
};

void PrintTo(const NetPathCase &c, std::ostream *out)
{
    auto shown = [](const char *text) { return text == nullptr ? "(null)" : *text == '\0' ? "(empty)" : text; };
    *out << shown(c.path) << " on " << shown(c.base);
}

class NetPathMapping : public ::testing::TestWithParam<NetPathCase> {};

TEST_P(NetPathMapping, MapsUnderTheBaseOrRefuses)
{
    const NetPathCase &c = GetParam();
    char sentinel = 0;
    char *result = &sentinel;
    os_status status = os_qknetpath_create_net_path(c.path, c.base, &result, os_get_current_os_type());
    if (c.expected == nullptr) {
        EXPECT_EQ(status, OS_STATUS_BAD_PATH);
        EXPECT_EQ(result, nullptr);
        return;
    }
    ASSERT_EQ(status, OS_STATUS_SUCCESS);
    ASSERT_NE(result, nullptr);
    EXPECT_STREQ(result, c.expected);
    maw_free(result);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, NetPathMapping,
    ::testing::Values(
        NetPathCase{"a/b/c.txt", "/base", "/base/a/b/c.txt"},
        NetPathCase{"a\\b\\c.txt", "/base", "/base/a/b/c.txt"},
        NetPathCase{"\\\\server\\share\\f", "/base", "/base/server/share/f"},
        NetPathCase{"/abs/path", "/base", "/base/abs/path"},
        NetPathCase{"C:\\data\\f.txt", "/base", "/base/C:/data/f.txt"},
        NetPathCase{"./a/./b/", "/base", "/base/a/b"},
        NetPathCase{"a//b\\/\\c", "/base/", "/base/a/b/c"},
        NetPathCase{"a", "/", "/a"},
        NetPathCase{"", "/base", "/base"},
        NetPathCase{".", "/base", "/base"},
        NetPathCase{"/\\./", "/base", "/base"},
        // Dots inside names are ordinary characters.
        NetPathCase{"a..b/...", "/base", "/base/a..b/..."},
        NetPathCase{"..x/x..", "/base", "/base/..x/x.."},
        NetPathCase{"..", "/base", nullptr},
        NetPathCase{"a/../b", "/base", nullptr},
        NetPathCase{"x/..", "/base", nullptr},
        NetPathCase{"..\\etc", "/base", nullptr},
        NetPathCase{"a\\..\\..\\b", "/base", nullptr},
        NetPathCase{"/../etc/passwd", "/base", nullptr},
        NetPathCase{"a", "", nullptr},
        NetPathCase{"a", nullptr, nullptr},
        NetPathCase{nullptr, "/base", nullptr}));

TEST(NetPathMappingMemory, AllocationFailureLeavesNoResult)
{
    char *result = nullptr;
    trellis_fail_allocations(0, 1);
    os_status status = os_qknetpath_create_net_path("a/b", "/base", &result, os_get_current_os_type());
    trellis_fail_reset();
    EXPECT_EQ(status, OS_STATUS_IO_ERROR);
    EXPECT_EQ(result, nullptr);
}

TEST(NetPathMappingMemory, LongPathsAreNotCut)
{
    std::string path;
    for (int i = 0; i < 400; ++i) {
        path += "dir" + std::to_string(i) + "\\";
    }
    char *result = nullptr;
    ASSERT_EQ(os_qknetpath_create_net_path(path.c_str(), "/b", &result, os_get_current_os_type()),
              OS_STATUS_SUCCESS);
    std::string expected = "/b/" + path.substr(0, path.size() - 1);
    for (char &c : expected) {
        if (c == '\\') {
            c = '/';
        }
    }
    EXPECT_EQ(result, expected);
    maw_free(result);
}

}  // namespace
