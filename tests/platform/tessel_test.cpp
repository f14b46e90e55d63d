#include "tessel.h"

#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

using zem::test_support::ScratchDir;

struct ReaderDeleter {
    void operator()(tessel *reader) const { delete_tessel(reader); }
};
using Reader = std::unique_ptr<tessel, ReaderDeleter>;

class TesselTest : public ::testing::Test {
protected:
    Reader reader_{new_tessel()};
    ScratchDir dir_;

    int add(const std::string &name, const std::string &text)
    {
        return tessel_add_ini_file_source(reader_.get(), dir_.write(name, text).c_str());
    }
    const char *get(const char *section, const char *key)
    {
        return tessel_get_attrib_val(reader_.get(), section, nullptr, key);
    }
};

std::string secure_list(size_t length)
{
    std::string list;
    for (int i = 0; list.size() < length; ++i) {
        list += "/data/share" + std::to_string(i) + ";";
    }
    list.resize(length);
    return list;
}

TEST_F(TesselTest, LongValuesComeThroughWhole)
{
    for (size_t length : {300u, 5000u, 100000u}) {
        SCOPED_TRACE(length);
        Reader reader{new_tessel()};
        std::string value = secure_list(length);
        std::string path = dir_.write("long.ini", "[settings]\nSecureDirectories = " + value + "\nAfter=1\n");
        ASSERT_EQ(tessel_add_ini_file_source(reader.get(), path.c_str()), 0);
        EXPECT_EQ(std::string(tessel_get_attrib_val(reader.get(), nullptr, nullptr, "SecureDirectories")), value);
        EXPECT_STREQ(tessel_get_attrib_val(reader.get(), nullptr, nullptr, "After"), "1");
    }
}

TEST_F(TesselTest, NullSectionTakesTheFirstValueInFileAndSectionOrder)
{
    ASSERT_EQ(add("one.ini", "top = outside\n"
                             "; comment\n"
                             "[first]\n"
                             "other = 1\n"
                             "[second]\n"
                             "key = from-second\n"
                             "[third]\n"
                             "key = from-third\n"
                             "top = in-third\n"),
              0);
    ASSERT_EQ(add("two.ini", "[zero]\nkey = from-two\nonly = two\n"), 0);

    EXPECT_STREQ(get(nullptr, "key"), "from-second");
    EXPECT_STREQ(get(nullptr, "top"), "outside");
    EXPECT_STREQ(get(nullptr, "only"), "two");
    EXPECT_STREQ(get("third", "key"), "from-third");
    EXPECT_STREQ(get("zero", "key"), "from-two");
    EXPECT_STREQ(get("", "top"), "outside");
    EXPECT_STREQ(get("THIRD", "KEY"), "from-third");
    EXPECT_EQ(get("first", "key"), nullptr);
    EXPECT_EQ(get(nullptr, "absent"), nullptr);
    EXPECT_EQ(get("nosuch", "key"), nullptr);
}

TEST_F(TesselTest, ValuesStayValidWhileMoreFilesAreAdded)
{
    ASSERT_EQ(add("a.ini", "[s]\nk = v\n"), 0);
    const char *value = get("s", "k");
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(add("more" + std::to_string(i) + ".ini", "[s]\nk = later\n"), 0);
    }
    EXPECT_STREQ(value, "v");
    EXPECT_EQ(get("s", "k"), value);
}

TEST_F(TesselTest, UnreadableOrMalformedFilesAreRefusedAndChangeNothing)
{
    ASSERT_EQ(add("good.ini", "[s]\nk = v\n"), 0);
    EXPECT_EQ(tessel_add_ini_file_source(reader_.get(), (dir_ / "missing.ini").c_str()), -1);
    EXPECT_EQ(tessel_add_ini_file_source(reader_.get(), dir_.path().c_str()), -1);
    EXPECT_EQ(add("noequals.ini", "[x]\nk2 = v2\njust words\n"), -1);
    EXPECT_EQ(add("duplicate.ini", "[x]\nk2 = a\nk2 = b\n"), -1);
    EXPECT_EQ(add("bracket.ini", "[x\nk2 = a\n"), -1);
    EXPECT_EQ(get(nullptr, "k2"), nullptr);
    EXPECT_STREQ(get(nullptr, "k"), "v");
    EXPECT_EQ(tessel_add_ini_file_source(nullptr, "x"), -1);
    EXPECT_EQ(tessel_get_attrib_val(nullptr, nullptr, nullptr, "k"), nullptr);
}

TEST_F(TesselTest, EmptyValuesAndCrlfLines)
{
    ASSERT_EQ(add("crlf.ini", "[s]\r\nempty =\r\nk = v \r\n"), 0);
    EXPECT_STREQ(get("s", "empty"), "");
    EXPECT_STREQ(get("s", "k"), "v");
}

}  // namespace
