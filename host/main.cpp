// zem-host: loads the zem_svc plug-in, hands it the host functions, drives
// init, start, stop and term, and carries its channels over TCP or NATS.
#include "host_log.h"
#include "host_options.h"
#include "host_table.h"
#include "nats_transport.h"
#include "plugin_library.h"
#include "settings_check.h"
#include "tcp_transport.h"
#include "zem/tcp_frame.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <unistd.h>

namespace {

using namespace zem::host;

constexpr int kExitFailure = 1; // the service could not start or stopped badly
constexpr int kExitUsage = 2;   // the command line or the configuration is wrong
// How long the host waits for the plug-in's threads after stop.
constexpr auto kThreadEndTimeout = std::chrono::seconds(5);

const char *const kHelpFooter = R"(
The plug-in reads these attributes (set them in [attributes] or with --attr):
  netdir_path      base directory onto which request paths are mapped
                   (required; DIR sets it)
  qk_dat_dir       directory of the message catalogue zem_msg_res and of
                   zem_settings.ini (default: )" ZEM_DATA_DIR R"()
  temp_dir         a further secure directory in secure mode
  zem_buffer_size  bytes per data chunk, 1 to 16777216 (plug-in default 7168)
  zem_window_size  data chunks in flight per transfer, at least 1
                   (plug-in default 20)
  zem_ps_subject   when set, channels are subjects named CHANNEL_SUBJECT
                   (publish/subscribe); unset or empty: plain channel names
  zem_debug        when present (even empty), the service reports traces
  zem_debug_file   file that receives one line per handled request
  localhost        host name used in out-of-space reports

[host] settings of the configuration file (command-line options win):
  plugin               path of the plug-in library
  transport            tcp (default) or nats
  secure               yes: confine requests to the secure directories
  listen               HOST:PORT the tcp transport listens on
  tcp_queue_limit      bytes that may wait for one slow connection before it
                       is closed (default 67108864)
  tcp_max_connections  connections served at once (default 64)
  nats_url             server URL, or several separated by commas
  nats_user, nats_password, nats_token   credentials for the server
  nats_tls             yes: connect with TLS
  nats_ca_file, nats_cert_file, nats_key_file   TLS trust and client files
  nats_tls_skip_verify yes: accept any server certificate (testing only)

Reports go to standard error, one line each: time, ERROR or TRACE, code and
text. SIGINT or SIGTERM stops the service and ends the host with status 0.
Exit status 1: the service could not start; 2: wrong options or settings.)";

struct CommandLine {
    std::string config;
    std::string listen;
    std::string nats;
    std::string subject;
    bool subject_given = false;
    bool secure = false;
    std::string plugin;
    std::vector<std::string> attributes;
    std::string netdir;
};

int usage_error(const std::string &text) {
    std::cerr << "zem-host: " << text << "\n";
    return kExitUsage;
}

// Merges the configuration file and the command line; empty on success.
std::string build_options(const CommandLine &cli, HostOptions &options) {
    if (!cli.config.empty()) {
        std::string error = load_config_file(cli.config, options);
        if (!error.empty()) return error;
    }
    if (!cli.listen.empty() && !cli.nats.empty()) return "--listen and --nats exclude each other";
    if (!cli.listen.empty()) {
        options.transport = TransportKind::tcp;
        options.tcp.listen = cli.listen;
    }
    if (options.transport == TransportKind::tcp) {
        std::string host;
        std::uint16_t port = 0;
        std::string error;
        if (!split_listen_address(options.tcp.listen, host, port, error)) return error;
    }
    if (!cli.nats.empty()) {
        options.transport = TransportKind::nats;
        options.nats.url = cli.nats;
    }
    if (cli.secure) options.secure = true;
    if (!cli.plugin.empty()) options.plugin = cli.plugin;
    if (options.plugin.empty()) options.plugin = ZEM_DEFAULT_PLUGIN;
    if (!cli.netdir.empty())
        options.attributes["netdir_path"] = std::filesystem::absolute(cli.netdir).string();
    if (cli.subject_given) options.attributes["zem_ps_subject"] = cli.subject;
    for (const auto &assignment : cli.attributes) {
        std::string error = apply_attribute_override(assignment, options);
        if (!error.empty()) return error;
    }
    if (!options.attributes.contains("qk_dat_dir")) options.attributes["qk_dat_dir"] = ZEM_DATA_DIR;
    if (std::string error = check_attributes(options.attributes); !error.empty()) return error;
    // The directory is made only once the settings are known to be good.
    if (!cli.netdir.empty()) {
        std::error_code ec;
        std::filesystem::create_directories(cli.netdir, ec);
        if (ec) return "cannot create the directory " + cli.netdir + ": " + ec.message();
    }
    return {};
}

// Waits for SIGINT or SIGTERM, which every thread blocks. Returns the
// signal, or 0 when the plug-in's threads all ended by themselves.
int wait_for_signal(const sigset_t &signals, HostThreads &threads) {
    const bool watch_threads = threads.running_count() > 0;
    const timespec poll{0, 200 * 1000 * 1000};
    for (;;) {
        siginfo_t info{};
        const int signal = sigtimedwait(&signals, &info, &poll);
        if (signal > 0) return signal;
        if (watch_threads && threads.running_count() == 0) return 0;
    }
}

