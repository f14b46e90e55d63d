// Handles the host gives the plug-in: unique across every kind, never 0.
#pragma once

#include "zem/host_api.h"

#include <atomic>

namespace zem::host {

inline zem_handle next_handle() {
    static std::atomic<zem_handle> last{0};
    return ++last;
}

} // namespace zem::host
