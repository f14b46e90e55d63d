// The XDR codec of zem_request_data with an explicit chunk size, the bound
// of a data record's encoding, and the buffer helpers built on them.
//
// Encoding uses libtirpc's primitives as they are. Decoding reads strings
// and byte counts itself: libtirpc allocates a declared length before it
// finds out that the message is shorter, so a 12-byte message could make it
// allocate 2 GiB. Here a count is checked against the bytes the stream still
// holds before anything is allocated.
#include "wire/zem_request_data.h"

#include <trellis.h>

#include <algorithm>
#include <climits>
#include <cstring>

namespace {

constexpr u_int kStringMax = 0x7fffffff;

// Streams that cannot say how many bytes they hold are read in pieces of
// this size (a multiple of 4, so only the last piece carries padding).
constexpr u_int kFirstPiece = 64 * 1024;

// libtirpc's memory streams use one table of operations for 4-byte aligned
// buffers and another for unaligned ones; both keep the bytes left in
// x_handy. Any other stream is recognised by its table being neither.
struct MemoryStreamOps {
    const void *aligned;
    const void *unaligned;
};

MemoryStreamOps find_memory_stream_ops() {
    alignas(8) char buffer[8] = {};
    XDR probe;
    MemoryStreamOps ops{};
    xdrmem_create(&probe, buffer, 4, XDR_DECODE);
    ops.aligned = probe.x_ops;
    xdrmem_create(&probe, buffer + 1, 4, XDR_DECODE);
    ops.unaligned = probe.x_ops;
    return ops;
}

// True with *left set when xdrs is a memory stream.
bool memory_stream_bytes_left(const XDR *xdrs, u_int *left) {
    static const MemoryStreamOps ops = find_memory_stream_ops();
    if (xdrs->x_ops != ops.aligned && xdrs->x_ops != ops.unaligned)
        return false;
    *left = xdrs->x_handy;
    return true;
}

// Reads count bytes and their padding into a new block of count + extra
// bytes, stored in *out on success. On a memory stream the block is
// allocated only when the stream holds count bytes. Other streams are read
// in growing pieces, so the block is never much larger than what arrived.
bool_t decode_block(XDR *xdrs, u_int count, u_int extra, char **out) {
    u_int left = 0;
    if (memory_stream_bytes_left(xdrs, &left)) {
        if (count > left)
            return FALSE;
        char *block = static_cast<char *>(maw_malloc(size_t{count} + extra));
        if (block == nullptr)
            return FALSE;
        if (!xdr_opaque(xdrs, block, count)) {
            maw_free(block);
            return FALSE;
        }
        *out = block;
        return TRUE;
    }

    size_t capacity = std::min(count, kFirstPiece);
    char *block = static_cast<char *>(maw_malloc(capacity + extra));
    if (block == nullptr)
        return FALSE;
    size_t filled = 0;
    for (;;) {
        // Every piece but the last ends on a multiple of 4, so xdr_opaque
        // reads the padding only after the last byte of the count.
        if (!xdr_opaque(xdrs, block + filled, static_cast<u_int>(capacity - filled))) {
            maw_free(block);
            return FALSE;
        }
        filled = capacity;
        if (filled == count)
            break;
        size_t grown = std::min<size_t>(count, capacity * 2);
        char *larger = static_cast<char *>(maw_malloc(grown + extra));
        if (larger == nullptr) {
            maw_free(block);
            return FALSE;
        }
        std::memcpy(larger, block, filled);
        maw_free(block);
        block = larger;
        capacity = grown;
    }
    *out = block;
    return TRUE;
}

// The helpers below run for XDR_ENCODE and XDR_DECODE only: XDR_FREE never
// walks the fields (see release_storage).

bool_t code_string(XDR *xdrs, char **field) {
    if (xdrs->x_op == XDR_ENCODE) {
        // A null string goes out as "" without touching the record.
        static char empty[] = "";
        char *text = *field != nullptr ? *field : empty;
        return xdr_string(xdrs, &text, kStringMax);
    }
    u_int size = 0;
    if (!xdr_u_int(xdrs, &size) || size > kStringMax)
        return FALSE;
    char *text = nullptr;
    if (!decode_block(xdrs, size, 1, &text))
        return FALSE;
    text[size] = '\0';
    *field = text;
    return TRUE;
}

bool_t code_total_size(XDR *xdrs, uint64_t *total_size) {
    u_int low = static_cast<u_int>(*total_size & 0xffffffffu);
    u_int high = static_cast<u_int>(*total_size >> 32);
    if (!xdr_u_int(xdrs, &low) || !xdr_u_int(xdrs, &high))
        return FALSE;
    *total_size = (uint64_t{high} << 32) | low;
    return TRUE;
}

bool_t code_data(XDR *xdrs, char **data, int buffer_size) {
    if (xdrs->x_op == XDR_ENCODE) {
        // A data record always carries a whole chunk of B bytes.
        if (*data == nullptr) {
            u_int none = 0;
            return xdr_u_int(xdrs, &none);
        }
        if (buffer_size < 0)
            return FALSE;
        u_int count = static_cast<u_int>(buffer_size);
        return xdr_u_int(xdrs, &count) && xdr_opaque(xdrs, *data, count);
    }
    u_int count = 0;
    if (!xdr_u_int(xdrs, &count))
        return FALSE;
    if (count > static_cast<u_int>(std::max(buffer_size, 0)))
        return FALSE;
    if (count == 0)
        return TRUE;
    return decode_block(xdrs, count, 0, data);
}

// The fields in wire order; each helper follows the stream's direction.
bool_t code_fields(XDR *xdrs, zem_request_data *record, int buffer_size) {
    return xdr_int(xdrs, &record->request_id) && xdr_int(xdrs, &record->action) &&
           xdr_int(xdrs, &record->flags) && code_string(xdrs, &record->source) &&
           code_string(xdrs, &record->destination) && code_string(xdrs, &record->net_dir) &&
           xdr_int(xdrs, &record->offset) && xdr_int(xdrs, &record->length) &&
           xdr_int(xdrs, &record->final) && code_total_size(xdrs, &record->total_size) &&
           code_data(xdrs, &record->data, buffer_size);
}

void release_storage(zem_request_data *record) {
    maw_free(record->source);
    maw_free(record->destination);
    maw_free(record->net_dir);
    maw_free(record->data);
    record->source = nullptr;
    record->destination = nullptr;
    record->net_dir = nullptr;
    record->data = nullptr;
}

} // namespace

