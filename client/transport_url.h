// Opening the transport that a URL names.
#pragma once

#include "client/transport.h"

#include <chrono>
#include <memory>
#include <string>

namespace zem {

// tcp://HOST[:PORT] (IPv6 hosts in brackets) or nats://... (handed to the
// NATS client as it stands, credentials included). An empty URL is the
// embedded transport on this machine, tcp://127.0.0.1 with the default port.
struct TransportUrl {
    enum Scheme { tcp, nats };
    Scheme scheme = tcp;
    std::string host;        // tcp only
    std::uint16_t port = 0;  // tcp only
    std::string url;         // the URL as given (nats), or formed (tcp)
};

// False with `error` set when the URL is not one of the forms above.
bool parse_transport_url(const std::string &text, TransportUrl &out, std::string &error);

// Connects; null with `error` set when the transport cannot be reached.
std::unique_ptr<Transport> open_transport(const TransportUrl &url, std::chrono::milliseconds timeout,
                                          std::string &error);

} // namespace zem
