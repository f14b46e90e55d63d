#include "tree_extractor.h"

#include <archive.h>
#include <archive_entry.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <system_error>

#include "member_path.h"
#include "utf8_locale.h"

namespace foldex {
namespace {

// Permission bits and times are restored, owners are not. The two SECURE
// flags make libarchive refuse ".." and any path through a symbolic link on
// its own as well. ARCHIVE_EXTRACT_SECURE_NOABSOLUTEPATHS cannot be set:
// every path handed over is absolute, because it starts with the
// destination; absolute member names are refused before that.
constexpr int kExtractFlags = ARCHIVE_EXTRACT_PERM | ARCHIVE_EXTRACT_TIME |
                              ARCHIVE_EXTRACT_SECURE_NODOTDOT | ARCHIVE_EXTRACT_SECURE_SYMLINKS;

// A tar end marker starts with one block of zeros.
constexpr int64_t kTarBlock = 512;

using ArchivePtr = std::unique_ptr<struct archive, int (*)(struct archive *)>;

std::string archive_reason(struct archive *a) {
    const char *reason = archive_error_string(a);
    return reason != nullptr ? reason : "unknown error";
}

std::string quoted(const char *name) {
    return std::string("\"") + (name != nullptr ? name : "") + "\"";
}

bool is_directory(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Creates the directory and its missing parents, as mkdir -p does.
bool make_directories(const std::string &path, int &error_number) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0777) != 0) {
            const int mkdir_error = errno;
            if (!is_directory(prefix)) {
                error_number = mkdir_error == EEXIST ? ENOTDIR : mkdir_error;
                return false;
            }
        }
        if (slash == std::string::npos)
            return true;
    }
}

}  // namespace

std::unique_ptr<TreeExtractor> TreeExtractor::open(const std::string &directory, size_t capacity,
                                                   std::string &error, int &error_number) {
    if (directory.empty()) {
        error_number = EINVAL;
        error = "no destination directory";
        return nullptr;
    }
    if (!make_directories(directory, error_number)) {
        error = "cannot create " + directory + ": " + std::strerror(error_number);
        return nullptr;
    }
    std::unique_ptr<char, void (*)(void *)> real(realpath(directory.c_str(), nullptr), &free);
    if (real == nullptr) {
        error_number = errno;
        error = "cannot resolve " + directory + ": " + std::strerror(error_number);
        return nullptr;
    }
    if (!is_directory(real.get())) {
        error_number = ENOTDIR;
        error = directory + " is not a directory";
        return nullptr;
    }
    std::string destination(real.get());
    if (destination == "/")
        destination.clear();  // so that joining with "/name" stays one slash
    std::unique_ptr<TreeExtractor> extractor(new TreeExtractor(std::move(destination), capacity));
    try {
        extractor->worker_ = std::thread(&TreeExtractor::run, extractor.get());
    } catch (const std::system_error &failure) {
        error_number = failure.code().value();
        error = std::string("cannot start the extraction thread: ") + failure.what();
        return nullptr;
    }
    return extractor;
}

TreeExtractor::TreeExtractor(std::string destination, size_t capacity)
    : destination_(std::move(destination)), queue_(capacity) {}

TreeExtractor::~TreeExtractor() { finish(); }

bool TreeExtractor::write(const char *data, size_t size) {
    if (input_ended_) {
        set_error("bytes were written after the end of the input");
        return false;
    }
    if (outcome_.load() == Outcome::failed)
        return false;
    if (!queue_.push(data, size) && outcome_.load() != Outcome::succeeded)
        return false;
    accepted_ += size;
    return true;
}

bool TreeExtractor::finish() {
    if (!input_ended_) {
        input_ended_ = true;
        queue_.end_input();
    }
    if (worker_.joinable())
        worker_.join();
    return outcome_.load() == Outcome::succeeded;
}

std::string TreeExtractor::error() const {
    std::lock_guard<std::mutex> lock(error_mutex_);
    return error_;
}

void TreeExtractor::set_error(const std::string &what) {
    std::lock_guard<std::mutex> lock(error_mutex_);
    if (error_.empty())
        error_ = what;
}

