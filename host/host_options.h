// The host's settings: the attributes handed to the plug-in and the host's
// own settings, read from an INI file and from the command line.
#pragma once

#include <cstddef>
#include <map>
#include <string>
#include <string_view>

namespace zem::host {

enum class TransportKind { tcp, nats };

struct NatsOptions {
    std::string url = "nats://127.0.0.1:4222"; // one URL or a comma-separated list
    std::string user;
    std::string password;
    std::string token;
    bool tls = false;
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    bool tls_skip_verify = false;
};

struct TcpOptions {
    std::string listen; // HOST:PORT; empty = 127.0.0.1 and the default port
    std::size_t queue_limit = 64u * 1024 * 1024;
    std::size_t max_connections = 64;
};

struct HostOptions {
    std::map<std::string, std::string> attributes;
    TransportKind transport = TransportKind::tcp;
    TcpOptions tcp;
    NatsOptions nats;
    bool secure = false;
    std::string plugin; // empty = the installed plug-in
};

// Reads the [attributes] and [host] sections of an INI file into options.
// Returns an empty string on success, else what is wrong (file and line).
std::string load_config_file(const std::string &path, HostOptions &options);

// Applies one "NAME=VALUE" attribute override; empty string on success.
std::string apply_attribute_override(std::string_view assignment, HostOptions &options);

// "yes"/"no", "true"/"false", "on"/"off", "1"/"0"; false when unrecognised.
bool parse_bool(std::string_view text, bool &value);

// A whole decimal number without sign or spaces; false when it is not one or
// does not fit.
bool parse_whole_number(std::string_view text, unsigned long long &value);

} // namespace zem::host
