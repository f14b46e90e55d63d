// Removal of files and trees. Trees are walked through directory
// descriptors opened with O_NOFOLLOW, so a symbolic link met anywhere (or
// swapped in during the walk) is removed as a link and never followed.
#include "internal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// Keeps the first failure of a walk that goes on after it.
struct Outcome {
    int first_error = 0;
    void fail(int error)
    {
        if (first_error == 0) {
            first_error = error;
        }
    }
};

// The names in the directory open at fd, without "." and "..".
bool list_names(int fd, std::vector<std::string> *names, int *error)
{
    int listing_fd = ::dup(fd);
    if (listing_fd < 0) {
        *error = errno;
        return false;
    }
    DIR *listing = ::fdopendir(listing_fd);
    if (listing == nullptr) {
        *error = errno;
        ::close(listing_fd);
        return false;
    }
    errno = 0;
    while (dirent *entry = ::readdir(listing)) {
        std::string_view name = entry->d_name;
        if (name != "." && name != "..") {
            names->emplace_back(name);
        }
        errno = 0;
    }
    *error = errno;
    ::closedir(listing);
    return *error == 0;
}

// Removes name inside the directory open at parent_fd; a directory with
// everything in it. Entries that vanish meanwhile are not failures.
void remove_entry(int parent_fd, const char *name, Outcome *outcome)
{
    struct stat info;
    if (::fstatat(parent_fd, name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
        if (errno != ENOENT) {
            outcome->fail(errno);
        }
        return;
    }
    if (!S_ISDIR(info.st_mode)) {
        if (::unlinkat(parent_fd, name, 0) != 0 && errno != ENOENT) {
            outcome->fail(errno);
        }
        return;
    }
    int fd = ::openat(parent_fd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR) {
            // Replaced by a link or a file since the fstatat: remove that.
            if (::unlinkat(parent_fd, name, 0) != 0 && errno != ENOENT) {
                outcome->fail(errno);
            }
        } else if (errno != ENOENT) {
            outcome->fail(errno);
        }
        return;
    }
    std::vector<std::string> names;
    int error = 0;
    if (!list_names(fd, &names, &error)) {
        outcome->fail(error);
    }
    for (const std::string &child : names) {
        remove_entry(fd, child.c_str(), outcome);
    }
    ::close(fd);
    if (::unlinkat(parent_fd, name, AT_REMOVEDIR) != 0 && errno != ENOENT) {
        outcome->fail(errno);
    }
}

// The path without trailing separators, so that a trailing '/' does not make
// the system follow a final symbolic link.
std::string without_trailing_separators(const char *path)
{
    std::string text(path);
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

bool names_dot_or_dot_dot(const std::string &path)
{
    size_t slash = path.rfind('/');
    std::string_view last = std::string_view(path).substr(slash == std::string::npos ? 0 : slash + 1);
    return last == "." || last == "..";
}

}  // namespace

extern "C" {

os_status os_remove_file(const char *path, int /*flags*/)
{
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return OS_STATUS_NOT_FOUND;
    }
    if (::unlink(path) != 0) {
        return corvel::status_of_errno(errno, true);
    }
    return OS_STATUS_SUCCESS;
}

os_status os_remove_minus_r(const char *path, int /*flags*/, int /*flags2*/)
{
    if (path == nullptr || path[0] == '\0') {
        errno = ENOENT;
        return OS_STATUS_NOT_FOUND;
    }
    try {
        std::string target = without_trailing_separators(path);
        struct stat info;
        if (::lstat(target.c_str(), &info) != 0) {
            return corvel::status_of_errno(errno, true);
        }
        // Like rm, refuse the root and the names "." and "..".
        if (target == "/") {
            errno = EPERM;
            return OS_STATUS_ACCESS_DENIED;
        }
        if (names_dot_or_dot_dot(target)) {
            errno = EINVAL;
            return OS_STATUS_IO_ERROR;
        }
        Outcome outcome;
        remove_entry(AT_FDCWD, target.c_str(), &outcome);
        if (outcome.first_error != 0) {
            errno = outcome.first_error;
            return corvel::status_of_errno(outcome.first_error, false);
        }
        return OS_STATUS_SUCCESS;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return OS_STATUS_IO_ERROR;
    }
}

}  // extern "C"
