#include "diskops/disk_usage.h"

#include <sys/stat.h>

#include <cstring>
#include <string>

#include "frame/secure_paths.h"
#include "frame/zem_report.h"
#include "service/zem_svc.h"
#include "trellis.h"

const char *next_dir_entry(os_dir *directory)
{
    while (const char *name = os_readdir(directory)) {
        if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) return name;
    }
    return nullptr;
}

uint64_t dir_disk_usage(const char *directory)
{
    int error = 0;
    os_dir *dir = os_opendir(directory, &error);
    if (!dir) return OS_SIZE_UNKNOWN;
    uint64_t sum = 0;
    while (const char *name = next_dir_entry(dir)) {
        const std::string entry = std::string(dir->path) + '/' + name;
        // Symbolic links are measured as what they point to, as stat sees
        // them; a directory link is not followed into a loop-prone walk.
        struct stat status;
        struct stat link_status;
        if (::lstat(entry.c_str(), &link_status) != 0) continue;
        if (S_ISLNK(link_status.st_mode)) {
            if (::stat(entry.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) continue;
        } else {
            status = link_status;
        }
        // An unreadable subdirectory or file adds nothing: only the measured
        // path's own failure means "not found".
        const uint64_t size = S_ISDIR(status.st_mode) ? dir_disk_usage(entry.c_str()) : os_get_file_size(entry.c_str());
        if (size != OS_SIZE_UNKNOWN) sum += size;
    }
    os_closedir(dir);
    return sum;
}

int disk_usage(CZemSvc *service, const zem_request_data *request)
{
    zem_request_log("disk_usage() : request = %d source = %s\n", request->request_id, request->source);
    const char *source = request->source ? request->source : "";
    const size_t length = std::strlen(source) + 1;
    char *path = static_cast<char *>(maw_malloc(length));
    if (!path) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
        return -1;
    }
    std::memcpy(path, source, length);
    if (!(request->flags & ZEM_FLAG_LOCAL_PATH) && map_net_path(&path, request->flags) != 0) {
        // A path that cannot be mapped is answered as one that does not exist.
        service->send_status(request->request_id, ZEM_NOT_FOUND);
        maw_free(path);
        return -1;
    }
    const uint64_t size = (request->flags & ZEM_FLAG_DIRECTORY) ? dir_disk_usage(path) : os_get_file_size(path);
    int result = -1;
    if (size == OS_SIZE_UNKNOWN) {
        if (!(request->flags & ZEM_FLAG_QUIET)) zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, path, 0);
        service->send_status(request->request_id, ZEM_NOT_FOUND);
    } else {
        zem_request_data reply{};
        reply.request_id = request->request_id;
        reply.action = ZEM_DISK_USAGE;
        reply.total_size = size;
        int sent = 0;
        if (send_reply_record(service, reply, &sent)) result = 0;
    }
    maw_free(path);
    return result;
}
