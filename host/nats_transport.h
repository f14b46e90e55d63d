// Channels as subjects on a NATS server or cluster.
//
// Each channel the service listens on is a subscription whose messages the
// library's threads hand to the sink; each sent message is published on
// the channel's subject.
#pragma once

#include "host_options.h"
#include "transport.h"

#include <memory>

namespace zem::host {

class NatsTransport final : public Transport {
public:
    NatsTransport(NatsOptions options, MessageSink &sink);
    ~NatsTransport() override;

    std::string open() override;
    std::string describe() const override;
    bool listen(const std::string &channel) override;
    void unlisten(const std::string &channel) override;
    int send(const std::string &channel, const void *data, std::size_t size) override;
    void close() override;

    // The largest message the server accepts (valid after open).
    std::size_t max_payload() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Releases the NATS library's process-wide resources; call once at exit,
// after every NatsTransport is closed.
void nats_shutdown();

} // namespace zem::host
