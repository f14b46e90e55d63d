// The embedded transport: requesters connect over TCP and exchange the
// frames of zem/tcp_frame.h with the host.
//
// One thread runs all connections. Each connection declares the channels it
// listens on; a message that starts with a request id goes to the
// connection that sent that id when it listens on the channel, otherwise to
// every connection listening on it. When the connection that sent the id
// has closed, the message is dropped. Outbound queues are bounded: a
// connection that falls too far behind is closed.
#pragma once

#include "host_options.h"
#include "transport.h"

#include <memory>

namespace zem::host {

class TcpTransport final : public Transport {
public:
    TcpTransport(TcpOptions options, MessageSink &sink);
    ~TcpTransport() override;

    std::string open() override;
    std::string describe() const override;
    bool listen(const std::string &channel) override;
    void unlisten(const std::string &channel) override;
    int send(const std::string &channel, const void *data, std::size_t size) override;
    void close() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Splits "HOST:PORT" ("[V6]:PORT" for IPv6); an empty host is 127.0.0.1.
// False with a reason when the text is not such an address.
bool split_listen_address(const std::string &text, std::string &host, std::uint16_t &port,
                          std::string &error);

} // namespace zem::host
