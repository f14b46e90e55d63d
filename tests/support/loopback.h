// Loopback ports for the servers that tests start.
#pragma once

#include <cstdint>

namespace zem::test_support {

// A loopback port that was free a moment ago. Another process may take it
// before the test binds it: servers started on it retry with another port
// when it is in use. Throws std::runtime_error when no port can be found.
std::uint16_t free_loopback_port();

} // namespace zem::test_support
