// zem: the command-line requester. A thin layer over zem::Requester.
#include "client/progress.h"
#include "client/requester.h"
#include "zem/tcp_frame.h"

#include <CLI/CLI.hpp>
#include <nats/nats.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <iostream>
#include <optional>
#include <sys/stat.h>

namespace {

std::atomic<bool> interrupted{false};

void on_signal(int) { interrupted.store(true); }

std::string exit_codes_text() {
    return "Exit status:\n"
           "  0    success\n"
           "  2    usage: bad options or arguments\n"
           "  3    not found: the source does not exist\n"
           "  4    no space: the destination's disk is full\n"
           "  5    refused or failed: the service or the local disk failed\n"
           "  6    timeout: no answer from the service\n"
           "  7    connection: the host cannot be reached, or the connection broke\n"
           "  130  interrupted\n"
           "\n"
           "The URL may also come from ZEM_URL. Without one, zem talks to zem-host\n"
           "on this machine (tcp://127.0.0.1:" +
           std::to_string(zem::tcp::kDefaultPort) + ").\n";
}

// A local path checked before the host is contacted, so that a typo fails
// at once and with its own exit status.
zem::Result check_local_source(const std::string &path, bool tree) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return zem::Result::error(zem::ErrorKind::not_found, path + ": no such file or directory");
    if (tree && !S_ISDIR(st.st_mode)) return zem::Result::error(zem::ErrorKind::usage, path + " is not a directory");
    if (!tree && S_ISDIR(st.st_mode))
        return zem::Result::error(zem::ErrorKind::usage, path + " is a directory (use -r for a tree)");
    return {};
}

} // namespace

int main(int argc, char **argv) {
    CLI::App app{"zem: store, retrieve, remove and measure files and trees through a zem host"};
    app.footer(exit_codes_text());
    app.require_subcommand(1);
    app.fallthrough();

    zem::RequesterOptions options;
    zem::TransferOptions transfer;
    double timeout_seconds = 30;
    bool recursive = false;
    std::string first, second;

    app.add_option("--url", options.url, "tcp://HOST:PORT (zem-host) or nats://[USER:PASS@]HOST:PORT")
        ->envname("ZEM_URL");
    app.add_option("--subject", options.subject, "the host's zem_ps_subject: channel names get \"_SUBJECT\"");
    app.add_option("--buffer-size", options.buffer_size, "chunk size in bytes; must equal the host's zem_buffer_size")
        ->check(CLI::Range(1, 16 * 1024 * 1024))
        ->capture_default_str();
    app.add_option("--window", options.window, "store chunks sent ahead of their acknowledgements")
        ->check(CLI::Range(1, 1 << 20))
        ->capture_default_str();
    app.add_option("--timeout", timeout_seconds, "seconds to wait for any answer of the service")
        ->check(CLI::Range(0.001, 86400.0))
        ->capture_default_str();
    app.add_flag("--quiet", transfer.quiet, "the host does not report a missing source; no progress bar");
    app.add_flag("--local", transfer.local_paths, "remote paths are the host's own paths, not mapped onto its base");
    app.add_flag("--temp-base", transfer.temp_base, "remote paths are mapped onto the host's temp directory");

    auto *put = app.add_subcommand("put", "store LOCAL on the host as REMOTE");
    put->add_flag("-r,--recursive", recursive, "LOCAL is a directory tree");
    put->add_flag("--append", transfer.append, "append to REMOTE instead of replacing it");
    auto *put_offset = put->add_option("--offset", transfer.offset, "send LOCAL from byte N on, appended to REMOTE");
    put->add_flag("--resume", transfer.resume, "append the part of LOCAL that REMOTE lacks")->excludes(put_offset);
    put->add_option("LOCAL", first, "local file or directory")->required();
    put->add_option("REMOTE", second, "path on the host")->required();

    auto *get = app.add_subcommand("get", "retrieve REMOTE from the host into LOCAL");
    get->add_flag("-r,--recursive", recursive, "REMOTE is a directory tree");
    get->add_flag("--append", transfer.append, "append to LOCAL instead of replacing it");
    auto *get_offset = get->add_option("--offset", transfer.offset, "receive REMOTE from byte N on");
    get->add_flag("--resume", transfer.resume, "append to LOCAL the part of REMOTE it lacks")->excludes(get_offset);
    get->add_flag("--gzl", transfer.gzl, "receive the gzip image of REMOTE that the host makes (REMOTE.gzl)");
    get->add_option("REMOTE", first, "path on the host")->required();
    get->add_option("LOCAL", second, "local file or directory")->required();

    auto *rm = app.add_subcommand("rm", "remove REMOTE on the host");
    rm->add_flag("-r,--recursive", recursive, "REMOTE is a directory tree");
    rm->add_option("REMOTE", first, "path on the host")->required();

    auto *du = app.add_subcommand("du", "print the bytes REMOTE occupies on the host");
    du->add_flag("-r,--recursive", recursive, "REMOTE is a directory tree (sum of its files)");
    du->add_option("REMOTE", first, "path on the host")->required();

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError &e) {
        const int code = app.exit(e);
        return code == 0 ? 0 : zem::exit_code(zem::ErrorKind::usage);
    }
    options.timeout = std::chrono::milliseconds(static_cast<long long>(timeout_seconds * 1000 + 0.5));
    options.cancel = &interrupted;

    auto report = [](const zem::Result &r) {
        if (!r) std::fprintf(stderr, "zem: %s\n", r.message.c_str());
        return zem::exit_code(r.kind);
    };
    if (recursive && (transfer.append || transfer.offset || transfer.resume || transfer.gzl))
        return report(zem::Result::error(zem::ErrorKind::usage,
                                         "-r moves a whole tree: --append, --offset, --resume and --gzl do not apply"));
    if (put->parsed()) {
        zem::Result local = check_local_source(first, recursive);
        if (!local) return report(local);
    }

    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    zem::Result result;
    {
        auto requester = zem::Requester::connect(options, result);
        if (!requester) return report(result);

        std::optional<zem::ProgressBar> bar;
        if ((put->parsed() || get->parsed()) && !transfer.quiet) {
            bar.emplace(put->parsed() ? first : (transfer.gzl ? first + ".gzl" : first));
            if (bar->active()) transfer.progress = [&](std::uint64_t done, std::uint64_t total) { bar->update(done, total); };
        }
        if (put->parsed()) {
            result = recursive ? requester->put_tree(first, second, transfer) : requester->put_file(first, second, transfer);
        } else if (get->parsed()) {
            result = recursive ? requester->get_tree(first, second, transfer) : requester->get_file(first, second, transfer);
        } else if (rm->parsed()) {
            result = requester->remove(first, recursive, transfer);
        } else {
            result = requester->disk_usage(first, recursive, transfer);
            if (result) std::printf("%llu\t%s\n", static_cast<unsigned long long>(result.total_size), first.c_str());
        }
        if (bar) bar->finish();
    }
    if (options.url.rfind("nats://", 0) == 0 || options.url.rfind("tls://", 0) == 0) nats_Close();
    return report(result);
}
