#include "client/requester.h"

#include "client/local_io.h"
#include "client/record_codec.h"
#include "client/transport_url.h"
#include "wire/zem_request_data.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <deque>
#include <random>
#include <sys/stat.h>

namespace zem {
namespace {

constexpr int kMaxBufferSize = 16 * 1024 * 1024;

std::string strip_trailing_slashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

std::string base_name(const std::string &path) {
    const std::string p = strip_trailing_slashes(path);
    const auto slash = p.find_last_of('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The result of a reply that is not the positive answer: a status reply or
// a failure code in `action`.
Result refused(int action, const std::string &what, const std::string &verb) {
    switch (action) {
    case ZEM_NOT_FOUND:
    case -47: return Result::error(ErrorKind::not_found, what + ": not found on the host");
    case ZEM_NO_SPACE:
    case -46: return Result::error(ErrorKind::no_space, what + ": no space left on the host");
    case ZEM_FAILED: return Result::error(ErrorKind::failed, what + ": the host failed to " + verb + " it");
    case -51979: return Result::error(ErrorKind::failed, what + ": the host could not open or write it");
    case -45: return Result::error(ErrorKind::failed, what + ": the host could not write the tree");
    case -42: return Result::error(ErrorKind::failed, what + ": the host was denied access to it");
    default: break;
    }
    if (action < 0)
        return Result::error(ErrorKind::failed, what + ": the host failed to " + verb + " it (code " +
                                                    std::to_string(action) + ")");
    return Result::error(ErrorKind::failed, what + ": unexpected reply (action " + std::to_string(action) +
                                                ") from the host");
}

Result check_options(const RequesterOptions &options) {
    if (options.buffer_size < 1 || options.buffer_size > kMaxBufferSize)
        return Result::error(ErrorKind::usage, "the buffer size must be from 1 to 16777216 bytes");
    if (options.window < 1) return Result::error(ErrorKind::usage, "the window must be at least 1");
    if (options.timeout.count() <= 0) return Result::error(ErrorKind::usage, "the timeout must be positive");
    return {};
}

} // namespace

struct Requester::Request {
    std::int32_t id = 0;
    int action = 0;
    int flags = 0;
    std::string source;
    std::string destination;
    std::int32_t offset = 0;
    std::uint64_t start = 0; // retrieve: the byte the data starts at
    std::string what;        // the remote path, for messages
};

std::unique_ptr<Requester> Requester::connect(const RequesterOptions &options, Result &result) {
    result = check_options(options);
    if (!result) return nullptr;
    TransportUrl url;
    std::string error;
    if (!parse_transport_url(options.url, url, error)) {
        result = Result::error(ErrorKind::usage, error);
        return nullptr;
    }
    auto transport = open_transport(url, options.timeout, error);
    if (!transport) {
        result = Result::error(ErrorKind::connection, error + " (is zem-host running?)");
        return nullptr;
    }
    return over(std::move(transport), options, result);
}

std::unique_ptr<Requester> Requester::over(std::unique_ptr<Transport> transport,
                                           const RequesterOptions &options, Result &result) {
    result = check_options(options);
    if (!result) return nullptr;
    std::unique_ptr<Requester> requester(new Requester(std::move(transport), options));
    for (const std::string *channel : {&requester->channels_.data, &requester->channels_.reply}) {
        const TransportStatus st = requester->transport_->listen(*channel);
        if (!st) {
            result = Result::error(ErrorKind::connection, requester->transport_->peer() + ": " + st.text);
            return nullptr;
        }
    }
    result = Result{};
    return requester;
}

Requester::Requester(std::unique_ptr<Transport> transport, const RequesterOptions &options)
    : transport_(std::move(transport)), options_(options), channels_(Channels::for_subject(options.subject)) {
    // Ids start at a random point so that requesters sharing a host (or a
    // NATS subject) do not collide.
    std::random_device seed;
    next_id_ = static_cast<std::int32_t>(std::uniform_int_distribution<std::int32_t>(1, 0x3fffffff)(seed));
}

Requester::~Requester() = default;

std::int32_t Requester::next_request_id() {
    last_id_ = next_id_;
    next_id_ = next_id_ == INT32_MAX ? 1 : next_id_ + 1;
    transport_->expect(last_id_);
    return last_id_;
}

int Requester::request_flags(const TransferOptions &options, bool tree) const {
    int flags = 0;
    if (tree) flags |= ZEM_FLAG_DIRECTORY;
    if (options.quiet) flags |= ZEM_FLAG_QUIET;
    if (options.local_paths) flags |= ZEM_FLAG_LOCAL_PATH;
    if (options.temp_base) flags |= ZEM_FLAG_TEMP_BASE;
    return flags;
}

Result Requester::send_record(const std::string &channel, const zem_request_data &record) {
    std::vector<std::uint8_t> bytes;
    if (!encode_record(record, options_.buffer_size, bytes))
        return Result::error(ErrorKind::failed, "a request could not be encoded");
    const TransportStatus st = transport_->send(channel, bytes.data(), bytes.size(), options_.timeout);
    if (st.kind == TransportStatus::timeout)
        return Result::error(ErrorKind::timeout, transport_->peer() + ": " + st.text);
    if (!st) return Result::error(ErrorKind::connection, transport_->peer() + ": " + st.text);
    return {};
}

Result Requester::send_control(std::int32_t id, int action) {
    zem_request_data record{};
    record.request_id = id;
    record.action = action;
    return send_record(action == ZEM_ACK ? channels_.ack : channels_.request, record);
}

Result Requester::receive_for(std::int32_t id, bool &on_data, DecodedRecord &record) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + options_.timeout;
    for (;;) {
        if (options_.cancel && options_.cancel->load())
            return Result::error(ErrorKind::interrupted, "interrupted");
        const auto left = duration_cast<milliseconds>(deadline - steady_clock::now());
        if (left.count() <= 0) {
            char text[160];
            std::snprintf(text, sizeof text, "no answer from the service within %g s (refused or not running?)",
                          duration<double>(options_.timeout).count());
            return Result::error(ErrorKind::timeout, text);
        }
        // With a cancel flag the wait is cut into slices so that it is seen.
        const auto wait = options_.cancel ? std::min(left, milliseconds(200)) : left;
        Message message;
        const TransportStatus st = transport_->receive(message, wait);
        if (st.kind == TransportStatus::timeout) continue;
        if (!st) return Result::error(ErrorKind::connection, transport_->peer() + ": " + st.text);
        const bool data = message.channel == channels_.data;
        if (!data && message.channel != channels_.reply) continue;
        if (message_request_id(message.payload) != id) continue; // another request's, or a late one
        if (!record.decode(message.payload, options_.buffer_size))
            return Result::error(ErrorKind::failed,
                                 "a message from the host could not be decoded (is --buffer-size " +
                                     std::to_string(options_.buffer_size) +
                                     " the host's zem_buffer_size?)");
        on_data = data;
        return {};
    }
}

Result Requester::fail(std::int32_t id, Result result) {
    // The host may still hold an entry for the request (a kept failure, a
    // transfer cut short): ask it to drop it. Nothing answers a terminate.
    if (result.kind != ErrorKind::connection) send_control(id, ZEM_TERMINATE);
    return result;
}

Result Requester::store(const Request &request, ChunkSource &source, std::uint64_t total,
                        const ProgressFn &progress) {
    const int size = options_.buffer_size;
    // The codec sends B bytes of every chunk: both buffers hold B bytes.
    std::vector<std::uint8_t> current(static_cast<std::size_t>(size)), next(current.size());
    Result error;
    int current_length = source.read(current.data(), size, error);
    if (current_length < 0) return error;

    zem_request_data record{};
    record.request_id = request.id;
    record.action = ZEM_STORE;
    record.flags = request.flags;
    record.source = const_cast<char *>(request.source.c_str());
    record.destination = const_cast<char *>(request.destination.c_str());
    record.offset = request.offset;

    std::deque<int> in_flight; // lengths of the chunks sent and not yet acknowledged
    bool final_sent = false;
    std::uint64_t acknowledged = 0;
    if (progress) progress(0, total);
    for (;;) {
        while (!final_sent && static_cast<int>(in_flight.size()) < options_.window) {
            // Reading one chunk ahead tells whether this one is the last.
            const int next_length = source.read(next.data(), size, error);
            if (next_length < 0) return fail(request.id, error);
            record.length = current_length;
            record.final = next_length == 0 ? 1 : 0;
            record.data = reinterpret_cast<char *>(current.data());
            Result sent = send_record(channels_.request, record);
            if (!sent) return fail(request.id, sent);
            in_flight.push_back(current_length);
            final_sent = record.final != 0;
            current.swap(next);
            current_length = next_length;
        }
        bool on_data = false;
        DecodedRecord reply;
        Result received = receive_for(request.id, on_data, reply);
        if (!received) return fail(request.id, received);
        if (on_data) continue;
        if (reply->action != ZEM_ACK) return fail(request.id, refused(reply->action, request.what, "store"));
        if (in_flight.empty())
            return fail(request.id, Result::error(ErrorKind::failed, request.what +
                                                               ": the host acknowledged more chunks than were sent"));
        acknowledged += static_cast<std::uint64_t>(in_flight.front());
        in_flight.pop_front();
        if (progress) progress(acknowledged, total);
        if (reply->final) {
            if (!final_sent || !in_flight.empty())
                return fail(request.id, Result::error(ErrorKind::failed,
                                                      request.what + ": the host ended the store before its last chunk"));
            Result done;
            done.bytes = acknowledged;
            done.total_size = total;
            return done;
        }
    }
}

Result Requester::retrieve(const Request &request, ChunkSink &sink, const ProgressFn &progress) {
    zem_request_data record{};
    record.request_id = request.id;
    record.action = ZEM_RETRIEVE;
    record.flags = request.flags;
    record.source = const_cast<char *>(request.source.c_str());
    record.offset = request.offset;
    Result sent = send_record(channels_.request, record);
    if (!sent) return fail(request.id, sent);

    auto failed = [&](Result result) {
        sink.abort();
        return fail(request.id, std::move(result));
    };
    bool first = true;
    std::uint64_t total = 0, expected = 0, received = 0;
    for (;;) {
        bool on_data = false;
        DecodedRecord chunk;
        Result r = receive_for(request.id, on_data, chunk);
        if (!r) return failed(r);
        if (!on_data) {
            // The retrieve-completed reply carries nothing: the final chunk
            // decides. Every other reply ends the retrieve.
            if (chunk->action == ZEM_RETRIEVE) continue;
            return failed(refused(chunk->action, request.what, "send"));
        }
        const int length = chunk->length;
        if (length < 0 || length > options_.buffer_size || (length > 0 && !chunk->data))
            return failed(Result::error(ErrorKind::failed, request.what + ": the host sent a malformed chunk"));
        if (first) {
            first = false;
            total = chunk->total_size;
            if (request.start > total)
                return failed(Result::error(ErrorKind::failed,
                                            request.what + ": offset " + std::to_string(request.start) +
                                                " is beyond its end (" + std::to_string(total) + " bytes)"));
            expected = total - request.start;
        }
        if (received + static_cast<std::uint64_t>(length) > expected)
            return failed(Result::error(ErrorKind::failed, request.what + ": the host sent more than the " +
                                                               std::to_string(expected) + " bytes it announced"));
        if (length > 0) {
            Result w = sink.write(reinterpret_cast<const std::uint8_t *>(chunk->data), static_cast<std::size_t>(length));
            if (!w) return failed(w);
        }
        received += static_cast<std::uint64_t>(length);
        Result acked = send_control(request.id, ZEM_ACK);
        if (!acked) return failed(acked);
        if (progress) progress(received, expected);
        if (chunk->final) break;
    }
    if (received != expected)
        return failed(Result::error(ErrorKind::failed, request.what + ": received " + std::to_string(received) +
                                                           " of " + std::to_string(expected) +
                                                           " bytes; the transfer is incomplete"));
    Result committed = sink.commit();
    if (!committed) return fail(request.id, committed);
    // A compressed image is sent from a timer, after which the host keeps
    // the finished request until its purge; drop it now.
    if (request.flags & ZEM_FLAG_GZL) send_control(request.id, ZEM_TERMINATE);
    committed.bytes = received;
    committed.total_size = total;
    return committed;
}

Result Requester::put_file(const std::string &local, const std::string &remote, const TransferOptions &options) {
    if (local.empty() || remote.empty()) return Result::error(ErrorKind::usage, "a store needs a local and a remote path");
    // A remote directory ("dir/") receives the file under its local name.
    const std::string destination = remote.back() == '/' ? remote + base_name(local) : remote;
    std::uint64_t offset = options.offset;
    if (options.resume) {
        TransferOptions probe = options;
        probe.quiet = true;
        Result existing = disk_usage(destination, false, probe);
        if (existing) {
            offset = existing.total_size;
            std::uint64_t have = 0;
            if (local_file_size(local, have) && offset > have)
                return Result::error(ErrorKind::failed, destination + " on the host (" + std::to_string(offset) +
                                                            " bytes) is longer than " + local + " (" +
                                                            std::to_string(have) + " bytes): nothing to resume");
        } else if (existing.kind == ErrorKind::not_found) {
            offset = 0;
        } else {
            return existing;
        }
    }
    std::uint64_t size = 0;
    Result error;
    auto source = open_file_source(local, offset, size, error);
    if (!source) return error;
    Request request;
    request.id = next_request_id();
    request.action = ZEM_STORE;
    request.flags = request_flags(options, false);
    request.source = local;
    request.destination = destination;
    // Only zero or not matters to the host: zero replaces, any other value appends.
    request.offset = options.append || offset > 0 ? 1 : 0;
    request.what = destination;
    return store(request, *source, size, options.progress);
}

Result Requester::put_tree(const std::string &local, const std::string &remote, const TransferOptions &options) {
    if (local.empty() || remote.empty()) return Result::error(ErrorKind::usage, "a store needs a local and a remote path");
    if (options.append || options.offset || options.resume || options.gzl)
        return Result::error(ErrorKind::usage, "a tree is stored whole: no --append, --offset, --resume or --gzl");
    std::uint64_t size = 0;
    Result error;
    auto source = open_tree_source(local, size, error);
    if (!source) return error;
    Request request;
    request.id = next_request_id();
    request.action = ZEM_STORE;
    request.flags = request_flags(options, true);
    request.source = local;
    request.destination = remote;
    request.what = remote;
    return store(request, *source, size, options.progress);
}

Result Requester::get_file(const std::string &remote, const std::string &local, const TransferOptions &options) {
    if (local.empty() || remote.empty()) return Result::error(ErrorKind::usage, "a retrieve needs a remote and a local path");
    const std::string source = options.gzl ? remote + ".gzl" : remote;
    std::string target = strip_trailing_slashes(local);
    if (is_directory(target)) target += "/" + base_name(source);

    std::uint64_t offset = options.offset;
    if (options.resume) {
        offset = 0;
        local_file_size(target, offset);
    }
    if (offset > static_cast<std::uint64_t>(INT32_MAX))
        return Result::error(ErrorKind::usage, "offset " + std::to_string(offset) +
                                                   " is above 2147483647, the largest the host accepts");
    Result error;
    std::unique_ptr<ChunkSink> sink = options.resume || options.append ? append_file_sink(target, error)
                                                                       : create_file_sink(target, error);
    if (!sink) return error;
    Request request;
    request.id = next_request_id();
    request.action = ZEM_RETRIEVE;
    request.flags = request_flags(options, false) | (options.gzl ? ZEM_FLAG_GZL : 0);
    request.source = source;
    request.offset = static_cast<std::int32_t>(offset);
    request.start = offset;
    request.what = source;
    return retrieve(request, *sink, options.progress);
}

Result Requester::get_tree(const std::string &remote, const std::string &local, const TransferOptions &options) {
    if (local.empty() || remote.empty()) return Result::error(ErrorKind::usage, "a retrieve needs a remote and a local path");
    if (options.append || options.offset || options.resume || options.gzl)
        return Result::error(ErrorKind::usage, "a tree is retrieved whole: no --append, --offset, --resume or --gzl");
    Result error;
    auto sink = create_tree_sink(strip_trailing_slashes(local), error);
    if (!sink) return error;
    Request request;
    request.id = next_request_id();
    request.action = ZEM_RETRIEVE;
    request.flags = request_flags(options, true);
    request.source = remote;
    request.what = remote;
    return retrieve(request, *sink, options.progress);
}

Result Requester::remove(const std::string &remote, bool tree, const TransferOptions &options) {
    if (remote.empty()) return Result::error(ErrorKind::usage, "a remove needs a remote path");
    DecodedRecord reply;
    Result r = ask(ZEM_REMOVE, remote, request_flags(options, tree), reply);
    if (!r) return r;
    if (reply->action == ZEM_ACK) return {};
    return refused(reply->action, remote, "remove");
}

Result Requester::disk_usage(const std::string &remote, bool tree, const TransferOptions &options) {
    if (remote.empty()) return Result::error(ErrorKind::usage, "a disk usage request needs a remote path");
    DecodedRecord reply;
    Result r = ask(ZEM_DISK_USAGE, remote, request_flags(options, tree), reply);
    if (!r) return r;
    if (reply->action != ZEM_DISK_USAGE) return refused(reply->action, remote, "measure");
    Result done;
    done.total_size = reply->total_size;
    return done;
}

Result Requester::ask(std::int32_t action, const std::string &remote, std::int32_t flags, DecodedRecord &reply) {
    zem_request_data record{};
    record.request_id = next_request_id();
    record.action = action;
    record.flags = flags;
    record.source = const_cast<char *>(remote.c_str());
    Result sent = send_record(channels_.request, record);
    if (!sent) return sent;
    for (;;) {
        bool on_data = false;
        Result r = receive_for(record.request_id, on_data, reply);
        if (!r || !on_data) return r;
    }
}

} // namespace zem
