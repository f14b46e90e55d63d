// The message transport between a requester and zem-host: named channels
// carrying opaque payloads. The requester listens on the data and reply
// channels and sends on the request and acknowledgement channels.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zem {

// One message as it arrived: the channel it came on and its bytes.
struct Message {
    std::string channel;
    std::vector<std::uint8_t> payload;
};

// What a transport call ended with. `text` says what went wrong in words.
struct TransportStatus {
    enum Kind { ok, timeout, closed };
    Kind kind = ok;
    std::string text;

    static TransportStatus success() { return {}; }
    static TransportStatus failure(std::string why) { return {closed, std::move(why)}; }
    explicit operator bool() const { return kind == ok; }
};

// A transport is used by one thread at a time. Messages of every channel it
// listens on arrive in one ordered stream.
class Transport {
public:
    virtual ~Transport() = default;

    // Starts delivery of the messages of a channel; effective on return.
    virtual TransportStatus listen(const std::string &channel) = 0;
    // Sends one message; waits at most `timeout` for room to send it.
    virtual TransportStatus send(const std::string &channel, const void *data, std::size_t size,
                                 std::chrono::milliseconds timeout) = 0;
    // Waits at most `timeout` for the next message. A transport may drop
    // messages whose first four bytes (the request id, big-endian) differ
    // from the id set with `expect`; 0 keeps every message.
    virtual TransportStatus receive(Message &out, std::chrono::milliseconds timeout) = 0;
    virtual void expect(std::int32_t request_id) { (void)request_id; }
    // Where the transport is connected, for messages ("tcp://127.0.0.1:7468").
    virtual std::string peer() const = 0;
};

} // namespace zem
