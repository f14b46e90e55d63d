// Programs that tests start: a child process owned by the test, and shell
// commands run to their end.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zem::test_support {

// A child process with standard input from /dev/null and standard output
// and error in files. The object owns the process: its destructor ends one
// that still runs (stop(), or SIGKILL after kill_when_destroyed()) and reaps
// it. Exit statuses are the program's, or 128 + the signal that ended it.
class ChildProcess {
public:
    // Standard error goes to `error`, or to `output` when `error` is empty.
    // `env` holds NAME=VALUE entries that replace or extend the test's
    // environment; a bare NAME removes that variable. Throws
    // std::runtime_error when the program cannot be started.
    ChildProcess(const std::string &program, const std::vector<std::string> &args,
                 std::filesystem::path output, const std::vector<std::string> &env = {},
                 std::filesystem::path error = {});
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // The destructor sends SIGKILL at once rather than stopping the process.
    void kill_when_destroyed() { kill_when_destroyed_ = true; }
    // The destructor fails the current test when the output holds a
    // sanitizer report; `who` names the program in the failure.
    void watch_for_sanitizer_reports(std::string who) { watched_as_ = std::move(who); }

    pid_t pid() const { return pid_; }
    bool running();
    // The exit status when the process ends within timeout, or nullopt.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout);
    // Waits for the end, however long it takes. The exit status.
    int wait();
    // Sends a signal while the process runs.
    void signal(int number);
    // SIGTERM, up to `grace` for the exit, then SIGKILL. The exit status.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(5));
    // SIGKILL and the exit status.
    int kill();

    // What the process wrote to `output` so far.
    std::string output() const;
    // True once `text` appears in the output within timeout; false when it
    // does not or the process ends first.
    bool wait_for_output(const std::string &text, std::chrono::milliseconds timeout);

private:
    pid_t pid_ = -1;
    std::optional<int> status_;
    std::filesystem::path output_;
    bool kill_when_destroyed_ = false;
    std::string watched_as_;
};

// Fails the current test when a sanitizer reported a fault in `text`.
void expect_no_sanitizer_report(const std::string &who, const std::string &text);

// Runs a command through /bin/sh; its exit status (-1 when it could not run
// or did not exit). With `output`, what it wrote to standard output.
int run_shell(const std::string &command, std::string *output = nullptr);

// `text` in single quotes for /bin/sh.
std::string shell_quote(const std::string &text);

} // namespace zem::test_support