// Ends the process without destructors or unloading: a plug-in thread is
// still running and could touch anything torn down.
[[noreturn]] void abandon(const std::string &why) {
    log_error(why);
    std::fflush(stderr);
    _exit(kExitFailure);
}

int serve(const HostOptions &options) {
    HostTable table(options.attributes, options.secure);
    std::unique_ptr<Transport> transport;
    NatsTransport *nats = nullptr;
    if (options.transport == TransportKind::nats) {
        auto owned = std::make_unique<NatsTransport>(options.nats, table);
        nats = owned.get();
        transport = std::move(owned);
    } else {
        transport = std::make_unique<TcpTransport>(options.tcp, table);
    }
    table.attach(*transport);

    struct Cleanup {
        Transport *transport;
        bool nats;
        ~Cleanup() {
            transport->close();
            if (nats) nats_shutdown();
        }
    } cleanup{transport.get(), nats != nullptr};

    if (std::string error = transport->open(); !error.empty()) {
        log_error(error);
        return kExitFailure;
    }
    const std::string fit =
        nats ? check_chunk_fits(options.attributes, nats->max_payload(), "NATS server's max_payload")
             : check_chunk_fits(options.attributes, zem::tcp::kMaxFrame - 3 - 255, "TCP frame limit");
    if (!fit.empty()) {
        log_error(fit);
        return kExitUsage;
    }

    std::string error;
    const auto plugin = PluginLibrary::open(options.plugin, error);
    if (!plugin) {
        log_error(error);
        return kExitFailure;
    }
    const service_descriptor *service = plugin->entry()(table.handle(), table.api());
    if (!service || !service->init || !service->term || !service->start || !service->stop) {
        log_error("the plug-in " + options.plugin +
                  " returned no service descriptor or one without init, term, start and stop");
        return kExitFailure;
    }
    const std::string name = service->name ? service->name : "unnamed service";
    log_info("loaded " + name + " from " + options.plugin);

    auto failure = [&table](const char *step) {
        std::string reason = table.take_last_error();
        if (reason.empty()) reason = "the plug-in reported no reason";
        log_error(std::string(step) + " failed: " + reason);
    };
    table.take_last_error();
    if (service->init() != 0) {
        failure("init");
        service->term();
        return kExitFailure;
    }
    if (service->start() != 0) {
        failure("start");
        if (table.threads().running_count() > 0)
            abandon("the service thread is still running; exiting without term");
        service->term();
        return kExitFailure;
    }
    log_info("service started (" + transport->describe() + ")");

    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    const int signal = wait_for_signal(signals, table.threads());
    if (signal != 0) {
        log_info(std::string(signal == SIGINT ? "SIGINT" : "SIGTERM") + " received: stopping");
    } else {
        log_error("the service thread ended by itself: stopping");
    }

    // stop runs on this thread, the one that called start.
    service->stop();
    if (!table.threads().join_all(kThreadEndTimeout))
        abandon("the service thread did not end after stop; exiting without term");
    service->term();
    log_info("stopped");
    return signal != 0 ? 0 : kExitFailure;
}

} // namespace

int main(int argc, char **argv) {
    // Every thread inherits this mask; the main thread takes the signals
    // with sigtimedwait.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    CLI::App app("zem-host: runs the zem file-transfer service plug-in and carries its "
                 "channels over TCP (default) or NATS.",
                 "zem-host");
    CommandLine cli;
    app.add_option("--config", cli.config,
                   "INI file with [attributes] (plug-in attributes) and [host] (host settings)")
        ->type_name("FILE");
    app.add_option("--listen", cli.listen,
                   "serve over TCP on this address (default 127.0.0.1:" +
                       std::to_string(zem::tcp::kDefaultPort) + ")")
        ->type_name("HOST:PORT");
    app.add_option("--nats", cli.nats,
                   "serve over NATS through this server (several URLs: comma-separated)")
        ->type_name("URL");
    app.add_option("--subject", cli.subject,
                   "set zem_ps_subject: channels become subjects CHANNEL_S")
        ->type_name("S");
    app.add_flag("--secure", cli.secure,
                 "secure mode: requests stay within the secure directories");
    app.add_option("--plugin", cli.plugin,
                   std::string("plug-in library to load (default ") + ZEM_DEFAULT_PLUGIN + ")")
        ->type_name("PATH");
    app.add_option("--attr", cli.attributes,
                   "set a plug-in attribute, overriding the configuration; repeatable")
        ->type_name("NAME=VALUE")
        ->allow_extra_args(false);
    app.add_option("DIR", cli.netdir,
                   "set netdir_path, the base directory of request paths (created if missing)");
    app.footer(kHelpFooter);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        return app.exit(e) == 0 ? 0 : kExitUsage;
    }
    cli.subject_given = app.count("--subject") > 0;

    HostOptions options;
    if (std::string error = build_options(cli, options); !error.empty()) return usage_error(error);
    try {
        return serve(options);
    } catch (const std::exception &e) {
        log_error(std::string("zem-host failed: ") + e.what());
        return kExitFailure;
    }
}
