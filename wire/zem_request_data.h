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

/* The codec with an explicit chunk size B (buffer_size); the stream's
 * direction decides the work. Returns nonzero on success, 0 on failure.
 *
 * Encoding: a null string goes out as the empty string (the record is not
 * changed); a null data as count 0; a non-null data as count B followed by
 * exactly B bytes read from it, whatever length says, so data must point at
 * B readable bytes. Fails with a negative B and non-null data.
 *
 * Decoding: into a zeroed record (a string or data pointer that is already
 * set fails the decode, nothing is written through it). Strings arrive
 * NUL-terminated, an empty one as "" (never null); a data count of 0 leaves
 * data null, a count above B fails. On a memory stream a string or byte
 * count larger than the bytes left fails before anything is allocated; on
 * other streams a block grows with the bytes that arrive (at most twice
 * those, from a first 64 KiB). Blocks come from maw_malloc. A failed decode releases what it allocated and leaves
 * the pointers null; a later XDR_FREE is harmless.
 *
 * XDR_FREE (xdr_free): releases the strings and data and nulls them; the
 * record itself and operation are left alone. */
bool_t xdr_zem_request_data_sized(XDR *xdrs, zem_request_data *record, int buffer_size);

/* Encodes the record into buffer (size bytes) with chunk size B. Returns the
 * number of bytes produced (the bytes to send), or -1 when the record does
 * not fit or cannot be encoded. */
int zem_encode_record(const zem_request_data *record, char *buffer, int size,
                      int buffer_size);

/* Decodes a message of length bytes into record, which this zeroes first.
 * Returns 0 on success; -1 when the message is not a valid record for chunk
 * size B, and then the record holds nothing to release. Release a decoded
 * record with zem_release_decoded (or xdr_free with the codec). */
int zem_decode_record(const void *message, int length, zem_request_data *record,
                      int buffer_size);

/* Releases the strings and data of a decoded record and nulls them (what
 * xdr_free does, without needing B); null is ignored. */
void zem_release_decoded(zem_request_data *record);

/* Largest encoding of a data record whose strings have these lengths (-1
 * for a null string) with chunk size B: a data chunk's encode buffer. Counts
 * 1 byte for a null or empty source or destination, strlen + 1 for net_dir
 * (1 when null), then B + 59 (48 fixed bytes and the padding). Returns -1
 * for a length below -1, a negative B, or a sum that does not fit an int. */
int zem_encoded_size_bound(int source_len, int destination_len, int net_dir_len,
                           int buffer_size);

/* A new record (maw_malloc) with the same numbers, its own copies of the
 * non-null strings (maw_malloc; a null string stays null), and data and
 * operation copied as pointers: data stays borrowed from the original.
 * Null when record is null or an allocation fails (nothing is kept then). */
zem_request_data *zem_request_data_copy(const zem_request_data *record);
/* Releases a copy (null is ignored); never data nor operation. */
void zem_request_data_free(zem_request_data *record);

#ifdef __cplusplus
}
#endif
#endif
