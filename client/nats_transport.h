// The NATS transport, requester side: channel names are subjects; the
// messages of the subscribed subjects are queued by the library's threads and
// taken by `receive`.
#pragma once

#include "client/transport.h"

#include <chrono>
#include <memory>
#include <string>

namespace zem {

class NatsTransport final : public Transport {
public:
    // Connects to a server URL (nats://[USER:PASSWORD@|TOKEN@]HOST:PORT, or
    // several separated by commas). Null with `error` set on failure.
    static std::unique_ptr<NatsTransport> connect(const std::string &url,
                                                  std::chrono::milliseconds timeout,
                                                  std::string &error);
    ~NatsTransport() override;
    NatsTransport(const NatsTransport &) = delete;
    NatsTransport &operator=(const NatsTransport &) = delete;

    TransportStatus listen(const std::string &channel) override;
    TransportStatus send(const std::string &channel, const void *data, std::size_t size,
                         std::chrono::milliseconds timeout) override;
    TransportStatus receive(Message &out, std::chrono::milliseconds timeout) override;
    void expect(std::int32_t request_id) override;
    std::string peer() const override { return peer_; }

    struct State; // shared with the library's delivery threads

private:
    explicit NatsTransport(std::unique_ptr<State> state, std::string peer);
    std::unique_ptr<State> state_;
    std::string peer_;
};

} // namespace zem
