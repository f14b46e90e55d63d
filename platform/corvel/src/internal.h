// Helpers shared by the corvel sources; not exported.
#ifndef CORVEL_INTERNAL_H
#define CORVEL_INTERNAL_H

#include "corvel.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace corvel {

// The status that stands for an errno value: access refusals, a missing
// path (when missing_means_not_found), or any other failure.
os_status status_of_errno(int error, bool missing_means_not_found);

// Copies text with its NUL into buffer; OS_STATUS_TOO_LONG (and an empty
// buffer when it has room for one) when it does not fit.
os_status copy_out(std::string_view text, char *buffer, size_t size);

// The directory part of path as dirname(3) gives it, without touching path.
std::string dir_name(std::string_view path);

// The armed test faults, each taken once per call that consults it.
std::optional<uint64_t> free_space_override();
// The errno the next os_make_path must fail with, if one is armed.
std::optional<int> take_make_path_failure();

}  // namespace corvel

#endif
