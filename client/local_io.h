// The requester's side of the disk: what a store reads and what a retrieve
// writes. A retrieved file appears under its name only once it is complete.
#pragma once

#include "client/result.h"

#include <cstdint>
#include <memory>
#include <string>

namespace zem {

// The bytes a store sends, read in whole chunks.
class ChunkSource {
public:
    virtual ~ChunkSource() = default;
    // Fills `buffer` with up to `size` bytes; fewer only at the end. Returns
    // the count (0 at the end) or -1 with `error` set.
    virtual int read(std::uint8_t *buffer, int size, Result &error) = 0;
};

// Where a retrieve puts the bytes it receives.
class ChunkSink {
public:
    virtual ~ChunkSink() = default;
    virtual Result write(const std::uint8_t *data, std::size_t size) = 0;
    // Makes the received bytes durable and visible under the final name.
    virtual Result commit() = 0;
    // Undoes what the retrieve wrote; the destination is as it was before.
    virtual void abort() = 0;
};

// A regular file from byte `offset` on; `size` receives the bytes to send.
std::unique_ptr<ChunkSource> open_file_source(const std::string &path, std::uint64_t offset,
                                              std::uint64_t &size, Result &error);
// The tar stream of a directory tree; `size` receives its exact length.
std::unique_ptr<ChunkSource> open_tree_source(const std::string &directory, std::uint64_t &size,
                                              Result &error);

// A new file written under a temporary name beside `path` and renamed over
// it when complete.
std::unique_ptr<ChunkSink> create_file_sink(const std::string &path, Result &error);
// Appends to `path` (created when missing); an abort cuts it back to the
// size it had, or removes it when it was created.
std::unique_ptr<ChunkSink> append_file_sink(const std::string &path, Result &error);
// Extracts a tar stream under `directory`. A missing directory is built
// under a temporary name and renamed into place when complete; an existing
// one receives the entries directly.
std::unique_ptr<ChunkSink> create_tree_sink(const std::string &directory, Result &error);

// Size of a local file; false when it does not exist.
bool local_file_size(const std::string &path, std::uint64_t &size);

} // namespace zem
