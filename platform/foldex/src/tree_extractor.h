// Write mode: a tar stream, fed in chunks, extracted safely under a
// destination directory.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "byte_queue.h"

struct archive;
struct archive_entry;

namespace foldex {

// libarchive's reader pulls its input, so the extraction runs on a worker
// thread owned by the extractor and reads from a bounded queue that write()
// fills. Every member name is checked and joined to the real path of the
// destination before archive_write_disk sees it; the process's working
// directory is never changed.
class TreeExtractor {
public:
    // Creates the destination with its parents when missing and starts the
    // worker. Null on failure, with error and error_number set.
    static std::unique_ptr<TreeExtractor> open(const std::string &directory, size_t capacity,
                                               std::string &error, int &error_number);
    // Finishes the extraction when that has not happened yet.
    ~TreeExtractor();
    TreeExtractor(const TreeExtractor &) = delete;
    TreeExtractor &operator=(const TreeExtractor &) = delete;

    // Queues the bytes; true when they were accepted (or ignored after the
    // archive's end), false when the extraction has failed or the input was
    // already ended.
    bool write(const char *data, size_t size);
    // Ends the input, waits for the worker and tells whether the whole
    // archive was extracted. Later calls give the same answer.
    bool finish();
    // The first error, copied under the lock (the worker may set it).
    std::string error() const;
    uint64_t accepted() const { return accepted_; }

private:
    enum class Outcome { running, succeeded, failed };

    TreeExtractor(std::string destination, size_t capacity);
    void run() noexcept;
    bool extract_all(std::string &failure);
    bool extract_entry(struct archive *in, struct archive *out, struct archive_entry *entry,
                       std::string &failure);
    bool check_hard_link(const char *target, bool carries_data, std::string &target_path,
                         std::string &problem) const;
    bool copy_data(struct archive *in, struct archive *out, const std::string &name,
                   std::string &failure);
    void set_error(const std::string &what);
    static long next_input(struct archive *, void *self, const void **buffer);

    const std::string destination_;
    ByteQueue queue_;
    std::thread worker_;
    std::atomic<Outcome> outcome_{Outcome::running};
    mutable std::mutex error_mutex_;
    std::string error_;
    bool input_ended_ = false;
    uint64_t accepted_ = 0;

    // Worker state.
    std::vector<char> input_chunk_;
    // The directories this archive has created, by their relative paths:
    // none of them may be replaced by another kind of entry, so that the
    // fix-ups of their modes and times at the end cannot follow a link.
    std::unordered_set<std::string> directories_;
};

}  // namespace foldex
