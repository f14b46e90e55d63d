#include "client/record_codec.h"

#include <cstring>
#include <limits>

namespace zem {

bool encode_record(const zem_request_data &record, int buffer_size, std::vector<std::uint8_t> &out) {
    auto len = [](const char *s) { return s ? static_cast<int>(std::strlen(s)) : -1; };
    const int bound = zem_encoded_size_bound(len(record.source), len(record.destination),
                                             len(record.net_dir), record.data ? buffer_size : 0);
    if (bound < 0) return false;
    out.resize(static_cast<std::size_t>(bound));
    zem_request_data copy = record; // the codec takes a non-const record; it does not change it
    XDR xdrs;
    xdrmem_create(&xdrs, reinterpret_cast<char *>(out.data()), static_cast<u_int>(bound), XDR_ENCODE);
    const bool ok = xdr_zem_request_data_sized(&xdrs, &copy, buffer_size);
    if (ok) out.resize(xdr_getpos(&xdrs));
    xdr_destroy(&xdrs);
    return ok;
}

bool DecodedRecord::decode(const std::vector<std::uint8_t> &message, int buffer_size) {
    release();
    if (message.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) return false;
    buffer_size_ = buffer_size;
    XDR xdrs;
    // A decoding stream only reads the buffer.
    xdrmem_create(&xdrs, reinterpret_cast<char *>(const_cast<std::uint8_t *>(message.data())),
                  static_cast<u_int>(message.size()), XDR_DECODE);
    const bool ok = xdr_zem_request_data_sized(&xdrs, &record_, buffer_size);
    xdr_destroy(&xdrs);
    if (!ok) release();
    return ok;
}

void DecodedRecord::release() {
    if (record_.source || record_.destination || record_.net_dir || record_.data) {
        XDR xdrs;
        xdrs.x_op = XDR_FREE;
        xdr_zem_request_data_sized(&xdrs, &record_, buffer_size_);
    }
    record_ = zem_request_data{};
}

std::int32_t message_request_id(const std::vector<std::uint8_t> &message) {
    if (message.size() < 4) return 0;
    return static_cast<std::int32_t>((std::uint32_t(message[0]) << 24) | (std::uint32_t(message[1]) << 16) |
                                     (std::uint32_t(message[2]) << 8) | std::uint32_t(message[3]));
}

} // namespace zem
