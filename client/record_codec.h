// The requester's use of the record codec: encoding records into byte
// vectors and owning decoded records.
#pragma once

#include "wire/zem_request_data.h"

#include <cstdint>
#include <vector>

namespace zem {

// Encodes `record` with chunk size B into `out` (resized to the bytes to
// send). A non-null `data` must point at B readable bytes. False when the
// record cannot be encoded.
bool encode_record(const zem_request_data &record, int buffer_size, std::vector<std::uint8_t> &out);

// A record decoded from a message; releases what the decode allocated.
class DecodedRecord {
public:
    DecodedRecord() = default;
    ~DecodedRecord() { release(); }
    DecodedRecord(const DecodedRecord &) = delete;
    DecodedRecord &operator=(const DecodedRecord &) = delete;

    // False when the bytes are not a record for chunk size B.
    bool decode(const std::vector<std::uint8_t> &message, int buffer_size);
    const zem_request_data &operator*() const { return record_; }
    const zem_request_data *operator->() const { return &record_; }

private:
    void release();
    zem_request_data record_{};
    int buffer_size_ = 0;
};

// The request id in the first four bytes of a message; 0 when it is shorter.
std::int32_t message_request_id(const std::vector<std::uint8_t> &message);

} // namespace zem
