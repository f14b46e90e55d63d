// A single-line progress bar for transfers: bytes, rate and time left. It
// draws only when its stream is a terminal and stays silent otherwise.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace zem {

class ProgressBar {
public:
    // Draws on file descriptor `fd` (standard error by default) when it is a
    // terminal; `label` names the transfer.
    explicit ProgressBar(std::string label, int fd = 2);
    ~ProgressBar();
    ProgressBar(const ProgressBar &) = delete;
    ProgressBar &operator=(const ProgressBar &) = delete;

    bool active() const { return active_; }
    // Redraws at most ten times a second, and always when done reaches total.
    void update(std::uint64_t done, std::uint64_t total);
    // Ends the line; a bar that was drawn stays visible.
    void finish();

    // One line of at most `width` columns for these numbers (total 0:
    // unknown), after `seconds` of transfer.
    static std::string format(const std::string &label, std::uint64_t done, std::uint64_t total,
                              double seconds, int width);
    // "512 B", "1.5 KiB", "12.0 MiB", ...
    static std::string format_bytes(double bytes);

private:
    void draw(std::uint64_t done, std::uint64_t total);

    std::string label_;
    int fd_;
    bool active_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_draw_;
    std::uint64_t last_done_ = 0, last_total_ = 0;   // the latest update
    std::uint64_t drawn_done_ = 0, drawn_total_ = 0; // what the line shows
};

} // namespace zem
