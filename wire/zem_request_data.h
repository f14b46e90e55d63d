/*
 * The one record of every message, its actions and flags, and its XDR
 * encoding. The bytes on the wire are those of the 32-bit original: 4-byte
 * XDR ints for the numbers, total_size as two unsigned halves (low first).
 */
#ifndef ZEM_WIRE_REQUEST_DATA_H
#define ZEM_WIRE_REQUEST_DATA_H

#include <rpc/types.h>
#include <rpc/xdr.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef enum zem_actions_e {
    ZEM_STORE = 0,
    ZEM_RETRIEVE = 1,
    ZEM_REMOVE = 2,
    ZEM_DISK_USAGE = 3,
    ZEM_PREPARE = 4,
    ZEM_ACK = 5,
    ZEM_TERMINATE = 7,
    ZEM_NOT_FOUND = 8,
    ZEM_NO_SPACE = 9,
    ZEM_FAILED = 10
} zem_actions_e;

#define ZEM_FLAG_DIRECTORY 0x1
#define ZEM_FLAG_GZL 0x20
#define ZEM_FLAG_QUIET 0x80
#define ZEM_FLAG_LOCAL_PATH 0x100
#define ZEM_FLAG_TEMP_BASE 0x400

typedef struct zem_request_data {
    int32_t request_id;
    int32_t action; /* a zem_actions_e, or a negative failure code in an ack reply */
    int32_t flags;
    char *source;
    char *destination;
    char *net_dir;
    int32_t offset;
    int32_t length; /* valid bytes at the start of data */
    int32_t final;
    uint64_t total_size;
    char *data;
    void *operation; /* the request table's copy only; never encoded */
} zem_request_data;

/* Every encoded record without strings or data takes this many bytes. */
#define ZEM_RECORD_FIXED_BYTES 48
/* Buffer that replies (no strings, no data) are encoded into. */
#define ZEM_REPLY_BUFFER_BYTES 56

/* The codec with an explicit chunk size B: encoding a non-null data sends
 * exactly B bytes from it; decoding refuses a data count above B and any
 * string or byte count larger than the bytes left in the stream, before
 * allocating. XDR_FREE releases what a decode allocated. */
bool_t xdr_zem_request_data_sized(XDR *xdrs, zem_request_data *record, int buffer_size);

/* Largest encoding of a data record whose strings have these lengths (-1
 * for a null string) with chunk size B: a data chunk's encode buffer. Counts
 * 1 byte for a null or empty source or destination, strlen + 1 for net_dir
 * (1 when null), then B + 59 (48 fixed bytes and the padding). */
int zem_encoded_size_bound(int source_len, int destination_len, int net_dir_len,
                           int buffer_size);

/* A deep copy of the record's strings (maw_malloc); data and operation are
 * copied as pointers. Null when an allocation fails. */
zem_request_data *zem_request_data_copy(const zem_request_data *record);
/* Releases a copy (null is ignored); never data nor operation. */
void zem_request_data_free(zem_request_data *record);

#ifdef __cplusplus
}
#endif
#endif
