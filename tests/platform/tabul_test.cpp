#include "tabul.h"
#include "corvel.h"
#include "trellis.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

// A value that records how often the table released it.
struct Value {
    int id;
    int frees = 0;
};

int key_copies = 0;
int key_frees = 0;
std::vector<int> freed_ids;

void free_value(void *value)
{
    auto *v = static_cast<Value *>(value);
    ++v->frees;
    freed_ids.push_back(v->id);
}

char *copy_key(const char *key)
{
    ++key_copies;
    return os_strdup(key);
}

void free_key(char *key)
{
    ++key_frees;
    os_strdup_free(key);
}

class TabulTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        key_copies = key_frees = 0;
        freed_ids.clear();
        table_ = ht_open_extended(31, 0.5, nullptr, nullptr, nullptr, free_value, copy_key, free_key, 0.1);
        ASSERT_NE(table_, nullptr);
    }
    void TearDown() override
    {
        trellis_fail_reset();
        ht_close(table_);
    }

    // Adds values_[id] under the key formed from id, from a temporary buffer.
    void add(int id)
    {
        char key[12];
        std::snprintf(key, sizeof key, "%d", id);
        values_[id].id = id;
        ASSERT_EQ(ht_add(table_, key, &values_[id]), 0);
        std::memset(key, 'x', sizeof key - 1);
    }
    void *get(int id) { return ht_get(table_, std::to_string(id).c_str()); }
    int remove(int id) { return ht_delete_ex(table_, std::to_string(id).c_str()); }

    ht_table *table_ = nullptr;
    std::map<int, Value> values_;
};

TEST_F(TabulTest, KeysAreCopiedAndValuesFreedOnlyOnDelete)
{
    add(-5);
    add(7);
    EXPECT_EQ(key_copies, 2);
    EXPECT_EQ(get(-5), &values_[-5]);
    EXPECT_EQ(get(7), &values_[7]);
    EXPECT_EQ(get(8), nullptr);
    EXPECT_EQ(ht_count(table_), 2u);

    EXPECT_EQ(ht_add(table_, "-5", &values_[7]), -1);
    EXPECT_EQ(get(-5), &values_[-5]);
    EXPECT_EQ(values_[-5].frees + values_[7].frees, 0);

    EXPECT_EQ(remove(-5), 0);
    EXPECT_EQ(values_[-5].frees, 1);
    EXPECT_EQ(key_frees, 1);
    EXPECT_EQ(get(-5), nullptr);
    EXPECT_EQ(remove(-5), -1);
    EXPECT_EQ(values_[-5].frees, 1);
    EXPECT_EQ(ht_count(table_), 1u);
}

TEST_F(TabulTest, ClearAndCloseReleaseEveryValueOnce)
{
    add(1);
    add(2);
    add(3);
    ht_clear(table_);
    EXPECT_EQ(ht_count(table_), 0u);
    EXPECT_EQ(freed_ids.size(), 3u);
    EXPECT_EQ(key_frees, 3);
    EXPECT_EQ(get(2), nullptr);

    add(4);
    add(5);
    ht_close(table_);
    table_ = nullptr;
    EXPECT_EQ(freed_ids.size(), 5u);
    EXPECT_EQ(key_frees, 5);
    for (auto &[id, value] : values_) {
        EXPECT_EQ(value.frees, 1) << id;
    }
}

TEST_F(TabulTest, WalkSurvivesDeletingTheEntryJustReturned)
{
    for (int id = 0; id < 10; ++id) {
        add(id);
    }
    ht_enum *walk = ht_enumerate_elements(table_);
    ASSERT_NE(walk, nullptr);
    std::vector<int> seen;
    while (void *value = ht_enum_next_element(walk)) {
        int id = static_cast<Value *>(value)->id;
        seen.push_back(id);
        if (id % 2 == 0) {
            EXPECT_EQ(remove(id), 0);
        }
    }
    ht_enumerate_elements_free(walk);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(ht_count(table_), 5u);
}