bool_t xdr_zem_request_data_sized(XDR *xdrs, zem_request_data *record, int buffer_size) {
    if (xdrs == nullptr || record == nullptr)
        return FALSE;
    switch (xdrs->x_op) {
    case XDR_ENCODE:
        return code_fields(xdrs, record, buffer_size);
    case XDR_DECODE:
        // Decoding writes only into blocks it allocates itself.
        if (record->source != nullptr || record->destination != nullptr ||
            record->net_dir != nullptr || record->data != nullptr)
            return FALSE;
        if (code_fields(xdrs, record, buffer_size))
            return TRUE;
        release_storage(record);
        return FALSE;
    case XDR_FREE:
        // xdr_free hands in a stream whose only valid member is x_op.
        release_storage(record);
        return TRUE;
    }
    return FALSE;
}

int zem_encoded_size_bound(int source_len, int destination_len, int net_dir_len,
                           int buffer_size) {
    if (source_len < -1 || destination_len < -1 || net_dir_len < -1 || buffer_size < 0)
        return -1;
    // A null or empty path counts 1 byte; net_dir counts its terminator.
    long long bound = std::max(source_len, 1);
    bound += std::max(destination_len, 1);
    bound += net_dir_len < 0 ? 1 : static_cast<long long>(net_dir_len) + 1;
    bound += static_cast<long long>(buffer_size) + 59;
    return bound > INT_MAX ? -1 : static_cast<int>(bound);
}

int zem_encode_record(const zem_request_data *record, char *buffer, int size,
                      int buffer_size) {
    if (record == nullptr || buffer == nullptr || size < 0)
        return -1;
    // Encoding reads the record only; a shallow copy keeps the caller's const.
    zem_request_data fields = *record;
    XDR xdrs;
    xdrmem_create(&xdrs, buffer, static_cast<u_int>(size), XDR_ENCODE);
    int produced = -1;
    if (xdr_zem_request_data_sized(&xdrs, &fields, buffer_size))
        produced = static_cast<int>(XDR_GETPOS(&xdrs));
    XDR_DESTROY(&xdrs);
    return produced;
}

int zem_decode_record(const void *message, int length, zem_request_data *record,
                      int buffer_size) {
    if (record == nullptr)
        return -1;
    std::memset(record, 0, sizeof *record);
    if (message == nullptr || length < 0)
        return -1;
    XDR xdrs;
    // A decoding stream only reads the buffer.
    xdrmem_create(&xdrs, static_cast<char *>(const_cast<void *>(message)),
                  static_cast<u_int>(length), XDR_DECODE);
    bool_t decoded = xdr_zem_request_data_sized(&xdrs, record, buffer_size);
    XDR_DESTROY(&xdrs);
    return decoded ? 0 : -1;
}

void zem_release_decoded(zem_request_data *record) {
    if (record != nullptr)
        release_storage(record);
}
