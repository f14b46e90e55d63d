#include "client/transport_url.h"

#include "client/nats_transport.h"
#include "client/tcp_transport.h"
#include "zem/tcp_frame.h"

#include <charconv>

namespace zem {

bool parse_transport_url(const std::string &text, TransportUrl &out, std::string &error) {
    out = TransportUrl{};
    if (text.empty()) {
        out.host = "127.0.0.1";
        out.port = tcp::kDefaultPort;
        out.url = "tcp://127.0.0.1:" + std::to_string(out.port);
        return true;
    }
    if (text.rfind("nats://", 0) == 0 || text.rfind("tls://", 0) == 0) {
        if (text.find("://") + 3 == text.size()) {
            error = "URL " + text + " names no server";
            return false;
        }
        out.scheme = TransportUrl::nats;
        out.url = text;
        return true;
    }
    if (text.rfind("tcp://", 0) != 0) {
        error = "URL " + text + " is neither tcp://HOST:PORT nor nats://HOST:PORT";
        return false;
    }
    std::string rest = text.substr(6);
    if (!rest.empty() && rest.back() == '/') rest.pop_back();
    std::string host, port;
    if (!rest.empty() && rest.front() == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos) {
            error = "URL " + text + " has an unclosed '['";
            return false;
        }
        host = rest.substr(1, close - 1);
        const std::string after = rest.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') {
                error = "URL " + text + " has text after the host";
                return false;
            }
            port = after.substr(1);
        }
    } else {
        const auto colon = rest.rfind(':');
        host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("/@ ") != std::string::npos) {
        error = "URL " + text + " names no usable host";
        return false;
    }
    unsigned value = tcp::kDefaultPort;
    if (!port.empty()) {
        const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (ec != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535) {
            error = "URL " + text + " has no valid port (1 to 65535)";
            return false;
        }
    }
    out.host = host;
    out.port = static_cast<std::uint16_t>(value);
    const bool v6 = host.find(':') != std::string::npos;
    out.url = "tcp://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(out.port);
    return true;
}

std::unique_ptr<Transport> open_transport(const TransportUrl &url, std::chrono::milliseconds timeout,
                                          std::string &error) {
    if (url.scheme == TransportUrl::nats) return NatsTransport::connect(url.url, timeout, error);
    return TcpTransport::connect(url.host, url.port, timeout, error);
}

} // namespace zem
