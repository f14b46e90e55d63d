#include "parlance.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <cstdarg>
#include <string>

namespace {

using zem::test_support::ScratchDir;

std::string format(int code, ...)
{
    va_list args;
    va_start(args, code);
    char buffer[512];
    parlance_vformat(code, args, buffer, sizeof buffer);
    va_end(args);
    return buffer;
}

class ParlanceTest : public ::testing::Test {
protected:
    void SetUp() override { parlance_clear(); }
    void TearDown() override { parlance_clear(); }

    int load(const std::string &text) { return AddResourceFile(dir_.write("catalogue", text).c_str()); }

    ScratchDir dir_;
};

TEST_F(ParlanceTest, FormatsReportsWithIntAndStringArguments)
{
    ASSERT_EQ(load("# zem messages\n"
                   "\n"
                   "-51970\tThe path %s is outside the secure directories.\n"
                   "-51977\tCannot create directory %s (status 0x%08x).\r\n"
                   "-51989\t%-6d|%5s|%c|%i|%u|%X|%.3s|100%%\n"
                   "0x70020020\terror\n"),
              0)
        << parlance_last_error();

    EXPECT_EQ(format(-51970, "/data/x", 0), "The path /data/x is outside the secure directories.");
    EXPECT_EQ(format(-51977, "/d", 0x200000b, 0), "Cannot create directory /d (status 0x0200000b).");
    EXPECT_EQ(format(-51989, 42, "ab", 'z', -7, -1, 255, "abcdef", 0),
              "42    |   ab|z|-7|4294967295|FF|abc|100%");
    EXPECT_STREQ(parlance_lookup(0x70020020), "error");
}

TEST_F(ParlanceTest, NullStringPrintsAsNone)
{
    ASSERT_EQ(load("7\tfile [%s] gone\n"), 0);
    EXPECT_EQ(format(7, static_cast<const char *>(nullptr), 0), "file [(none)] gone");
}

TEST_F(ParlanceTest, UnknownCodePrintsMessageAndCode)
{
    EXPECT_EQ(format(-51999, "ignored", 0), "message -51999");
}

TEST_F(ParlanceTest, ShortBufferIsTerminatedAndFullLengthReturned)
{
    ASSERT_EQ(load("1\tabcdef%s\n"), 0);
    char buffer[4] = {'x', 'x', 'x', 'x'};
    auto call = [&](char *out, size_t size, ...) {
        va_list args;
        va_start(args, size);
        int length = parlance_vformat(1, args, out, size);
        va_end(args);
        return length;
    };
    EXPECT_EQ(call(buffer, sizeof buffer, "gh"), 8);
    EXPECT_STREQ(buffer, "abc");
    EXPECT_EQ(call(nullptr, 0, "gh"), 8);
}

TEST_F(ParlanceTest, CodeSeenAgainReplacesAndUnchangedTextKeepsItsPointer)
{
    ASSERT_EQ(load("1\tone\n2\ttwo\n"), 0);
    const char *one = parlance_lookup(1);
    ASSERT_EQ(load("1\tone\n2\tzwei\n"), 0);
    EXPECT_EQ(parlance_lookup(1), one);
    EXPECT_STREQ(parlance_lookup(2), "zwei");
}

TEST_F(ParlanceTest, RefusesFormatsThatCouldReadArgumentsWrongly)
{
    // Arguments are ints and strings: anything that reads another type, or
    // whose effect C leaves undefined, is refused when the file is loaded.
    const char *refused[] = {
        "%n",  "%f",  "%ld",  "%lld", "%hd",  "%zu", "%p",  "%e", "%*d", "%.*s",
        "end %", "%#s", "%05s", "%.3c", "%#d", "%99999d", "%.5000s", "%q", "%5%",
    };
    for (const char *text : refused) {
        SCOPED_TRACE(text);
        EXPECT_EQ(load(std::string("1\tok\n2\t") + text + "\n"), -1);
        EXPECT_NE(std::string(parlance_last_error()).find("line 2"), std::string::npos)
            << parlance_last_error();
        // Nothing of a refused file is registered.
        EXPECT_EQ(parlance_lookup(1), nullptr);
    }
}

TEST_F(ParlanceTest, RefusesMalformedLinesAndMissingFiles)
{
    EXPECT_EQ(load("12 no tab here\n"), -1);
    EXPECT_EQ(load("x12\ttext\n"), -1);
    EXPECT_EQ(load("\ttext\n"), -1);
    EXPECT_EQ(AddResourceFile((dir_ / "missing").c_str()), -1);
    EXPECT_NE(std::string(parlance_last_error()), "");
    EXPECT_EQ(AddResourceFile(nullptr), -1);
}

}  // namespace
