#include "tree_archive_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "utf8_locale.h"

namespace foldex {
namespace {

// How much of a file one production step reads.
constexpr size_t kFilePiece = 64 * 1024;

using ArchiveWriteCallback = la_ssize_t (*)(struct archive *, void *, const void *, size_t);

// A pax writer whose output is exactly the tar records: no blocking and no
// padding of the last block.
struct archive *new_tar_writer(void *client, ArchiveWriteCallback callback, std::string &error) {
    struct archive *writer = archive_write_new();
    if (writer == nullptr) {
        error = "out of memory";
        return nullptr;
    }
    if (archive_write_set_format_pax_restricted(writer) != ARCHIVE_OK ||
        archive_write_set_bytes_per_block(writer, 0) != ARCHIVE_OK ||
        archive_write_set_bytes_in_last_block(writer, 1) != ARCHIVE_OK ||
        archive_write_open(writer, client, nullptr, callback, nullptr) != ARCHIVE_OK) {
        const char *reason = archive_error_string(writer);
        error = std::string("cannot set up the tar writer: ") + (reason ? reason : "unknown error");
        archive_write_free(writer);
        return nullptr;
    }
    return writer;
}

void describe(struct archive_entry *header, const TreeEntry &entry) {
    archive_entry_clear(header);
    archive_entry_copy_pathname(header, entry.relative.c_str());
    archive_entry_set_mode(header, entry.mode);
    archive_entry_set_uid(header, entry.uid);
    archive_entry_set_gid(header, entry.gid);
    archive_entry_set_mtime(header, entry.mtime, entry.mtime_nsec);
    archive_entry_set_size(header, static_cast<la_int64_t>(entry.size));
    if (S_ISLNK(entry.mode))
        archive_entry_copy_symlink(header, entry.link_target.c_str());
}

std::string archive_reason(struct archive *a) {
    const char *reason = a != nullptr ? archive_error_string(a) : nullptr;
    return reason != nullptr ? reason : "unknown error";
}

la_ssize_t count_bytes(struct archive *, void *total, const void *, size_t length) {
    *static_cast<uint64_t *>(total) += length;
    return static_cast<la_ssize_t>(length);
}

}  // namespace

std::unique_ptr<TreeArchiveReader> TreeArchiveReader::open(const std::string &directory, bool recurse,
                                                           std::string &error, int &error_number) {
    std::string root = directory;
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    struct stat st {};
    if (stat(root.c_str(), &st) != 0) {
        error_number = errno;
        error = "cannot examine " + root + ": " + std::strerror(error_number);
        return nullptr;
    }
    if (!S_ISDIR(st.st_mode)) {
        error_number = ENOTDIR;
        error = root + " is not a directory";
        return nullptr;
    }
    std::vector<TreeEntry> entries;
    if (!list_tree(root, recurse, entries, error, error_number))
        return nullptr;
    std::unique_ptr<TreeArchiveReader> reader(new TreeArchiveReader(root, std::move(entries)));
    Utf8LocaleScope utf8;
    if (!reader->measure(error) || !reader->start_writer()) {
        if (error.empty())
            error = reader->error_;
        error_number = EIO;
        return nullptr;
    }
    return reader;
}

TreeArchiveReader::TreeArchiveReader(std::string root, std::vector<TreeEntry> entries)
    : root_(std::move(root)), entries_(std::move(entries)) {}

TreeArchiveReader::~TreeArchiveReader() {
    close_file();
    release_writer();
}

// The dry pass: every header goes into a counting sink, and the writer
// pads each file's data with zeros of the same count.
bool TreeArchiveReader::measure(std::string &error) {
    uint64_t total = 0;
    struct archive *counter = new_tar_writer(&total, &count_bytes, error);
    if (counter == nullptr)
        return false;
    struct archive_entry *header = archive_entry_new();
    bool measured = header != nullptr;
    if (!measured)
        error = "out of memory";
    for (size_t i = 0; measured && i < entries_.size(); ++i) {
        describe(header, entries_[i]);
        if (archive_write_header(counter, header) < ARCHIVE_WARN ||
            archive_write_finish_entry(counter) < ARCHIVE_WARN) {
            error = "cannot archive " + join_path(root_, entries_[i].relative) + ": " + archive_reason(counter);
            measured = false;
        }
    }
    if (measured && archive_write_close(counter) != ARCHIVE_OK) {
        error = "cannot end the archive: " + archive_reason(counter);
        measured = false;
    }
    if (header != nullptr)
        archive_entry_free(header);
    archive_write_free(counter);
    size_ = total;
    return measured;
}

bool TreeArchiveReader::start_writer() {
    std::string error;
    header_ = archive_entry_new();
    if (header_ == nullptr)
        return fail("out of memory");
    writer_ = new_tar_writer(this, &TreeArchiveReader::collect, error);
    if (writer_ == nullptr)
        return fail(error);
    file_buffer_.resize(kFilePiece);
    return true;
}

long TreeArchiveReader::read(char *buffer, size_t count) {
    if (state_ == State::failed)
        return -1;
    Utf8LocaleScope utf8;
    size_t filled = 0;
    while (filled < count) {
        if (pending_offset_ < pending_.size()) {
            const size_t take = std::min(count - filled, pending_.size() - pending_offset_);
            std::memcpy(buffer + filled, pending_.data() + pending_offset_, take);
            pending_offset_ += take;
            filled += take;
            continue;
        }
        pending_.clear();
        pending_offset_ = 0;
        if (state_ == State::ended)
            break;
        if (!produce())
            return -1;
    }
    delivered_ += filled;
    return static_cast<long>(filled);
}

// Adds the next bytes of the stream to the pending buffer, or ends it.
bool TreeArchiveReader::produce() {
    if (file_fd_ >= 0)
        return file_left_ > 0 ? copy_file_piece() : end_file();
    if (next_entry_ < entries_.size())
        return start_entry(entries_[next_entry_++]);
    return end_archive();
}

bool TreeArchiveReader::start_entry(const TreeEntry &entry) {
    const std::string path = join_path(root_, entry.relative);
    if (S_ISREG(entry.mode)) {
        // The file is opened before its header is written, so that a file
        // that has gone or changed fails the stream before its header.
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd < 0) {
            const int error_number = errno;
            return fail_system("cannot open " + path, error_number);
        }
        file_fd_ = fd;
        file_entry_ = &entry;
        file_left_ = entry.size;
        struct stat st {};
        if (fstat(fd, &st) != 0) {
            const int error_number = errno;
            return fail_system("cannot examine " + path, error_number);
        }
        if (!S_ISREG(st.st_mode) || static_cast<uint64_t>(st.st_size) != entry.size)
            return fail(path + " changed while the tree was archived (it had " +
                        std::to_string(entry.size) + " bytes, now " +
                        std::to_string(static_cast<uint64_t>(st.st_size)) + ")");
    }
    describe(header_, entry);
    if (archive_write_header(writer_, header_) < ARCHIVE_WARN)
        return fail_archive("cannot archive " + path);
    return true;
}

