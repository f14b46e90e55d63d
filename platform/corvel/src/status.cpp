#include "internal.h"

#include <cerrno>
#include <cstring>

namespace corvel {

os_status status_of_errno(int error, bool missing_means_not_found)
{
    switch (error) {
    case EACCES:
    case EPERM:
    case EROFS:
        return OS_STATUS_ACCESS_DENIED;
    case ENOENT:
    case ENOTDIR:
        return missing_means_not_found ? OS_STATUS_NOT_FOUND : OS_STATUS_IO_ERROR;
    default:
        return OS_STATUS_IO_ERROR;
    }
}

os_status copy_out(std::string_view text, char *buffer, size_t size)
{
    if (buffer == nullptr || size <= text.size()) {
        if (buffer != nullptr && size > 0) {
            buffer[0] = '\0';
        }
        errno = ENAMETOOLONG;
        return OS_STATUS_TOO_LONG;
    }
    std::memcpy(buffer, text.data(), text.size());
    buffer[text.size()] = '\0';
    return OS_STATUS_SUCCESS;
}

}  // namespace corvel
