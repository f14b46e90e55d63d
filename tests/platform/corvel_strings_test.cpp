#include "corvel.h"
#include "trellis.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> tokens(char *text, const char *delimiters)
{
    std::vector<std::string> out;
    for (char *token = os_strtok(text, delimiters); token != nullptr; token = os_strtok(nullptr, delimiters)) {
        out.emplace_back(token);
    }
    return out;
}

TEST(CorvelStrings, StrtokSkipsEmptyTokens)
{
    char text[] = ";/tmp;;/data/a b;";
    EXPECT_EQ(tokens(text, ";"), (std::vector<std::string>{"/tmp", "/data/a b"}));
    char empty[] = "";
    EXPECT_TRUE(tokens(empty, ";").empty());
}

TEST(CorvelStrings, StrtokPositionIsPerThread)
{
    char mine[] = "a;b;c";
    ASSERT_STREQ(os_strtok(mine, ";"), "a");
    std::vector<std::string> theirs;
    std::thread other([&theirs] {
        char text[] = "x;y";
        theirs = tokens(text, ";");
    });
    other.join();
    EXPECT_EQ(theirs, (std::vector<std::string>{"x", "y"}));
    EXPECT_STREQ(os_strtok(nullptr, ";"), "b");
    EXPECT_STREQ(os_strtok(nullptr, ";"), "c");
    EXPECT_EQ(os_strtok(nullptr, ";"), nullptr);
}

TEST(CorvelStrings, StrtokWithoutTextOnAFreshThreadEndsAtOnce)
{
    char *result = reinterpret_cast<char *>(1);
    std::thread fresh([&result] { result = os_strtok(nullptr, ";"); });
    fresh.join();
    EXPECT_EQ(result, nullptr);
}

TEST(CorvelStrings, StrnicmpIgnoresAsciiCaseOnly)
{
    EXPECT_EQ(os_strnicmp("C:\\Data\\", "c:\\data\\x.txt", 8, 0), 0);
    EXPECT_NE(os_strnicmp("C:\\Data\\", "C:\\DataX\\x.txt", 8, 0), 0);
    EXPECT_EQ(os_strnicmp("ABC", "abd", 2, 0), 0);
    EXPECT_LT(os_strnicmp("ABC", "abd", 3, 0), 0);
    EXPECT_GT(os_strnicmp("abc", "ab", 3, 0), 0);
    EXPECT_EQ(os_strnicmp("same", "SAME", 100, 0), 0);
    EXPECT_NE(os_strnicmp("\xc4", "\xe4", 1, 0), 0);
}

TEST(CorvelStrings, StrdupCopiesIntoMawBlocks)
{
    char *copy = os_strdup("a;b");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "a;b");
    os_strdup_free(copy);
    EXPECT_EQ(os_strdup(nullptr), nullptr);

    trellis_fail_allocations(0, 1);
    EXPECT_EQ(os_strdup("x"), nullptr);
    trellis_fail_reset();
}

TEST(CorvelStrings, StrstrFindsDotDotAnywhere)
{
    EXPECT_NE(os_strstr("/data/a..b", ".."), nullptr);
    EXPECT_EQ(os_strstr("/data/a.b", ".."), nullptr);
    EXPECT_EQ(os_strstr(nullptr, ".."), nullptr);
}

}  // namespace
