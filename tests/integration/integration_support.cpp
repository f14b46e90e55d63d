#include "integration_support.h"

#include "loopback.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

namespace zem::integration {

namespace {

constexpr std::size_t kBlock = 1 << 20;

// A process-wide counter that keeps the names of output files apart.
int next_serial() {
    static int serial = 0;
    return ++serial;
}

} // namespace

std::string transport_name(Transport transport) { return transport == Transport::tcp ? "tcp" : "nats"; }

Host::Host(const fs::path &workdir, HostSettings settings) : settings_(std::move(settings)) {
    const int serial = next_serial();
    std::vector<std::string> args = {"--plugin", ZEM_PLUGIN, "--attr", std::string("qk_dat_dir=") + ZEM_CONF_DIR};
    if (settings_.buffer_size > 0)
        args.insert(args.end(), {"--attr", "zem_buffer_size=" + std::to_string(settings_.buffer_size)});
    if (settings_.window > 0)
        args.insert(args.end(), {"--attr", "zem_window_size=" + std::to_string(settings_.window)});
    if (!settings_.subject.empty()) args.insert(args.end(), {"--subject", settings_.subject});
    if (settings_.secure) args.push_back("--secure");
    for (const auto &attribute : settings_.attributes) args.insert(args.end(), {"--attr", attribute});
    if (!settings_.host_section.empty()) {
        const fs::path config = workdir / ("host-" + std::to_string(serial) + ".ini");
        write_file(config, "[host]\n" + settings_.host_section);
        args.insert(args.end(), {"--config", config.string()});
    }
    args.push_back(settings_.netdir.string());

    for (int attempt = 0; attempt < 5; ++attempt) {
        std::vector<std::string> run_args = args;
        if (settings_.transport == Transport::tcp) {
            const std::string port = std::to_string(test_support::free_loopback_port());
            run_args.insert(run_args.begin(), {"--listen", "127.0.0.1:" + port});
            url_ = "tcp://127.0.0.1:" + port;
        } else {
            run_args.insert(run_args.begin(), {"--nats", settings_.nats_url});
            url_ = settings_.nats_url;
        }
        process_ = std::make_unique<ChildProcess>(
            ZEM_HOST_BINARY, run_args,
            workdir / ("host-" + std::to_string(serial) + "-" + std::to_string(attempt) + ".log"),
            settings_.env);
        started_ = process_->wait_for_output("service started", 30s);
        if (started_) return;
        // Another process may have taken the port between the probe and the bind.
        if (settings_.transport == Transport::nats || process_->output().find("in use") == std::string::npos) break;
        process_->stop();
    }
    ADD_FAILURE() << "zem-host did not start:\n" << process_->output();
}

Host::~Host() {
    if (process_->running()) process_->stop();
    expect_no_sanitizer_report("zem-host", process_->output());
}

std::vector<std::string> Host::zem_options() const {
    std::vector<std::string> options = {"--url", url_};
    if (!settings_.subject.empty()) options.insert(options.end(), {"--subject", settings_.subject});
    if (settings_.buffer_size > 0)
        options.insert(options.end(), {"--buffer-size", std::to_string(settings_.buffer_size)});
    return options;
}

std::uint16_t Host::port() const {
    if (settings_.transport != Transport::tcp) return 0;
    return static_cast<std::uint16_t>(std::stoi(url_.substr(url_.rfind(':') + 1)));
}

std::optional<int> Host::terminate(std::chrono::milliseconds grace) {
    process_->signal(SIGTERM);
    return process_->wait_exit(grace);
}

Deployment::Deployment(Transport transport, HostSettings settings) {
    settings.transport = transport;
    if (transport == Transport::nats) {
        nats_ = std::make_unique<NatsServer>(scratch_.path());
        if (!nats_->ready()) {
            ADD_FAILURE() << "nats-server did not start";
            return;
        }
        settings.nats_url = nats_->url();
    }
    if (settings.netdir.empty()) settings.netdir = scratch_ / "net";
    host_ = std::make_unique<Host>(scratch_.path(), std::move(settings));
}

std::vector<std::string> Deployment::zem(const std::vector<std::string> &more, int timeout) const {
    return join(join(host_->zem_options(), {"--timeout", std::to_string(timeout)}), more);
}

std::string transport_param_name(const ::testing::TestParamInfo<Transport> &info) {
    return transport_name(info.param);
}

ZemRun run_zem(const std::vector<std::string> &args, std::chrono::seconds limit) {
    ScratchDir scratch;
    const fs::path out = scratch / "out", err = scratch / "err";
    ZemRun run;
    const auto started = std::chrono::steady_clock::now();
    ChildProcess zem(ZEM_BINARY, args, out, {}, err);
    if (const auto status = zem.wait_exit(limit)) {
        run.status = *status;
    } else {
        zem.kill();
        ADD_FAILURE() << "zem did not end within " << limit.count() << " s: zem";
        for (const auto &arg : args) ADD_FAILURE() << "  argument: " << arg;
    }
    run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    run.out = read_file(out);
    run.err = read_file(err);
    expect_no_sanitizer_report("zem", run.err);
    return run;
}

std::unique_ptr<ChildProcess> start_zem(const std::vector<std::string> &args, const fs::path &output) {
    return std::make_unique<ChildProcess>(ZEM_BINARY, args, output);
}

std::vector<std::string> join(std::vector<std::string> base, const std::vector<std::string> &more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

std::string compare_files(const fs::path &a, const fs::path &b) {
    std::error_code ec_a, ec_b;
    const auto size_a = fs::file_size(a, ec_a), size_b = fs::file_size(b, ec_b);
    if (ec_a) return a.string() + ": " + ec_a.message();
    if (ec_b) return b.string() + ": " + ec_b.message();
    if (size_a != size_b)
        return a.string() + " has " + std::to_string(size_a) + " bytes, " + b.string() + " has " +
               std::to_string(size_b);
    std::ifstream in_a(a, std::ios::binary), in_b(b, std::ios::binary);
    std::vector<char> block_a(kBlock), block_b(kBlock);
    for (std::uint64_t offset = 0; offset < size_a;) {
        in_a.read(block_a.data(), static_cast<std::streamsize>(block_a.size()));
        in_b.read(block_b.data(), static_cast<std::streamsize>(block_b.size()));
        const auto got = static_cast<std::size_t>(in_a.gcount());
        if (got == 0 || static_cast<std::size_t>(in_b.gcount()) != got) return "cannot read " + a.string();
        if (std::memcmp(block_a.data(), block_b.data(), got) != 0) {
            std::size_t i = 0;
            while (block_a[i] == block_b[i]) ++i;
            return a.string() + " and " + b.string() + " differ at byte " + std::to_string(offset + i);
        }
        offset += got;
    }
    return {};
}

void copy_range(const fs::path &from, const fs::path &to, std::uint64_t offset, std::uint64_t size) {
    std::ifstream in(from, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    std::ofstream out(to, std::ios::binary | std::ios::trunc);
    std::vector<char> block(kBlock);
    for (std::uint64_t done = 0; done < size;) {
        const auto piece = static_cast<std::streamsize>(std::min<std::uint64_t>(block.size(), size - done));
        in.read(block.data(), piece);
        out.write(block.data(), in.gcount());
        if (in.gcount() != piece) throw std::runtime_error(from.string() + " is shorter than the range");
        done += static_cast<std::uint64_t>(piece);
    }
}

long long size_of(const fs::path &path) {
    std::error_code ec;
    const auto size = fs::file_size(path, ec);
    return ec ? -1 : static_cast<long long>(size);
}

bool wait_until(const std::function<bool()> &ready, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (ready()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(1ms);
    }
}

TreeSummary make_tree(const fs::path &root, std::size_t files, std::uint64_t seed) {
    TreeSummary summary;
    fs::create_directories(root / "empty" / "also empty");
    const char *const names[] = {"plain", "with space", "ünïcödé", "dots.in.name", "-dash"};
    for (std::size_t i = 0; i < files; ++i) {
        // Up to 50 files a directory, two levels deep.
        const fs::path dir = root / ("d" + std::to_string(i / 2500)) / ("e" + std::to_string(i / 50 % 50));
        if (i % 50 == 0) fs::create_directories(dir);
        const std::uint64_t r = test_support::splitmix64(seed + i);
        std::size_t size = 0;
        switch (i % 10) {
        case 0: size = 0; break;
        case 1: size = 512; break;                               // one tar block exactly
        case 2: size = 7168; break;                              // the default chunk exactly
        case 3: size = 1 + r % 100; break;
        default: size = r % 6000; break;
        }
        if (i % 997 == 5) size = 1536 * 1024 + r % 4096;         // a few large files
        write_file(dir / (std::string(names[i % 5]) + "-" + std::to_string(i) + ".bin"), test_support::pattern(size, r));
        summary.files += 1;
        summary.bytes += size;
    }
    return summary;
}

std::string compare_trees(const fs::path &a, const fs::path &b) {
    // Relative path -> "d" for a directory, "f<size>" for a regular file.
    auto scan = [](const fs::path &root, std::map<std::string, std::string> &entries) -> std::string {
        std::error_code ec;
        for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::recursive_directory_iterator();
             it.increment(ec)) {
            const std::string name = fs::relative(it->path(), root).string();
            if (it->is_symlink()) entries[name] = "l";
            else if (it->is_directory()) entries[name] = "d";
            else if (it->is_regular_file()) entries[name] = "f" + std::to_string(it->file_size());
            else entries[name] = "?";
        }
        return ec ? root.string() + ": " + ec.message() : std::string();
    };
    std::map<std::string, std::string> entries_a, entries_b;
    if (std::string error = scan(a, entries_a); !error.empty()) return error;
    if (std::string error = scan(b, entries_b); !error.empty()) return error;
    std::string differences;
    int shown = 0;
    auto note = [&](const std::string &text) {
        if (++shown <= 10) differences += text + "\n";
    };
    for (const auto &[name, kind] : entries_a) {
        const auto other = entries_b.find(name);
        if (other == entries_b.end()) note("only in " + a.string() + ": " + name);
        else if (other->second != kind) note(name + ": " + kind + " against " + other->second);
        else if (kind[0] == 'f') {
            if (std::string diff = compare_files(a / name, b / name); !diff.empty()) note(diff);
        }
    }
    for (const auto &[name, kind] : entries_b)
        if (!entries_a.contains(name)) note("only in " + b.string() + ": " + name);
    if (shown > 10) differences += std::to_string(shown - 10) + " more differences\n";
    return differences;
}

std::vector<std::string> list_dir(const fs::path &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

long memory_kib(pid_t pid, const std::string &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    const std::string prefix = field + ":";
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(prefix, 0) == 0) return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
    return -1;
}

} // namespace zem::integration
