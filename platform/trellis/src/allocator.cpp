// maw_malloc and maw_free over the C heap, with the allocation-failure
// switch and the counters that tests read.
//
// Blocks carry no header: maw_free takes blocks from plain malloc, and free
// takes blocks from maw_malloc.
#include "trellis.h"

#include <atomic>
#include <cstdlib>

namespace {

std::atomic<long> skip_before_failing{0};
std::atomic<long> failures_left{0};
std::atomic<uint64_t> allocation_calls{0};
std::atomic<size_t> largest_request{0};

// Takes one unit from counter when it is positive; true when one was taken.
bool take_one(std::atomic<long> &counter)
{
    long current = counter.load();
    while (current > 0) {
        if (counter.compare_exchange_weak(current, current - 1)) {
            return true;
        }
    }
    return false;
}

// Decides whether this allocation is one the test switch makes fail. The
// skipped allocations are used up before any failure is handed out.
bool injected_failure()
{
    if (failures_left.load() <= 0) {
        return false;
    }
    if (take_one(skip_before_failing)) {
        return false;
    }
    return take_one(failures_left);
}

void note_request(size_t size)
{
    allocation_calls.fetch_add(1);
    size_t largest = largest_request.load();
    while (size > largest && !largest_request.compare_exchange_weak(largest, size)) {
    }
}

}  // namespace

extern "C" {

void *maw_malloc(size_t size)
{
    note_request(size);
    if (injected_failure()) {
        return nullptr;
    }
    // A zero-byte request still gets a distinct block that maw_free accepts.
    return std::malloc(size == 0 ? 1 : size);
}

void maw_free(void *block)
{
    std::free(block);
}

void trellis_fail_allocations(long skip, long count)
{
    // Arm the skip first so that no allocation racing with this call fails
    // too early.
    failures_left.store(0);
    skip_before_failing.store(skip > 0 ? skip : 0);
    failures_left.store(count > 0 ? count : 0);
}

void trellis_fail_reset(void)
{
    failures_left.store(0);
    skip_before_failing.store(0);
}

uint64_t trellis_allocation_count(void)
{
    return allocation_calls.load();
}

size_t trellis_largest_request(void)
{
    return largest_request.load();
}

void trellis_stats_reset(void)
{
    allocation_calls.store(0);
    largest_request.store(0);
}

}  // extern "C"
