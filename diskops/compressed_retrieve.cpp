// Retrieval of a file as a gzip image (".gzl") made next to it on the fly,
// a bounded number of compression steps per timer tick.
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "corvel.h"
#include "diskops/file_operations.h"
#include "frame/host_binding.h"
#include "frame/zem_report.h"

static const char kImageSuffix[] = ".gzl";
static const int kStepBytes = 8192;
static const int kStepsPerTick = 128;
static const int kFirstTickMs = 1;
static const int kNextTickMs = 10;

static bool is_image_path(const char *path)
{
    const size_t length = path ? std::strlen(path) : 0;
    return length >= 4 && std::strcmp(path + length - 4, kImageSuffix) == 0;
}

void CFileOperations::discard_stale_image()
{
    if (path && os_is_file_exist(path) && is_image_path(path)) os_remove_file(path, 1);
}

int CFileOperations::start_compression()
{
    if (!is_image_path(path)) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, path ? path : "", 0);
        return ZEM_OP_NOT_FOUND;
    }
    const std::string plain(path, std::strlen(path) - 4);
    struct stat status;
    if (::stat(plain.c_str(), &status) != 0) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, plain.c_str(), 0);
        return ZEM_OP_NOT_FOUND;
    }
    // A repeated compressed retrieve while one runs keeps the one running.
    if (gz_op) return 0;
    gz_op = wgzFileOpCreate(plain.c_str(), path, 1);
    gz_timer = g_binding_a->api->host_add_timer(g_binding_a->handle, compress_step, this, kFirstTickMs);
    return 0;
}

int CFileOperations::compress_step(void *context)
{
    auto *self = static_cast<CFileOperations *>(context);
    const host_binding &a = *g_binding_a;
    if (self->gz_timer) {
        a.api->host_remove_timer(a.handle, self->gz_timer);
        self->gz_timer = 0;
    }
    int result = self->gz_op ? 1 : WGZ_ERR_STATE;
    for (int step = 0; self->gz_op && step < kStepsPerTick; ++step) {
        result = wgzFileOpExecOnSingleBuffer(self->gz_op, kStepBytes);
        if (result <= 0) break;
    }
    if (result == 0) {
        wgzFileOpDestroy(self->gz_op);
        self->gz_op = 0;
        // A final chunk sent here leaves the entry to the purge.
        self->send_chunks();
    } else if (result < 0) {
        if (self->gz_op) wgzFileOpDestroy(self->gz_op);
        self->gz_op = 0;
        self->finished = 1;
        os_remove_file(self->path, 1);
        if (self->manager) {
            if (result == WGZ_ERR_READ || result == WGZ_ERR_WRITE) self->manager->send_error(self->request_id, ZEM_OP_FAILED);
            self->manager->send_error(self->request_id, ZEM_OP_NOT_FOUND);
        }
    } else {
        self->gz_timer = a.api->host_add_timer(a.handle, compress_step, self, kNextTickMs);
    }
    return 0;
}