TEST_F(TabulTest, WalkSkipsEntriesDeletedOrAddedAfterItBegan)
{
    for (int id = 0; id < 6; ++id) {
        add(id);
    }
    ht_enum *walk = ht_enumerate_elements(table_);
    std::vector<int> seen;
    while (void *value = ht_enum_next_element(walk)) {
        int id = static_cast<Value *>(value)->id;
        seen.push_back(id);
        if (id == 1) {
            remove(2);  // the entry the walk would return next
            remove(4);
            add(100);
        }
    }
    ht_enumerate_elements_free(walk);
    EXPECT_EQ(seen, (std::vector<int>{0, 1, 3, 5}));
}

TEST_F(TabulTest, WalkSurvivesGrowthAndShrinking)
{
    for (int id = 0; id < 300; ++id) {
        add(id);
    }
    ht_enum *walk = ht_enumerate_elements(table_);
    std::set<int> seen;
    while (void *value = ht_enum_next_element(walk)) {
        int id = static_cast<Value *>(value)->id;
        EXPECT_TRUE(seen.insert(id).second) << id;
        remove(id);
    }
    ht_enumerate_elements_free(walk);
    EXPECT_EQ(seen.size(), 300u);
    EXPECT_EQ(ht_count(table_), 0u);
    for (int id = 0; id < 300; ++id) {
        add(id + 1000);
    }
    for (int id = 0; id < 300; ++id) {
        ASSERT_EQ(get(id + 1000), &values_[id + 1000]);
    }
}

TEST_F(TabulTest, EmptyTableWalkEndsAtOnce)
{
    ht_enum *walk = ht_enumerate_elements(table_);
    ASSERT_NE(walk, nullptr);
    EXPECT_EQ(ht_enum_next_element(walk), nullptr);
    ht_enumerate_elements_free(walk);
}

TEST_F(TabulTest, WalkOpenAcrossClearAndCloseEndsSafely)
{
    add(1);
    add(2);
    ht_enum *walk = ht_enumerate_elements(table_);
    ASSERT_NE(ht_enum_next_element(walk), nullptr);
    ht_clear(table_);
    EXPECT_EQ(ht_enum_next_element(walk), nullptr);
    add(3);
    ht_close(table_);
    table_ = nullptr;
    EXPECT_EQ(ht_enum_next_element(walk), nullptr);
    ht_enumerate_elements_free(walk);
}

TEST_F(TabulTest, FailedAllocationsLeaveTheTableUnchanged)
{
    values_[1].id = 1;
    trellis_fail_allocations(0, 1);
    EXPECT_EQ(ht_add(table_, "1", &values_[1]), -1);
    trellis_fail_allocations(1, 1);  // the entry succeeds, the key copy fails
    EXPECT_EQ(ht_add(table_, "1", &values_[1]), -1);
    trellis_fail_reset();
    EXPECT_EQ(ht_count(table_), 0u);
    EXPECT_EQ(get(1), nullptr);
    EXPECT_EQ(values_[1].frees, 0);

    trellis_fail_allocations(0, 1);
    EXPECT_EQ(ht_enumerate_elements(table_), nullptr);
    trellis_fail_allocations(0, 1);
    EXPECT_EQ(ht_open_extended(31, 0.5, nullptr, nullptr, nullptr, free_value, copy_key, free_key, 0.1),
              nullptr);
}

TEST_F(TabulTest, NullValuesAndKeysAreRefused)
{
    EXPECT_EQ(ht_add(table_, "k", nullptr), -1);
    EXPECT_EQ(ht_add(table_, nullptr, &values_[1]), -1);
    EXPECT_EQ(ht_get(table_, nullptr), nullptr);
    EXPECT_EQ(ht_count(table_), 0u);
}

TEST(TabulDefaults, TableCopiesKeysItselfWithoutCallbacks)
{
    ht_table *table = ht_open_extended(0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, 0);
    ASSERT_NE(table, nullptr);
    int value = 3;
    char key[] = "abc";
    ASSERT_EQ(ht_add(table, key, &value), 0);
    key[0] = 'z';
    EXPECT_EQ(ht_get(table, "abc"), &value);
    EXPECT_EQ(ht_delete_ex(table, "abc"), 0);
    EXPECT_EQ(value, 3);
    ht_close(table);
}

}  // namespace
