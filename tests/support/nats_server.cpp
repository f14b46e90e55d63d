#include "nats_server.h"

#include "loopback.h"

namespace zem::test_support {

NatsServer::NatsServer(const std::filesystem::path &dir, const std::vector<std::string> &extra) {
    for (int attempt = 0; attempt < 5 && !ready_; ++attempt) {
        process_.reset(); // the log is rewritten by the next server
        port_ = free_loopback_port();
        std::vector<std::string> args = {"-a", "127.0.0.1", "-p", std::to_string(port_)};
        args.insert(args.end(), extra.begin(), extra.end());
        process_ = std::make_unique<ChildProcess>(kNatsServerProgram, args, dir / "nats-server.log");
        ready_ = process_->wait_for_output("Server is ready", std::chrono::seconds(10));
    }
}

} // namespace zem::test_support
