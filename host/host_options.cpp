#include "host_options.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <charconv>
#include <fstream>

namespace zem::host {

namespace {

std::string setting_error(const std::string &path, std::string_view key, std::string_view why) {
    std::string text = path + ": [host] " + std::string(key) + ": ";
    text += why;
    return text;
}

std::string apply_host_setting(const std::string &path, const std::string &key,
                               const std::string &value, HostOptions &options) {
    auto boolean = [&](bool &target) -> std::string {
        if (!parse_bool(value, target))
            return setting_error(path, key, "expected yes or no, got \"" + value + "\"");
        return {};
    };
    auto count = [&](std::size_t &target, unsigned long long minimum) -> std::string {
        unsigned long long n = 0;
        if (!parse_whole_number(value, n) || n < minimum)
            return setting_error(path, key,
                                 "expected a whole number of at least " + std::to_string(minimum) +
                                     ", got \"" + value + "\"");
        target = static_cast<std::size_t>(n);
        return {};
    };

    if (key == "plugin") {
        options.plugin = value;
    } else if (key == "transport") {
        if (value == "tcp") {
            options.transport = TransportKind::tcp;
        } else if (value == "nats") {
            options.transport = TransportKind::nats;
        } else {
            return setting_error(path, key, "expected tcp or nats, got \"" + value + "\"");
        }
    } else if (key == "secure") {
        return boolean(options.secure);
    } else if (key == "listen") {
        options.tcp.listen = value;
    } else if (key == "tcp_queue_limit") {
        return count(options.tcp.queue_limit, 1);
    } else if (key == "tcp_max_connections") {
        return count(options.tcp.max_connections, 1);
    } else if (key == "nats_url") {
        options.nats.url = value;
    } else if (key == "nats_user") {
        options.nats.user = value;
    } else if (key == "nats_password") {
        options.nats.password = value;
    } else if (key == "nats_token") {
        options.nats.token = value;
    } else if (key == "nats_tls") {
        return boolean(options.nats.tls);
    } else if (key == "nats_ca_file") {
        options.nats.ca_file = value;
    } else if (key == "nats_cert_file") {
        options.nats.cert_file = value;
    } else if (key == "nats_key_file") {
        options.nats.key_file = value;
    } else if (key == "nats_tls_skip_verify") {
        return boolean(options.nats.tls_skip_verify);
    } else {
        return setting_error(path, key, "unknown setting");
    }
    return {};
}

} // namespace

bool parse_bool(std::string_view text, bool &value) {
    if (text == "yes" || text == "true" || text == "on" || text == "1") {
        value = true;
        return true;
    }
    if (text == "no" || text == "false" || text == "off" || text == "0") {
        value = false;
        return true;
    }
    return false;
}

bool parse_whole_number(std::string_view text, unsigned long long &value) {
    if (text.empty()) return false;
    for (const char c : text)
        if (c < '0' || c > '9') return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

std::string load_config_file(const std::string &path, HostOptions &options) {
    std::ifstream in(path);
    if (!in) return path + ": cannot open the configuration file";
    boost::property_tree::ptree tree;
    try {
        boost::property_tree::ini_parser::read_ini(in, tree);
    } catch (const boost::property_tree::ini_parser_error &e) {
        return path + ":" + std::to_string(e.line()) + ": " + e.message();
    }
    for (const auto &[section, entries] : tree) {
        // The parser drops empty sections, so a childless entry at the top
        // level is a key written before the first section.
        if (entries.empty())
            return path + ": setting " + section + " lies outside [attributes] and [host]";
        if (section == "attributes") {
            for (const auto &[key, value] : entries) options.attributes[key] = value.data();
        } else if (section == "host") {
            for (const auto &[key, value] : entries) {
                std::string error = apply_host_setting(path, key, value.data(), options);
                if (!error.empty()) return error;
            }
        } else {
            return path + ": unknown section [" + section + "] (expected [attributes] and [host])";
        }
    }
    return {};
}

std::string apply_attribute_override(std::string_view assignment, HostOptions &options) {
    const auto eq = assignment.find('=');
    if (eq == std::string_view::npos || eq == 0)
        return "--attr expects NAME=VALUE, got \"" + std::string(assignment) + "\"";
    options.attributes[std::string(assignment.substr(0, eq))] =
        std::string(assignment.substr(eq + 1));
    return {};
}

} // namespace zem::host
