// zem::Requester: the requester side of the zem protocol. It stores,
// retrieves, removes and measures files and trees through a running
// zem-host, one operation at a time.
//
// Every operation uses a request id of its own. A store keeps at most
// `window` chunks unacknowledged and fails on the first negative
// acknowledgement; a retrieve acknowledges every data chunk, checks the bytes
// received against the size the host announced, and shows its file under the
// final name only when it is complete. No answer within `timeout` ends an
// operation with ErrorKind::timeout, never a hang. After a failure the
// requester asks the host to drop what it still holds for the request.
//
// A Requester is not thread-safe: use one per thread.
#pragma once

#include "client/result.h"
#include "client/channels.h"
#include "client/transport.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct zem_request_data;

namespace zem {

class ChunkSource;
class ChunkSink;
class DecodedRecord;

// Called while data moves: bytes done so far and the total (0 while unknown).
using ProgressFn = std::function<void(std::uint64_t done, std::uint64_t total)>;

struct RequesterOptions {
    std::string url;             // tcp://HOST:PORT or nats://HOST:PORT; empty: tcp://127.0.0.1 default port
    std::string subject;         // the host's zem_ps_subject; empty for none
    int buffer_size = 7168;      // the host's zem_buffer_size: both sides must use the same
    int window = 20;             // store chunks sent ahead of their acknowledgements (1 or more)
    std::chrono::milliseconds timeout{30000}; // longest wait for any answer
    // When set and it becomes true, a waiting operation ends within a fifth
    // of a second with ErrorKind::interrupted, cleaning up as after a failure.
    const std::atomic<bool> *cancel = nullptr;
};

struct TransferOptions {
    bool quiet = false;          // the host does not report a missing source
    bool local_paths = false;    // the remote paths are the host's own, not mapped onto its base
    bool temp_base = false;      // the remote paths are mapped onto the host's temp directory
    bool append = false;         // put: append to the remote file; get: append to the local file
    std::uint64_t offset = 0;    // put: send the local file from this byte on, appended;
                                 // get: receive the remote file from this byte on
    bool resume = false;         // put: offset = remote size; get: offset = local size, appending
    bool gzl = false;            // get: receive the host's gzip image of the file ("REMOTE.gzl")
    ProgressFn progress;
};

class Requester {
public:
    // Connects to the host that `options.url` names. Null with `result` set
    // (usage for a bad URL or option, connection when it is unreachable).
    static std::unique_ptr<Requester> connect(const RequesterOptions &options, Result &result);
    // Over a transport already connected (tests, embedding).
    static std::unique_ptr<Requester> over(std::unique_ptr<Transport> transport,
                                           const RequesterOptions &options, Result &result);
    ~Requester();
    Requester(const Requester &) = delete;
    Requester &operator=(const Requester &) = delete;

    Result put_file(const std::string &local, const std::string &remote, const TransferOptions &options);
    Result get_file(const std::string &remote, const std::string &local, const TransferOptions &options);
    Result put_tree(const std::string &local, const std::string &remote, const TransferOptions &options);
    Result get_tree(const std::string &remote, const std::string &local, const TransferOptions &options);
    Result remove(const std::string &remote, bool tree, const TransferOptions &options);
    // The size in `total_size` of the result.
    Result disk_usage(const std::string &remote, bool tree, const TransferOptions &options);

    // The id the last operation used.
    std::int32_t last_request_id() const { return last_id_; }

private:
    Requester(std::unique_ptr<Transport> transport, const RequesterOptions &options);

    struct Request; // the fields of one request record
    std::int32_t next_request_id();
    int request_flags(const TransferOptions &options, bool tree) const;

    Result send_record(const std::string &channel, const zem_request_data &record);
    Result send_control(std::int32_t id, int action);
    // The next message of request `id` on the data or reply channel.
    Result receive_for(std::int32_t id, bool &on_data, DecodedRecord &record);
    // Sends a one-reply request (remove, disk usage) and waits for its reply.
    Result ask(std::int32_t action, const std::string &remote, std::int32_t flags, DecodedRecord &reply);

    Result store(const Request &request, ChunkSource &source, std::uint64_t total, const ProgressFn &progress);
    Result retrieve(const Request &request, ChunkSink &sink, const ProgressFn &progress);
    Result fail(std::int32_t id, Result result);

    std::unique_ptr<Transport> transport_;
    RequesterOptions options_;
    Channels channels_;
    std::int32_t next_id_;
    std::int32_t last_id_ = 0;
};

} // namespace zem