void TreeExtractor::run() noexcept {
    if (locale_t utf8 = utf8_locale())
        uselocale(utf8);
    bool extracted = false;
    try {
        std::string failure;
        extracted = extract_all(failure);
        if (!extracted)
            set_error(failure);
    } catch (const std::exception &failure) {
        try {
            set_error(std::string("the extraction failed: ") + failure.what());
        } catch (...) {
        }
    }
    // The outcome is set before the queue stops, so that a producer that
    // finds the queue stopped also finds the outcome.
    outcome_.store(extracted ? Outcome::succeeded : Outcome::failed);
    queue_.stop();
}

long TreeExtractor::next_input(struct archive *, void *self, const void **buffer) {
    auto *extractor = static_cast<TreeExtractor *>(self);
    if (!extractor->queue_.pop(extractor->input_chunk_)) {
        extractor->input_chunk_.clear();
        *buffer = nullptr;
        return 0;
    }
    *buffer = extractor->input_chunk_.data();
    return static_cast<long>(extractor->input_chunk_.size());
}

bool TreeExtractor::extract_all(std::string &failure) {
    ArchivePtr in(archive_read_new(), &archive_read_free);
    ArchivePtr out(archive_write_disk_new(), &archive_write_free);
    if (in == nullptr || out == nullptr) {
        failure = "out of memory";
        return false;
    }
    archive_read_support_format_tar(in.get());
    archive_write_disk_set_options(out.get(), kExtractFlags);
    if (archive_read_open(in.get(), this, nullptr, &TreeExtractor::next_input, nullptr) != ARCHIVE_OK) {
        failure = "the input is not a tar archive: " + archive_reason(in.get());
        return false;
    }
    // Where the last entry ended; libarchive also reports the end of the
    // input there as the end of the archive, so the end marker is checked
    // by the bytes that its reading consumed.
    int64_t entry_end = 0;
    for (;;) {
        struct archive_entry *entry = nullptr;
        const int result = archive_read_next_header(in.get(), &entry);
        if (result == ARCHIVE_EOF) {
            if (archive_filter_bytes(in.get(), 0) < entry_end + kTarBlock) {
                failure = "the archive is truncated: the input ended before its end marker";
                return false;
            }
            break;
        }
        // A warning leaves a usable entry, typically a name that is not
        // valid UTF-8 and comes as its raw bytes; the entry is checked as
        // any other.
        if (result != ARCHIVE_OK && result != ARCHIVE_WARN) {
            failure = "the archive is damaged: " + archive_reason(in.get());
            return false;
        }
        if (!extract_entry(in.get(), out.get(), entry, failure))
            return false;
        entry_end = archive_filter_bytes(in.get(), 0);
    }
    if (archive_write_close(out.get()) != ARCHIVE_OK) {
        failure = "cannot complete the extraction: " + archive_reason(out.get());
        return false;
    }
    return true;
}

