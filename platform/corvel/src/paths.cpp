// Paths, existence, directory creation, sizes and free space.
#include "internal.h"

#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace corvel {

std::string dir_name(std::string_view path)
{
    size_t end = path.find_last_not_of('/');
    if (end == std::string_view::npos) {
        return path.empty() ? "." : "/";
    }
    size_t slash = path.rfind('/', end);
    if (slash == std::string_view::npos) {
        return ".";
    }
    size_t parent_end = path.find_last_not_of('/', slash);
    if (parent_end == std::string_view::npos) {
        return "/";
    }
    return std::string(path.substr(0, parent_end + 1));
}

}  // namespace corvel

namespace {

bool is_directory(const char *path)
{
    struct stat info;
    return ::stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// Creates one level above the last; an existing directory counts as
// created, and anything else in its place means the path cannot go on.
bool make_level(const std::string &path)
{
    if (::mkdir(path.c_str(), 0777) == 0) {
        return true;
    }
    int error = errno;
    if (is_directory(path.c_str())) {
        return true;
    }
    errno = error == EEXIST ? ENOTDIR : error;
    return false;
}

os_status make_path_failure(int error)
{
    errno = error;
    return error == ENOENT ? OS_STATUS_NOT_FOUND : corvel::status_of_errno(error, false);
}

// Creates every level that ends before a separator, then the whole path.
os_status make_missing_levels(const char *directory)
{
    std::string path(directory);
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        if (path[pos - 1] == '/') {
            continue;
        }
        if (!make_level(path.substr(0, pos))) {
            return make_path_failure(errno);
        }
    }
    if (::mkdir(path.c_str(), 0777) == 0) {
        return OS_STATUS_SUCCESS;
    }
    int error = errno;
    if (is_directory(path.c_str())) {
        return OS_STATUS_SUCCESS;
    }
    return make_path_failure(error);
}

}  // namespace

extern "C" {

os_status os_get_tmp_dir(int /*kind*/, int /*flags*/, char *buffer, size_t size)
{
    const char *configured = std::getenv("TMPDIR");
    std::string_view directory =
        configured != nullptr && configured[0] != '\0' ? configured : "/tmp";
    size_t end = directory.find_last_not_of('/');
    // A TMPDIR of only separators is the root itself.
    directory = end == std::string_view::npos ? directory.substr(0, 1) : directory.substr(0, end + 1);
    return corvel::copy_out(directory, buffer, size);
}

int os_is_file_exist(const char *path)
{
    struct stat info;
    return path != nullptr && ::stat(path, &info) == 0;
}

int os_is_dir_exist(const char *directory)
{
    return directory != nullptr && is_directory(directory);
}

os_status os_make_path(const char *directory)
{
    if (auto error = corvel::take_make_path_failure()) {
        return make_path_failure(*error != 0 ? *error : EIO);
    }
    if (directory == nullptr) {
        return make_path_failure(EINVAL);
    }
    if (directory[0] == '\0') {
        return make_path_failure(ENOENT);
    }
    if (is_directory(directory)) {
        return OS_STATUS_SUCCESS;
    }
    try {
        return make_missing_levels(directory);
    } catch (const std::bad_alloc &) {
        return make_path_failure(ENOMEM);
    }
}

os_status os_get_dir_name(const char *path, char *buffer, size_t size)
{
    if (path == nullptr) {
        errno = EINVAL;
        return OS_STATUS_IO_ERROR;
    }
    try {
        return corvel::copy_out(corvel::dir_name(path), buffer, size);
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return OS_STATUS_IO_ERROR;
    }
}

uint64_t os_get_free_disk_space(const char *directory)
{
    if (auto bytes = corvel::free_space_override()) {
        return *bytes;
    }
    if (directory == nullptr) {
        return 0;
    }
    try {
        std::string path = directory[0] != '\0' ? directory : ".";
        for (;;) {
            struct statvfs volume;
            if (::statvfs(path.c_str(), &volume) == 0) {
                uint64_t bytes = 0;
                if (__builtin_mul_overflow(static_cast<uint64_t>(volume.f_bavail),
                                           static_cast<uint64_t>(volume.f_frsize), &bytes)) {
                    return UINT64_MAX;
                }
                return bytes;
            }
            if (errno != ENOENT && errno != ENOTDIR) {
                return 0;
            }
            std::string parent = corvel::dir_name(path);
            if (parent == path) {
                return 0;
            }
            path = std::move(parent);
        }
    } catch (const std::bad_alloc &) {
        return 0;
    }
}

uint64_t os_get_file_size(const char *path)
{
    struct stat info;
    if (path == nullptr || ::stat(path, &info) != 0 || info.st_size < 0) {
        return OS_SIZE_UNKNOWN;
    }
    return static_cast<uint64_t>(info.st_size);
}

}  // extern "C"
