/*
 * trellis: the platform allocator and thread-local slots.
 *
 * Every block the service and the other platform libraries hand each other
 * comes from maw_malloc and goes back through maw_free. Tests can make
 * chosen allocations fail to reach the out-of-memory paths for real.
 */
#ifndef TRELLIS_H
#define TRELLIS_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A block of size bytes, or null. maw_malloc(0) returns a valid block. */
void *maw_malloc(size_t size);
/* Releases a block from maw_malloc (or from a platform call documented to
 * return one); null is ignored. */
void maw_free(void *block);

/* Test switch: after `skip` further successful allocations, the next `count`
 * maw_malloc calls fail (return null). trellis_fail_reset() cancels it. */
void trellis_fail_allocations(long skip, long count);
void trellis_fail_reset(void);
/* Counters since the last trellis_stats_reset(): calls to maw_malloc, and the
 * largest size any call asked for. */
uint64_t trellis_allocation_count(void);
size_t trellis_largest_request(void);
void trellis_stats_reset(void);

/* A fresh thread-local slot index (never reused), or -1 when none is left. */
int mtls_alloc(void);
/* Stores value in the calling thread's copy of slot index; 0 on success. */
int mtls_set(int index, uintptr_t value);
/* The calling thread's value of slot index; 0 when never set. */
uintptr_t mtls_get(int index);

#ifdef __cplusplus
}
#endif
#endif