bool TreeExtractor::extract_entry(struct archive *in, struct archive *out, struct archive_entry *entry,
                                  std::string &failure) {
    const char *name = archive_entry_pathname(entry);
    const MemberPath path = check_member_path(name);
    if (!path.valid) {
        failure = "refused entry " + quoted(name) + ": the name " + path.problem;
        return false;
    }
    const mode_t type = archive_entry_filetype(entry);
    const char *hard_link = archive_entry_hardlink(entry);
    if (path.relative.empty()) {
        // "./" stands for the destination, which exists already.
        if (type == AE_IFDIR && hard_link == nullptr) {
            if (archive_read_data_skip(in) == ARCHIVE_OK)
                return true;
            failure = "the archive is damaged: " + archive_reason(in);
            return false;
        }
        failure = "refused entry " + quoted(name) + ": it would replace the destination";
        return false;
    }
    if (hard_link == nullptr && type != AE_IFREG && type != AE_IFDIR && type != AE_IFLNK &&
        type != AE_IFIFO) {
        failure = "refused entry " + quoted(name) + ": devices and sockets are not extracted";
        return false;
    }
    const std::string target = destination_ + '/' + path.relative;
    // libarchive changes the working directory of the whole process to
    // reach longer paths.
    if (target.size() >= PATH_MAX) {
        failure = "refused entry " + quoted(name) + ": the path is too long";
        return false;
    }
    if (type != AE_IFDIR && directories_.count(path.relative) != 0) {
        failure = "refused entry " + quoted(name) + ": it would replace a directory of the archive";
        return false;
    }
    std::string link_target;
    if (hard_link != nullptr) {
        std::string problem;
        if (!check_hard_link(hard_link, archive_entry_size(entry) > 0, link_target, problem)) {
            failure = "refused hard link " + quoted(name) + " to " + quoted(hard_link) + ": " + problem;
            return false;
        }
    }
    const std::string shown = quoted(name);
    archive_entry_copy_pathname(entry, target.c_str());
    if (hard_link != nullptr)
        archive_entry_copy_hardlink(entry, link_target.c_str());
    // Set-user-ID and set-group-ID bits from a requester are not kept.
    archive_entry_set_perm(entry, archive_entry_perm(entry) & ~(S_ISUID | S_ISGID));

    if (archive_write_header(out, entry) != ARCHIVE_OK) {
        failure = "cannot extract " + shown + ": " + archive_reason(out);
        return false;
    }
    if (type == AE_IFDIR && hard_link == nullptr)
        directories_.insert(path.relative);
    // archive_write_header sets the size to 0 when nothing is to be written.
    if (archive_entry_size(entry) > 0) {
        if (!copy_data(in, out, shown, failure))
            return false;
    } else if (archive_read_data_skip(in) != ARCHIVE_OK) {
        failure = "the archive is damaged: " + archive_reason(in);
        return false;
    }
    if (archive_write_finish_entry(out) != ARCHIVE_OK) {
        failure = "cannot complete " + shown + ": " + archive_reason(out);
        return false;
    }
    return true;
}

bool TreeExtractor::copy_data(struct archive *in, struct archive *out, const std::string &name,
                              std::string &failure) {
    for (;;) {
        const void *block = nullptr;
        size_t size = 0;
        la_int64_t offset = 0;
        const int result = archive_read_data_block(in, &block, &size, &offset);
        if (result == ARCHIVE_EOF)
            return true;
        if (result != ARCHIVE_OK) {
            failure = "cannot read the data of " + name + ": " + archive_reason(in);
            return false;
        }
        if (archive_write_data_block(out, block, size, offset) != ARCHIVE_OK) {
            failure = "cannot write " + name + ": " + archive_reason(out);
            return false;
        }
    }
}

// A hard link may only name an object that this destination holds, reached
// without passing a symbolic link; one that carries data must name a
// regular file with no other name, because libarchive opens the new link
// to write it.
bool TreeExtractor::check_hard_link(const char *target, bool carries_data, std::string &target_path,
                                    std::string &problem) const {
    const MemberPath path = check_member_path(target);
    if (!path.valid) {
        problem = "the target " + path.problem;
        return false;
    }
    if (path.relative.empty()) {
        problem = "the target is the destination itself";
        return false;
    }
    target_path = destination_;
    size_t start = 0;
    for (;;) {
        const size_t slash = path.relative.find('/', start);
        target_path += '/';
        target_path += path.relative.substr(start, slash == std::string::npos ? slash : slash - start);
        struct stat st {};
        if (lstat(target_path.c_str(), &st) != 0) {
            const int error_number = errno;
            problem = std::string("the target cannot be found: ") + std::strerror(error_number);
            return false;
        }
        if (slash == std::string::npos) {
            if (S_ISDIR(st.st_mode)) {
                problem = "the target is a directory";
                return false;
            }
            // A second name of a file elsewhere would carry the data out.
            if (carries_data && (!S_ISREG(st.st_mode) || st.st_nlink != 1)) {
                problem = "a link with data must name a regular file that has no other name";
                return false;
            }
            break;
        }
        if (S_ISLNK(st.st_mode)) {
            problem = "the target lies behind a symbolic link";
            return false;
        }
        start = slash + 1;
    }
    if (target_path.size() >= PATH_MAX) {
        problem = "the target path is too long";
        return false;
    }
    return true;
}

}  // namespace foldex
