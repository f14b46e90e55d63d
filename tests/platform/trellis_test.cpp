#include "trellis.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

class TrellisTest : public ::testing::Test {
protected:
    void TearDown() override { trellis_fail_reset(); }
};

TEST_F(TrellisTest, BlocksAreInterchangeableWithTheCHeap)
{
    void *zero = maw_malloc(0);
    ASSERT_NE(zero, nullptr);
    maw_free(zero);
    // No header in front of the blocks: each allocator releases the other's.
    maw_free(std::malloc(16));
    std::free(maw_malloc(16));
    maw_free(nullptr);
}

TEST_F(TrellisTest, FailureSwitchSkipsThenFailsThenRecovers)
{
    trellis_fail_allocations(2, 3);
    std::vector<void *> results;
    for (int i = 0; i < 6; ++i) {
        results.push_back(maw_malloc(8));
    }
    EXPECT_NE(results[0], nullptr);
    EXPECT_NE(results[1], nullptr);
    EXPECT_EQ(results[2], nullptr);
    EXPECT_EQ(results[3], nullptr);
    EXPECT_EQ(results[4], nullptr);
    EXPECT_NE(results[5], nullptr);
    for (void *block : results) {
        maw_free(block);
    }

    trellis_fail_allocations(0, 5);
    trellis_fail_reset();
    void *block = maw_malloc(8);
    EXPECT_NE(block, nullptr);
    maw_free(block);
}

TEST_F(TrellisTest, CountersTrackCallsAndLargestRequestIncludingFailedOnes)
{
    trellis_stats_reset();
    trellis_fail_allocations(1, 1);
    void *a = maw_malloc(100);
    void *b = maw_malloc(5000);  // fails, but was asked for
    void *c = maw_malloc(7);
    EXPECT_EQ(b, nullptr);
    EXPECT_EQ(trellis_allocation_count(), 3u);
    EXPECT_EQ(trellis_largest_request(), 5000u);
    maw_free(a);
    maw_free(c);
    trellis_stats_reset();
    EXPECT_EQ(trellis_allocation_count(), 0u);
    EXPECT_EQ(trellis_largest_request(), 0u);
}

TEST_F(TrellisTest, FailureCountIsExactAcrossThreads)
{
    constexpr int threads = 4;
    constexpr int per_thread = 200;
    constexpr long failures = 300;
    trellis_fail_allocations(0, failures);
    std::atomic<long> nulls{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&nulls] {
            for (int i = 0; i < per_thread; ++i) {
                void *block = maw_malloc(32);
                if (block == nullptr) {
                    ++nulls;
                }
                maw_free(block);
            }
        });
    }
    for (std::thread &worker : workers) {
        worker.join();
    }
    EXPECT_EQ(nulls.load(), failures);
}

TEST(TrellisSlots, ValuesArePerThreadAndPerSlot)
{
    int first = mtls_alloc();
    int second = mtls_alloc();
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);
    EXPECT_NE(first, second);

    EXPECT_EQ(mtls_get(first), 0u);
    ASSERT_EQ(mtls_set(first, 11), 0);
    ASSERT_EQ(mtls_set(second, 22), 0);

    uintptr_t seen_by_other = 1;
    std::thread other([&] {
        seen_by_other = mtls_get(first);
        mtls_set(first, 99);
    });
    other.join();

    EXPECT_EQ(seen_by_other, 0u);
    EXPECT_EQ(mtls_get(first), 11u);
    EXPECT_EQ(mtls_get(second), 22u);
}

TEST(TrellisSlots, UnknownIndexesAreRefused)
{
    EXPECT_EQ(mtls_set(-1, 5), -1);
    EXPECT_EQ(mtls_get(-1), 0u);
    EXPECT_EQ(mtls_set(1 << 20, 5), -1);
    EXPECT_EQ(mtls_get(1 << 20), 0u);
}

}  // namespace
