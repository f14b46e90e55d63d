// Feeds arbitrary bytes to the request and acknowledgement handlers of a
// service running in the test host. The first byte picks the handler (and
// now and then advances the clock); the rest is the message.
//
// The service runs in secure mode, confined to a scratch directory that is
// also its netdir_path and temporary directory, so no input can touch files
// outside it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "frame/service_factory.h"
#include "service/dispatch.h"
#include "test_host.h"
#include "zem/host_api.h"

namespace {

struct Harness {
    Harness()
    {
        namespace fs = std::filesystem;
        const fs::path root = fs::temp_directory_path() / ("zem-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(root / "net");
        fs::create_directories(root / "dat");
        ::setenv("TMPDIR", root.c_str(), 1);
        host.set_attrib("netdir_path", (root / "net").string());
        host.set_attrib("qk_dat_dir", (root / "dat").string());
        host.set_attrib("zem_buffer_size", "64");
        host.set_attrib("zem_window_size", "4");
        host.set_secure_mode(true);
        service_descriptor *descriptor = configure_zem_svc(host.handle(), host.api());
        if (descriptor->init() != 0) std::abort();
        host.post([this] { service = zem_service_create(); });
        if (!service) std::abort();
    }

    zem::test::TestHost host;
    CZemSvc *service = nullptr;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static Harness harness;
    if (size == 0) return 0;
    const uint8_t selector = data[0];
    ++data;
    --size;
    if (selector & 1)
        handle_ack(harness.service, data, static_cast<int>(size));
    else
        handle_request(harness.service, data, static_cast<int>(size));
    if ((selector & 0x30) == 0x30) harness.host.advance(selector & 0x40 ? 60000 : 10);
    // Keep what the host records bounded.
    harness.host.clear_sent();
    harness.host.clear_reports();
    return 0;
}
