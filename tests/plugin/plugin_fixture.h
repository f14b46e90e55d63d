// A plug-in loaded into the test host, with a scratch directory as its
// netdir_path and helpers that play the requester's part.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "file_contents.h"
#include "scratch_dir.h"
#include "test_data.h"
#include "test_host.h"
#include "wire/zem_request_data.h"
#include "zem/host_api.h"

namespace zem::test {

namespace fs = std::filesystem;

inline constexpr const char *kRequests = "ZemBrQkService";
inline constexpr const char *kAcks = "ZemBrQkAckSvc";
inline constexpr const char *kData = "ZemQkBrService";
inline constexpr const char *kReplies = "ZemQkBrAckSvc";

// A decoded message the service sent, with owned strings and data.
struct Message {
    int32_t request_id = 0, action = 0, flags = 0, offset = 0, length = 0, final = 0;
    uint64_t total_size = 0;
    std::string source, destination, net_dir;
    std::vector<uint8_t> data; // the first `length` bytes
    size_t wire_size = 0;
};

// A request the test sends.
struct Request {
    int32_t request_id = 1, action = 0, flags = 0, offset = 0, final = 0;
    std::string source, destination;
    std::vector<uint8_t> data;
    std::optional<int32_t> length; // defaults to data.size()
};

using test_support::pattern;
using test_support::read_file;
using test_support::write_file;

class PluginTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // configure, init (expected 0) and start (expected 0).
    void start_service();
    void stop_service();

    // Encodes with chunk size B (zem_buffer_size).
    Bytes encode(const Request &request) const;
    std::optional<int> send_request(const Request &request);
    std::optional<int> send_ack(int32_t request_id, int32_t action = 5 /* ZEM_ACK */, int32_t final = 0);

    // Decodes what was sent on a channel (and forgets it with take_*).
    std::vector<Message> messages(const std::string &channel) const;
    std::vector<Message> take(const std::string &channel);
    int buffer_size() const;

    // Stores content at remote (one chunk per B bytes) and expects final ack 1.
    void store_file(int32_t id, const std::string &remote, const std::string &content, int32_t flags = 0);
    // Retrieves with acknowledgements until the final chunk; the bytes.
    std::string retrieve_file(int32_t id, const std::string &remote, int32_t flags = 0, int32_t offset = 0);

    // The number of entries the service's request table holds.
    size_t table_size();

    TestHost host;
    test_support::ScratchDir scratch; // removed after TearDown
    fs::path root;   // scratch.path()
    fs::path netdir; // root / "net"
    service_descriptor *descriptor = nullptr;
    bool started = false;
    bool initialised = false;
};

} // namespace zem::test
