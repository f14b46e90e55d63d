// Directory listing. The record and its path are maw_malloc blocks so that
// allocation failures reach these calls too.
#include "internal.h"
#include "trellis.h"

#include <dirent.h>

#include <cerrno>
#include <cstring>

extern "C" {

os_dir *os_opendir(const char *directory, int *error)
{
    int ignored = 0;
    int &failure = error != nullptr ? *error : ignored;
    if (directory == nullptr) {
        failure = EINVAL;
        return nullptr;
    }
    DIR *stream = ::opendir(directory);
    if (stream == nullptr) {
        failure = errno;
        return nullptr;
    }
    size_t length = std::strlen(directory);
    auto *record = static_cast<os_dir *>(maw_malloc(sizeof(os_dir)));
    char *path = static_cast<char *>(maw_malloc(length + 1));
    if (record == nullptr || path == nullptr) {
        maw_free(record);
        maw_free(path);
        ::closedir(stream);
        failure = ENOMEM;
        errno = ENOMEM;
        return nullptr;
    }
    std::memcpy(path, directory, length + 1);
    record->path = path;
    record->impl = stream;
    return record;
}

const char *os_readdir(os_dir *dir)
{
    if (dir == nullptr || dir->impl == nullptr) {
        return nullptr;
    }
    dirent *entry = ::readdir(static_cast<DIR *>(dir->impl));
    return entry != nullptr ? entry->d_name : nullptr;
}

void os_closedir(os_dir *dir)
{
    if (dir == nullptr) {
        return;
    }
    if (dir->impl != nullptr) {
        ::closedir(static_cast<DIR *>(dir->impl));
    }
    maw_free(dir->path);
    maw_free(dir);
}

}  // extern "C"
