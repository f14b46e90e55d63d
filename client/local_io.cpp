#include "client/local_io.h"

#include "foldex.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace zem {
namespace {

Result errno_result(int err, const std::string &what) {
    ErrorKind kind = ErrorKind::failed;
    if (err == ENOENT) kind = ErrorKind::not_found;
    if (err == ENOSPC || err == EDQUOT) kind = ErrorKind::no_space;
    return Result::error(kind, what + ": " + std::strerror(err));
}

// Where a retrieve writes, a missing directory is a failure of the
// destination, not a missing source.
Result destination_result(int err, const std::string &what) {
    Result r = errno_result(err, what);
    if (r.kind == ErrorKind::not_found) r.kind = ErrorKind::failed;
    return r;
}

std::string parent_of(const std::string &path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string base_of(const std::string &path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A name beside `path` that no one else uses: ".<name>.zem-<random>".
std::string temporary_name(const std::string &path) {
    thread_local std::mt19937_64 engine{std::random_device{}()};
    char suffix[17];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(engine()));
    const std::string parent = parent_of(path);
    return (parent == "/" ? "" : parent) + "/." + base_of(path) + ".zem-" + suffix;
}

void sync_directory(const std::string &directory) {
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

Result write_all(int fd, const std::uint8_t *data, std::size_t size, const std::string &path) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return destination_result(errno, "cannot write " + path);
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return {};
}

class FileSource final : public ChunkSource {
public:
    FileSource(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}
    ~FileSource() override { ::close(fd_); }

    int read(std::uint8_t *buffer, int size, Result &error) override {
        int filled = 0;
        while (filled < size) {
            const ssize_t n = ::read(fd_, buffer + filled, static_cast<std::size_t>(size - filled));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                error = errno_result(errno, "cannot read " + path_);
                return -1;
            }
            if (n == 0) break;
            filled += static_cast<int>(n);
        }
        return filled;
    }

private:
    int fd_;
    std::string path_;
};

class TreeSource final : public ChunkSource {
public:
    TreeSource(wgz_dir dir, std::string path) : dir_(dir), path_(std::move(path)) {}
    ~TreeSource() override { wgzDirClose(dir_); }

    int read(std::uint8_t *buffer, int size, Result &error) override {
        int filled = 0;
        while (filled < size) {
            std::uint32_t position = 0;
            const int n = wgzDirRead(dir_, buffer + filled, size - filled, &position);
            if (n < 0) {
                error = Result::error(ErrorKind::failed, "cannot read the tree " + path_ + ": " + wgzDirError(dir_));
                return -1;
            }
            if (n == 0) break;
            filled += n;
        }
        return filled;
    }

private:
    wgz_dir dir_;
    std::string path_;
};

// Writes a new file under a temporary name; `commit` renames it into place.
class NewFileSink final : public ChunkSink {
public:
    NewFileSink(int fd, std::string temp, std::string path)
        : fd_(fd), temp_(std::move(temp)), path_(std::move(path)) {}
    ~NewFileSink() override { abort(); }

    Result write(const std::uint8_t *data, std::size_t size) override {
        return write_all(fd_, data, size, path_);
    }

    Result commit() override {
        if (fd_ < 0) return Result::error(ErrorKind::failed, "the transfer of " + path_ + " was abandoned");
        Result r;
        if (::fsync(fd_) != 0) r = destination_result(errno, "cannot write " + path_);
        const int closed = ::close(fd_);
        fd_ = -1;
        if (r && closed != 0) r = destination_result(errno, "cannot write " + path_);
        if (r && ::rename(temp_.c_str(), path_.c_str()) != 0) r = destination_result(errno, "cannot rename the received file to " + path_);
        if (!r) {
            ::unlink(temp_.c_str());
            return r;
        }
        temp_.clear();
        sync_directory(parent_of(path_));
        return r;
    }

