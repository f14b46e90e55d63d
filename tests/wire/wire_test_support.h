// Helpers shared by the record tests: hand-built messages, a decoded record
// that releases itself, and the attribute stub behind the plug-in routine.
#pragma once

#include "wire/zem_request_data.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

// The value that the stubbed zem_attrib_int("zem_buffer_size") returns, and
// how often the routine asked for it.
extern int g_stub_buffer_size;
extern int g_stub_buffer_size_reads;

// Builds an XDR message by hand, item by item.
class Message {
public:
    Message &u32(uint32_t value) {
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes_.push_back(static_cast<uint8_t>(value >> shift));
        return *this;
    }
    // Count, bytes, then zero padding to a multiple of 4.
    Message &counted(const std::string &text) {
        u32(static_cast<uint32_t>(text.size()));
        bytes_.insert(bytes_.end(), text.begin(), text.end());
        while (bytes_.size() % 4 != 0)
            bytes_.push_back(0);
        return *this;
    }
    // Raw bytes without a count or padding.
    Message &raw(size_t count, uint8_t byte) {
        bytes_.insert(bytes_.end(), count, byte);
        return *this;
    }
    // The 12-byte head: request_id, action, flags.
    Message &head(uint32_t request_id = 1, uint32_t action = ZEM_STORE, uint32_t flags = 0) {
        return u32(request_id).u32(action).u32(flags);
    }
    // offset, length, final and the two halves of total_size.
    Message &numbers() { return u32(0).u32(0).u32(0).u32(0).u32(0); }
    const std::vector<uint8_t> &bytes() const { return bytes_; }
    int size() const { return static_cast<int>(bytes_.size()); }

private:
    std::vector<uint8_t> bytes_;
};

// A record decoded by zem_decode_record, released when it goes.
struct Decoded {
    zem_request_data record{};
    int result = -1;

    Decoded(const void *message, int length, int buffer_size)
        : result(zem_decode_record(message, length, &record, buffer_size)) {}
    Decoded(const std::vector<uint8_t> &message, int buffer_size)
        : Decoded(message.data(), static_cast<int>(message.size()), buffer_size) {}
    ~Decoded() { zem_release_decoded(&record); }
    Decoded(const Decoded &) = delete;
    Decoded &operator=(const Decoded &) = delete;

    bool ok() const { return result == 0; }
};

// True when no pointer of the record is set.
inline bool holds_nothing(const zem_request_data &record) {
    return record.source == nullptr && record.destination == nullptr &&
           record.net_dir == nullptr && record.data == nullptr && record.operation == nullptr;
}

// Encodes with the sized codec into a buffer of the given size; empty on failure.
inline std::vector<uint8_t> encode(const zem_request_data &record, int buffer_size,
                                   int capacity = 1 << 20) {
    std::vector<uint8_t> buffer(static_cast<size_t>(capacity));
    int produced = zem_encode_record(&record, reinterpret_cast<char *>(buffer.data()),
                                     capacity, buffer_size);
    if (produced < 0)
        return {};
    buffer.resize(static_cast<size_t>(produced));
    return buffer;
}
