#include "host_log.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

namespace zem::host {

namespace {

std::mutex g_log_mutex;

std::string timestamp() {
    const auto now = std::chrono::system_clock::now();
    const auto since_epoch = now.time_since_epoch();
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(since_epoch - seconds).count();
    const std::time_t t = static_cast<std::time_t>(seconds.count());
    std::tm local{};
    localtime_r(&t, &local);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local);
    std::snprintf(text + n, sizeof text - n, ".%03d", static_cast<int>(millis));
    return text;
}

} // namespace

void log_line(std::string_view severity, std::string_view text) {
    std::string line = timestamp();
    line += ' ';
    line += severity;
    line += ' ';
    line += text;
    line += '\n';
    const std::lock_guard lock(g_log_mutex);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace zem::host