    void abort() override {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        if (!temp_.empty()) ::unlink(temp_.c_str());
        temp_.clear();
    }

private:
    int fd_;
    std::string temp_; // empty once renamed or removed
    std::string path_;
};

// Appends to a file; `abort` restores its former length.
class AppendFileSink final : public ChunkSink {
public:
    AppendFileSink(int fd, std::string path, bool existed, off_t size)
        : fd_(fd), path_(std::move(path)), existed_(existed), size_(size) {}
    ~AppendFileSink() override { abort(); }

    Result write(const std::uint8_t *data, std::size_t size) override {
        return write_all(fd_, data, size, path_);
    }

    Result commit() override {
        if (fd_ < 0) return Result::error(ErrorKind::failed, "the transfer of " + path_ + " was abandoned");
        Result r;
        if (::fsync(fd_) != 0) r = destination_result(errno, "cannot write " + path_);
        if (!r) {
            abort();
            return r;
        }
        ::close(fd_);
        fd_ = -1;
        return r;
    }

    void abort() override {
        if (fd_ < 0) return;
        if (existed_) {
            if (::ftruncate(fd_, size_) != 0)
                std::fprintf(stderr, "zem: cannot cut %s back to %lld bytes: %s\n", path_.c_str(),
                             static_cast<long long>(size_), std::strerror(errno));
        } else {
            ::unlink(path_.c_str());
        }
        ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
    std::string path_;
    bool existed_;
    off_t size_;
};

// Extracts into a directory; a new tree is built under a temporary name.
class TreeSink final : public ChunkSink {
public:
    TreeSink(wgz_dir dir, std::string target, std::string path)
        : dir_(dir), target_(std::move(target)), path_(std::move(path)) {}
    ~TreeSink() override { abort(); }

    Result write(const std::uint8_t *data, std::size_t size) override {
        while (size > 0) {
            const int piece = size > INT_MAX ? INT_MAX : static_cast<int>(size);
            std::uint32_t position = 0;
            const int n = wgzDirWrite(dir_, data, piece, &position);
            if (n < 1) return failure();
            data += n;
            size -= static_cast<std::size_t>(n);
        }
        return {};
    }

    Result commit() override {
        if (!dir_) return Result::error(ErrorKind::failed, "the transfer of " + path_ + " was abandoned");
        if (wgzDirFinish(dir_) != 0) {
            Result r = failure();
            abort();
            return r;
        }
        wgzDirClose(dir_);
        dir_ = 0;
        if (target_ != path_) {
            if (::rename(target_.c_str(), path_.c_str()) != 0) {
                Result r = destination_result(errno, "cannot rename the received tree to " + path_);
                abort();
                return r;
            }
            target_ = path_;
            sync_directory(parent_of(path_));
        }
        return {};
    }

    void abort() override {
        if (dir_) wgzDirClose(dir_);
        dir_ = 0;
        if (target_ != path_) {
            std::error_code ec;
            std::filesystem::remove_all(target_, ec);
            target_ = path_;
        }
    }

private:
    Result failure() const {
        return Result::error(ErrorKind::failed,
                             "cannot extract the received tree into " + path_ + ": " + wgzDirError(dir_));
    }

    wgz_dir dir_;
    std::string target_; // where entries are extracted: path_, or a temporary directory
    std::string path_;
};

} // namespace

std::unique_ptr<ChunkSource> open_file_source(const std::string &path, std::uint64_t offset,
                                              std::uint64_t &size, Result &error) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = errno_result(errno, "cannot open " + path);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno_result(errno, "cannot read " + path);
        ::close(fd);
        return nullptr;
    }
    if (S_ISDIR(st.st_mode)) {
        error = Result::error(ErrorKind::usage, path + " is a directory (use -r for a tree)");
        ::close(fd);
        return nullptr;
    }
    if (!S_ISREG(st.st_mode)) {
        error = Result::error(ErrorKind::usage, path + " is not a regular file");
        ::close(fd);
        return nullptr;
    }
    const auto file_size = static_cast<std::uint64_t>(st.st_size);
    if (offset > file_size) {
        error = Result::error(ErrorKind::usage, "offset " + std::to_string(offset) + " is beyond the end of " +
                                                    path + " (" + std::to_string(file_size) + " bytes)");
        ::close(fd);
        return nullptr;
    }
    if (offset > 0 && ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0) {
        error = errno_result(errno, "cannot seek in " + path);
        ::close(fd);
        return nullptr;
    }
    size = file_size - offset;
    return std::make_unique<FileSource>(fd, path);
}

