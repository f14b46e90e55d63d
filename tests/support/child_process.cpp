#include "child_process.h"

#include "file_contents.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <stdexcept>
#include <thread>

extern char **environ;

namespace zem::test_support {

namespace {

int exit_status(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

// The test's environment with `changes` applied (see the constructor).
std::vector<std::string> changed_environment(const std::vector<std::string> &changes) {
    std::map<std::string, std::string> entries;
    for (char **e = environ; *e; ++e) {
        const std::string entry = *e;
        entries[entry.substr(0, entry.find('='))] = entry;
    }
    for (const auto &change : changes) {
        const auto equals = change.find('=');
        if (equals == std::string::npos) entries.erase(change);
        else entries[change.substr(0, equals)] = change;
    }
    std::vector<std::string> result;
    for (auto &[name, entry] : entries) result.push_back(entry);
    return result;
}

} // namespace

ChildProcess::ChildProcess(const std::string &program, const std::vector<std::string> &args,
                           std::filesystem::path output, const std::vector<std::string> &env,
                           std::filesystem::path error)
    : output_(std::move(output)) {
    std::vector<std::string> strings = args;
    strings.insert(strings.begin(), program);
    std::vector<char *> argv;
    for (auto &arg : strings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_strings = changed_environment(env);
    std::vector<char *> envp;
    for (auto &entry : env_strings) envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (error.empty())
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
    else
        posix_spawn_file_actions_addopen(&actions, 2, error.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int failure = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (failure != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(failure));
}

ChildProcess::~ChildProcess() {
    if (running()) {
        if (kill_when_destroyed_) kill();
        else stop();
    }
    if (!watched_as_.empty()) expect_no_sanitizer_report(watched_as_, output());
}

bool ChildProcess::running() {
    if (status_) return false;
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) == pid_) status_ = exit_status(status);
    return !status_;
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (running()) {
        if (std::chrono::steady_clock::now() > deadline) return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return status_;
}

int ChildProcess::wait() {
    if (!status_) {
        int status = 0;
        status_ = waitpid(pid_, &status, 0) == pid_ ? exit_status(status) : -1;
    }
    return *status_;
}

void ChildProcess::signal(int number) {
    if (running()) ::kill(pid_, number);
}

int ChildProcess::stop(std::chrono::milliseconds grace) {
    signal(SIGCONT); // a stopped process cannot act on SIGTERM
    signal(SIGTERM);
    if (!wait_exit(grace)) return kill();
    return *status_;
}

int ChildProcess::kill() {
    signal(SIGKILL);
    return wait();
}

std::string ChildProcess::output() const { return read_file(output_); }

bool ChildProcess::wait_for_output(const std::string &text, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (output().find(text) != std::string::npos) return true;
        if (!running() || std::chrono::steady_clock::now() > deadline)
            return output().find(text) != std::string::npos;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void expect_no_sanitizer_report(const std::string &who, const std::string &text) {
    for (const char *marker : {"Sanitizer", "runtime error:"})
        if (text.find(marker) != std::string::npos) ADD_FAILURE() << who << " reported a fault:\n" << text;
}

int run_shell(const std::string &command, std::string *output) {
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    char buffer[4096];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
        if (output) output->append(buffer, got);
    const int status = pclose(pipe);
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string shell_quote(const std::string &text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\'') quoted += "'\\''";
        else quoted += c;
    }
    return quoted + "'";
}

} // namespace zem::test_support
