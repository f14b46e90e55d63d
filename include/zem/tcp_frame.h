// The embedded TCP transport between zem-host and requesters.
//
// A connection carries frames in both directions:
//   u32 length (big-endian) of everything after it, at most ZEM_TCP_MAX_FRAME
//   u8  type   (ZEM_TCP_LISTEN or ZEM_TCP_MESSAGE)
//   u16 channel name length (big-endian), 1..255, then the name (no NUL)
//   the payload (the rest of the frame; empty for LISTEN)
// A requester sends LISTEN for every channel it wants to receive (the reply
// and data channels), then MESSAGE frames on the request and acknowledgement
// channels. The host routes a message whose payload starts with a request id
// (its first four bytes) to the connection that sent requests with that id,
// drops it when that connection has closed, and otherwise sends it to every
// connection that listens on the channel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zem::tcp {

inline constexpr std::uint16_t kDefaultPort = 7468;
inline constexpr std::uint32_t kMaxFrame = 17u * 1024 * 1024; // 16 MiB chunk + headers
inline constexpr std::uint8_t kListen = 1;
inline constexpr std::uint8_t kMessage = 2;

struct Frame {
    std::uint8_t type = kMessage;
    std::string channel;
    std::vector<std::uint8_t> payload;
};

// The bytes of one frame, length prefix included.
inline std::vector<std::uint8_t> encode_frame(std::uint8_t type, std::string_view channel,
                                              const void *payload, std::size_t size) {
    const std::uint32_t body = static_cast<std::uint32_t>(1 + 2 + channel.size() + size);
    std::vector<std::uint8_t> out;
    out.reserve(4 + body);
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(body >> shift));
    out.push_back(type);
    out.push_back(static_cast<std::uint8_t>(channel.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(channel.size()));
    out.insert(out.end(), channel.begin(), channel.end());
    const auto *p = static_cast<const std::uint8_t *>(payload);
    if (size) out.insert(out.end(), p, p + size);
    return out;
}

// Length of the frame body announced by a 4-byte prefix.
inline std::uint32_t frame_body_length(const std::uint8_t prefix[4]) {
    return (std::uint32_t(prefix[0]) << 24) | (std::uint32_t(prefix[1]) << 16) |
           (std::uint32_t(prefix[2]) << 8) | std::uint32_t(prefix[3]);
}

// Parses a frame body (the bytes after the length prefix); nullopt when it is
// malformed (unknown type, bad name length, empty name).
inline std::optional<Frame> decode_frame_body(const std::uint8_t *body, std::size_t size) {
    if (size < 3) return std::nullopt;
    Frame f;
    f.type = body[0];
    if (f.type != kListen && f.type != kMessage) return std::nullopt;
    const std::size_t name_len = (std::size_t(body[1]) << 8) | body[2];
    if (name_len == 0 || name_len > 255 || 3 + name_len > size) return std::nullopt;
    f.channel.assign(reinterpret_cast<const char *>(body + 3), name_len);
    f.payload.assign(body + 3 + name_len, body + size);
    return f;
}

} // namespace zem::tcp