bool TreeArchiveReader::copy_file_piece() {
    const std::string path = join_path(root_, file_entry_->relative);
    const size_t want = static_cast<size_t>(std::min<uint64_t>(file_left_, file_buffer_.size()));
    ssize_t got;
    do {
        got = ::read(file_fd_, file_buffer_.data(), want);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int error_number = errno;
        return fail_system("cannot read " + path, error_number);
    }
    if (got == 0)
        return fail(path + " became shorter while the tree was archived");
    if (archive_write_data(writer_, file_buffer_.data(), static_cast<size_t>(got)) != got)
        return fail_archive("cannot archive " + path);
    file_left_ -= static_cast<uint64_t>(got);
    return true;
}

bool TreeArchiveReader::end_file() {
    const std::string path = join_path(root_, file_entry_->relative);
    char extra;
    ssize_t got;
    do {
        got = ::read(file_fd_, &extra, 1);
    } while (got < 0 && errno == EINTR);
    if (got < 0) {
        const int error_number = errno;
        return fail_system("cannot read " + path, error_number);
    }
    if (got > 0)
        return fail(path + " became longer while the tree was archived");
    close_file();
    if (archive_write_finish_entry(writer_) < ARCHIVE_WARN)
        return fail_archive("cannot archive " + path);
    return true;
}

bool TreeArchiveReader::end_archive() {
    if (archive_write_close(writer_) != ARCHIVE_OK)
        return fail_archive("cannot end the archive");
    if (produced_ != size_)
        return fail("the stream came out at " + std::to_string(produced_) + " bytes instead of " +
                    std::to_string(size_));
    state_ = State::ended;
    return true;
}

la_ssize_t TreeArchiveReader::collect(struct archive *, void *self, const void *buffer, size_t length) {
    auto *reader = static_cast<TreeArchiveReader *>(self);
    if (reader->discarding_)
        return -1;
    // Never hand out more than the size the open announced.
    if (reader->produced_ + length > reader->size_) {
        reader->error_ = "the stream grew beyond the " + std::to_string(reader->size_) + " bytes announced";
        return -1;
    }
    const char *bytes = static_cast<const char *>(buffer);
    reader->pending_.insert(reader->pending_.end(), bytes, bytes + length);
    reader->produced_ += length;
    return static_cast<la_ssize_t>(length);
}

bool TreeArchiveReader::fail(const std::string &what) {
    if (error_.empty())
        error_ = what;
    state_ = State::failed;
    close_file();
    release_writer();
    pending_.clear();
    pending_offset_ = 0;
    return false;
}

bool TreeArchiveReader::fail_system(const std::string &what, int error_number) {
    return fail(what + ": " + std::strerror(error_number));
}

bool TreeArchiveReader::fail_archive(const std::string &what) {
    return fail(what + ": " + archive_reason(writer_));
}

void TreeArchiveReader::close_file() {
    if (file_fd_ >= 0) {
        ::close(file_fd_);
        file_fd_ = -1;
    }
}

void TreeArchiveReader::release_writer() {
    if (writer_ != nullptr) {
        discarding_ = true;
        archive_write_free(writer_);
        writer_ = nullptr;
    }
    if (header_ != nullptr) {
        archive_entry_free(header_);
        header_ = nullptr;
    }
}

}  // namespace foldex