std::unique_ptr<ChunkSource> open_tree_source(const std::string &directory, std::uint64_t &size,
                                              Result &error) {
    struct stat st {};
    if (::stat(directory.c_str(), &st) != 0) {
        error = errno_result(errno, "cannot open " + directory);
        return nullptr;
    }
    if (!S_ISDIR(st.st_mode)) {
        error = Result::error(ErrorKind::usage, directory + " is not a directory");
        return nullptr;
    }
    std::uint64_t stream_size = 0;
    errno = 0;
    const wgz_dir dir = wgzDirOpen(directory.c_str(), "r", 1000000, 1, 0, &stream_size);
    if (!dir) {
        error = errno_result(errno ? errno : EIO, "cannot read the tree " + directory);
        return nullptr;
    }
    size = stream_size;
    return std::make_unique<TreeSource>(dir, directory);
}

std::unique_ptr<ChunkSink> create_file_sink(const std::string &path, Result &error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        const std::string temp = temporary_name(path);
        const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) return std::make_unique<NewFileSink>(fd, temp, path);
        if (errno != EEXIST) {
            error = destination_result(errno, "cannot create a file in " + parent_of(path));
            return nullptr;
        }
    }
    error = Result::error(ErrorKind::failed, "cannot find a free temporary name in " + parent_of(path));
    return nullptr;
}

std::unique_ptr<ChunkSink> append_file_sink(const std::string &path, Result &error) {
    struct stat st {};
    const bool existed = ::stat(path.c_str(), &st) == 0;
    if (existed && !S_ISREG(st.st_mode)) {
        error = Result::error(ErrorKind::usage, path + " is not a regular file");
        return nullptr;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = destination_result(errno, "cannot open " + path);
        return nullptr;
    }
    if (::fstat(fd, &st) != 0) {
        error = destination_result(errno, "cannot open " + path);
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<AppendFileSink>(fd, path, existed, st.st_size);
}

std::unique_ptr<ChunkSink> create_tree_sink(const std::string &directory, Result &error) {
    struct stat st {};
    std::string target = directory;
    if (::stat(directory.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            error = Result::error(ErrorKind::usage, directory + " exists and is not a directory");
            return nullptr;
        }
    } else if (errno != ENOENT) {
        error = destination_result(errno, "cannot use " + directory);
        return nullptr;
    } else {
        int attempt = 0;
        for (;; ++attempt) {
            target = temporary_name(directory);
            if (::mkdir(target.c_str(), 0777) == 0) break;
            if (errno != EEXIST || attempt == 100) {
                error = destination_result(errno, "cannot create a directory in " + parent_of(directory));
                return nullptr;
            }
        }
    }
    std::uint64_t unused = 0;
    errno = 0;
    const wgz_dir dir = wgzDirOpen(target.c_str(), "w", 1000000, 0, 0, &unused);
    if (!dir) {
        error = destination_result(errno ? errno : EIO, "cannot extract into " + directory);
        if (target != directory) ::rmdir(target.c_str());
        return nullptr;
    }
    return std::make_unique<TreeSink>(dir, target, directory);
}

bool local_file_size(const std::string &path, std::uint64_t &size) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    size = static_cast<std::uint64_t>(st.st_size);
    return true;
}

} // namespace zem
