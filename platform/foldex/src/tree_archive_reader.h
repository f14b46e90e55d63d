// Read mode: the tar stream of a tree, produced on demand.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "tree_listing.h"

struct archive;
struct archive_entry;

namespace foldex {

// Lists the tree once at open and measures its stream with a dry pass of
// the headers; the bytes are then made as the caller reads them: the next
// header, or the next piece of the current file, goes through the archive
// writer into a small pending buffer. Memory stays bounded by one piece
// plus one header, whatever the size of the files.
class TreeArchiveReader {
public:
    // Null on failure, with error and error_number set.
    static std::unique_ptr<TreeArchiveReader> open(const std::string &directory, bool recurse,
                                                   std::string &error, int &error_number);
    ~TreeArchiveReader();
    TreeArchiveReader(const TreeArchiveReader &) = delete;
    TreeArchiveReader &operator=(const TreeArchiveReader &) = delete;

    // The exact number of bytes that the stream produces.
    uint64_t size() const { return size_; }
    // The number of bytes handed out so far.
    uint64_t position() const { return delivered_; }
    // Fills buffer with count bytes, fewer only at the end of the stream;
    // -1 on failure, after which the stream stays failed.
    long read(char *buffer, size_t count);
    bool failed() const { return state_ == State::failed; }
    const std::string &error() const { return error_; }

private:
    enum class State { producing, ended, failed };

    TreeArchiveReader(std::string root, std::vector<TreeEntry> entries);
    bool measure(std::string &error);
    bool start_writer();
    bool produce();
    bool start_entry(const TreeEntry &entry);
    bool copy_file_piece();
    bool end_file();
    bool end_archive();
    bool fail(const std::string &what);
    bool fail_system(const std::string &what, int error_number);
    bool fail_archive(const std::string &what);
    void close_file();
    void release_writer();
    static long collect(struct archive *, void *self, const void *buffer, size_t length);

    std::string root_;
    std::vector<TreeEntry> entries_;
    size_t next_entry_ = 0;
    uint64_t size_ = 0;
    uint64_t produced_ = 0;
    uint64_t delivered_ = 0;
    State state_ = State::producing;
    std::string error_;

    struct archive *writer_ = nullptr;
    struct archive_entry *header_ = nullptr;
    // Set while the writer is released early, so that it does not pad the
    // rest of an unfinished file into the pending buffer.
    bool discarding_ = false;
    std::vector<char> pending_;
    size_t pending_offset_ = 0;

    int file_fd_ = -1;
    const TreeEntry *file_entry_ = nullptr;
    uint64_t file_left_ = 0;
    std::vector<char> file_buffer_;
};

}  // namespace foldex
