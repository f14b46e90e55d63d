#include "client/progress.h"

#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

namespace zem {
namespace {

int terminal_width(int fd) {
    winsize ws{};
    if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
    return 80;
}

std::string format_duration(double seconds) {
    const long s = static_cast<long>(seconds + 0.5);
    char text[32];
    if (s >= 3600)
        std::snprintf(text, sizeof text, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(text, sizeof text, "%ld:%02ld", s / 60, s % 60);
    return text;
}

} // namespace

ProgressBar::ProgressBar(std::string label, int fd)
    : label_(std::move(label)), fd_(fd), active_(::isatty(fd) == 1), start_(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() { finish(); }

std::string ProgressBar::format_bytes(double bytes) {
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    int unit = 0;
    while (bytes >= 1024 && unit < 5) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    if (unit == 0)
        std::snprintf(text, sizeof text, "%.0f B", bytes);
    else
        std::snprintf(text, sizeof text, "%.1f %s", bytes, units[unit]);
    return text;
}

std::string ProgressBar::format(const std::string &label, std::uint64_t done, std::uint64_t total,
                                double seconds, int width) {
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    std::string numbers = format_bytes(static_cast<double>(done));
    if (total > 0) {
        char percent[16];
        const double fraction = done >= total ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
        std::snprintf(percent, sizeof percent, " %3d%%", static_cast<int>(fraction * 100));
        numbers += " / " + format_bytes(static_cast<double>(total)) + percent;
    }
    numbers += "  " + format_bytes(rate) + "/s";
    if (total > 0 && done < total && rate > 0)
        numbers += "  " + format_duration(static_cast<double>(total - done) / rate) + " left";
    else if (total > 0 && done >= total)
        numbers += "  " + format_duration(seconds);

    // The bar has a fixed width for a given line width, whatever the numbers
    // say, so that it does not jump while they change length.
    constexpr int kNumbersRoom = 58; // "1023.9 MiB / 1023.9 MiB 100%  1023.9 MiB/s  99:59 left"
    std::string line = label + " ";
    int bar = width - 1 - static_cast<int>(line.size()) - 3 - kNumbersRoom;
    if (bar > 30) bar = 30;
    if (total > 0 && bar >= 10) {
        const double fraction = done >= total ? 1.0 : static_cast<double>(done) / static_cast<double>(total);
        const int filled = static_cast<int>(fraction * bar);
        line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
                std::string(static_cast<std::size_t>(bar - filled), ' ') + "] ";
    }
    line += numbers;
    if (static_cast<int>(line.size()) > width - 1) line.resize(static_cast<std::size_t>(width > 1 ? width - 1 : 0));
    return line;
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
    if (!active_) return;
    last_done_ = done;
    last_total_ = total;
    const auto now = std::chrono::steady_clock::now();
    const bool complete = total > 0 && done >= total;
    if (drawn_ && !complete && now - last_draw_ < std::chrono::milliseconds(100)) return;
    last_draw_ = now;
    draw(done, total);
}

void ProgressBar::draw(std::uint64_t done, std::uint64_t total) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const int width = terminal_width(fd_);
    std::string line = format(label_, done, total, seconds, width);
    // Clear what a longer earlier line left behind.
    line = "\r" + line + "\x1b[K";
    ssize_t ignored = ::write(fd_, line.data(), line.size());
    (void)ignored;
    drawn_ = true;
    drawn_done_ = done;
    drawn_total_ = total;
}

void ProgressBar::finish() {
    if (!active_ || !drawn_) return;
    if (last_done_ != drawn_done_ || last_total_ != drawn_total_) draw(last_done_, last_total_);
    ssize_t ignored = ::write(fd_, "\n", 1);
    (void)ignored;
    drawn_ = false;
    active_ = false;
}

} // namespace zem
