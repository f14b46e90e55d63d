// Helpers of the integration tests: the real zem-host and zem processes in
// directories of their own, deterministic trees, and comparisons of files
// and trees. Processes, scratch directories, nats-server and test data come
// from the shared test support.
#pragma once

#include "child_process.h"
#include "file_contents.h"
#include "nats_server.h"
#include "scratch_dir.h"
#include "test_data.h"

#include <gtest/gtest.h>

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zem::integration {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using test_support::ChildProcess;
using test_support::expect_no_sanitizer_report;
using test_support::NatsServer;
using test_support::read_file;
using test_support::ScratchDir;
using test_support::write_file;
using test_support::write_pattern_file;

enum class Transport { tcp, nats };
std::string transport_name(Transport transport);

struct HostSettings {
    Transport transport = Transport::tcp;
    std::string nats_url;       // for Transport::nats
    std::string subject;        // zem_ps_subject; empty for none
    fs::path netdir;            // required
    int buffer_size = 0;        // zem_buffer_size; 0 leaves the plug-in's default
    int window = 0;             // zem_window_size; 0 leaves the plug-in's default
    bool secure = false;
    std::vector<std::string> attributes;      // further NAME=VALUE attributes
    std::string host_section;                 // lines of a [host] section in a configuration file
    std::vector<std::string> env;             // NAME=VALUE for the host's environment
};

// zem-host from the build tree with the zem_svc plug-in, started and ready
// to serve. The destructor stops it and fails the test on a sanitizer report.
class Host {
public:
    Host(const fs::path &workdir, HostSettings settings);
    ~Host();
    Host(const Host &) = delete;
    Host &operator=(const Host &) = delete;

    bool started() const { return started_; }
    ChildProcess &process() { return *process_; }
    pid_t pid() const { return process_->pid(); }
    std::string output() const { return process_->output(); }
    const HostSettings &settings() const { return settings_; }
    const std::string &url() const { return url_; }
    // The TCP port the host listens on (0 over NATS).
    std::uint16_t port() const;
    // The global options that make zem talk to this host.
    std::vector<std::string> zem_options() const;
    // SIGTERM and the exit status within `grace` (nullopt when it did not end).
    std::optional<int> terminate(std::chrono::milliseconds grace);

private:
    HostSettings settings_;
    std::string url_;
    bool started_ = false;
    std::unique_ptr<ChildProcess> process_;
};

// A scratch directory with a started host, and the NATS server it uses when
// the transport is NATS. The host's base directory is dir()/"net" unless the
// settings name another.
class Deployment {
public:
    explicit Deployment(Transport transport, HostSettings settings = {});
    bool ready() const { return host_ && host_->started(); }
    const fs::path &dir() const { return scratch_.path(); }
    fs::path operator/(const std::string &name) const { return scratch_ / name; }
    fs::path net() const { return host_->settings().netdir; }
    Host &host() { return *host_; }
    const NatsServer *nats() const { return nats_.get(); }
    // zem's options for this host with `--timeout timeout`, then `more`.
    std::vector<std::string> zem(const std::vector<std::string> &more, int timeout = 15) const;

private:
    ScratchDir scratch_;
    std::unique_ptr<NatsServer> nats_;
    std::unique_ptr<Host> host_;
};

std::string transport_param_name(const ::testing::TestParamInfo<Transport> &info);

// One run of the zem tool from the build tree.
struct ZemRun {
    int status = -1; // exit status; -1 when it had to be killed
    std::string out;
    std::string err;
    double seconds = 0;
};

// Runs zem with `args` and waits at most `limit`; a run that takes longer is
// killed and fails the test.
ZemRun run_zem(const std::vector<std::string> &args, std::chrono::seconds limit = 60s);

// Starts zem in the background; its standard error and output go to `output`.
std::unique_ptr<ChildProcess> start_zem(const std::vector<std::string> &args, const fs::path &output);

// The arguments `base` followed by `more`.
std::vector<std::string> join(std::vector<std::string> base, const std::vector<std::string> &more);

// Empty when both files hold the same bytes; else where they differ.
std::string compare_files(const fs::path &a, const fs::path &b);

// `size` bytes of `from` from byte `offset` on, copied to `to`.
void copy_range(const fs::path &from, const fs::path &to, std::uint64_t offset, std::uint64_t size);

// The size of a file, or -1 when it does not exist.
long long size_of(const fs::path &path);

// Waits up to `timeout` for `ready` to hold, checking every millisecond.
bool wait_until(const std::function<bool()> &ready, std::chrono::milliseconds timeout);

// A deterministic tree of `files` files of mixed sizes (empty, odd, whole
// multiples of the tar block, a few large ones), nested directories, empty
// directories and names with spaces and non-ASCII letters.
struct TreeSummary {
    std::size_t files = 0;
    std::uint64_t bytes = 0;
};
TreeSummary make_tree(const fs::path &root, std::size_t files, std::uint64_t seed);

// Empty when both trees hold the same directories and files with the same
// bytes; else the first differences found.
std::string compare_trees(const fs::path &a, const fs::path &b);

// The names of the entries directly inside `dir`, sorted.
std::vector<std::string> list_dir(const fs::path &dir);

// A memory figure of a process in KiB from /proc/PID/status ("VmRSS" for
// the resident memory, "VmHWM" for its peak), or -1.
long memory_kib(pid_t pid, const std::string &field);

} // namespace zem::integration
