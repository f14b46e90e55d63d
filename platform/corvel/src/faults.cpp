// Test switches: a fixed free-space answer, and os_make_path failures with a
// chosen errno. Both may be armed and consulted from any thread.
#include "internal.h"

#include <atomic>

namespace {

std::atomic<bool> free_space_overridden{false};
std::atomic<uint64_t> free_space_value{0};
std::atomic<int> make_path_failures{0};
std::atomic<int> make_path_errno{0};

}  // namespace

namespace corvel {

std::optional<uint64_t> free_space_override()
{
    if (!free_space_overridden.load()) {
        return std::nullopt;
    }
    return free_space_value.load();
}

std::optional<int> take_make_path_failure()
{
    int left = make_path_failures.load();
    while (left > 0) {
        if (make_path_failures.compare_exchange_weak(left, left - 1)) {
            return make_path_errno.load();
        }
    }
    return std::nullopt;
}

}  // namespace corvel

extern "C" {

void corvel_override_free_space(uint64_t bytes)
{
    free_space_value.store(bytes);
    free_space_overridden.store(true);
}

void corvel_fail_make_path(int count, int error)
{
    make_path_failures.store(0);
    make_path_errno.store(error);
    make_path_failures.store(count > 0 ? count : 0);
}

void corvel_clear_faults(void)
{
    free_space_overridden.store(false);
    make_path_failures.store(0);
}

}  // extern "C"
