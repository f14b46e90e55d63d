#include "diskops/dir_operations.h"

#include <sys/stat.h>

#include "corvel.h"
#include "frame/host_binding.h"
#include "frame/zem_report.h"

// The stream's buffering hint, as the service has always passed it.
static const int kStreamBlockHint = 1000000;

CDirAsFileOperations::CDirAsFileOperations(const zem_request_data *record, IDiskOperationManager *manager_)
    : CDiskOperations(record, manager_)
{
}

CDirAsFileOperations::~CDirAsFileOperations()
{
    if (dir_stream) wgzDirClose(dir_stream);
    dir_stream = 0;
}

int CDirAsFileOperations::retrieve()
{
    Burst burst;
    if (!begin_burst(burst)) return -1;
    bool opening_call = false;
    uint64_t stream_size = 0;
    if (!dir_stream) {
        struct stat status;
        if (!path || ::stat(path, &status) != 0) {
            if (!(flags & ZEM_FLAG_QUIET)) zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, path ? path : "", 0);
            return ZEM_OP_NOT_FOUND;
        }
        dir_stream = wgzDirOpen(path, "r", kStreamBlockHint, 1, 0, &stream_size);
        if (!dir_stream) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_DIR_OPEN_FAILED, path, 0);
            return -1;
        }
        opening_call = true;
    }
    if (window.is_full()) return ZEM_OP_MORE;

    int result = ZEM_OP_MORE;
    for (;;) {
        uint32_t position = 0;
        const int n = wgzDirRead(dir_stream, burst.read_buffer, burst.buffer_size, &position);
        if (n < 0) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_DIR_READ_FAILED, path, -1, 0);
            return -1;
        }
        zem_trace("ZEM TRACE: fread read %ld bytes", static_cast<long>(n));
        const int final = (n < burst.buffer_size || n == 0) ? 1 : 0;
        const uint64_t total_size = opening_call ? stream_size : 0;
        opening_call = false;
        const int sent = send_chunk(burst, n, final, total_size, true);
        if (sent < 0) return sent;
        result = final ? ZEM_OP_FINAL_SENT : ZEM_OP_MORE;
        if (n == 0) {
            finished = 1;
            break;
        }
        if (window.is_full()) break;
    }
    return result;
}

int CDirAsFileOperations::store()
{
    const int buffer_size = zem_attrib_int("zem_buffer_size");
    if (!dir_stream) {
        uint64_t unused = 0;
        dir_stream = dest_path ? wgzDirOpen(dest_path, "w", kStreamBlockHint, 0, 0, &unused) : 0;
        if (!dir_stream) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_DIR_OPEN_FAILED, dest_path ? dest_path : "", 0);
            return ZEM_RC_WRITE_FAILED;
        }
    }
    int written = 0;
    while (written < chunk_length) {
        const int left = chunk_length - written;
        const int piece = buffer_size > 0 && buffer_size < left ? buffer_size : left;
        uint32_t position = 0;
        const int w = wgzDirWrite(dir_stream, chunk_data + written, piece, &position);
        if (w < 1) return write_failed(piece, w);
        written += w;
    }
    return 0;
}

int CDirAsFileOperations::write_failed(int piece, int write_result)
{
    const char *host = zem_get_attrib("localhost");
    const SpaceCheck space(dest_path);
    if (space.free_bytes > static_cast<uint64_t>(piece)) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_DIR_WRITE_FAILED, dest_path, write_result, 0);
        return -45;
    }
    if (host)
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_SPACE_ON_HOST, host, dest_path, 0);
    else
        zem_report(ZEM_MSG_ERROR, ZEM_RC_DIR_NO_SPACE, dest_path, 0);
    return ZEM_OP_NO_SPACE;
}

int CDirAsFileOperations::complete_store()
{
    if (!dir_stream) return 0;
    // The tree is whole only once the extraction has consumed the stream.
    if (wgzDirFinish(dir_stream) == 0) return 0;
    return write_failed(0, -1);
}

int CDirAsFileOperations::remove()
{
    switch (os_remove_minus_r(path ? path : "", 1, 0)) {
    case OS_STATUS_NOT_FOUND:
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, path ? path : "", 0);
        return ZEM_OP_NOT_FOUND;
    case OS_STATUS_ACCESS_DENIED:
        zem_report(ZEM_MSG_ERROR, ZEM_RC_RMTREE_DENIED, path, 0);
        return -42;
    case OS_STATUS_IO_ERROR:
        zem_report(ZEM_MSG_ERROR, ZEM_RC_RMTREE_FAILED, path, 0);
        return -43;
    default: return 0;
    }
}
