// A nats-server of the test's own on a free loopback port.
#pragma once

#include "child_process.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace zem::test_support {

inline constexpr const char *kNatsServerProgram = "/usr/sbin/nats-server";

// Starts /usr/sbin/nats-server on 127.0.0.1 with `extra` arguments and waits
// until it is ready, trying another port when one was taken meanwhile. Its
// log is `dir`/nats-server.log. The server is stopped by its process id when
// the object goes.
class NatsServer {
public:
    explicit NatsServer(const std::filesystem::path &dir, const std::vector<std::string> &extra = {});
    bool ready() const { return ready_; }
    std::string url() const { return "nats://127.0.0.1:" + std::to_string(port_); }

private:
    std::uint16_t port_ = 0;
    bool ready_ = false;
    std::unique_ptr<ChildProcess> process_;
};

} // namespace zem::test_support
