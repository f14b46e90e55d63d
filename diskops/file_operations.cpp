#include "diskops/file_operations.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "corvel.h"
#include "frame/host_binding.h"
#include "frame/zem_report.h"

CFileOperations::CFileOperations(const zem_request_data *record, IDiskOperationManager *manager_)
    : CDiskOperations(record, manager_)
{
}

CFileOperations::CFileOperations(const zem_request_data *record, const char *data, int length)
    : CDiskOperations(record, data, length)
{
}

CFileOperations::~CFileOperations()
{
    if (gz_timer) g_binding_a->api->host_remove_timer(g_binding_a->handle, gz_timer);
    if (file) {
        if (action == ZEM_STORE) close_written_file();
        else std::fclose(file);
    }
    if (gz_op) wgzFileOpDestroy(gz_op);
}

static bool exists(const char *path)
{
    struct stat status;
    return path && ::stat(path, &status) == 0;
}

int CFileOperations::retrieve()
{
    if (flags & ZEM_FLAG_GZL) discard_stale_image();
    if (exists(path)) return send_chunks();
    if (flags & ZEM_FLAG_GZL) return start_compression();
    if (!(flags & ZEM_FLAG_QUIET)) zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, path ? path : "", 0);
    return ZEM_OP_NOT_FOUND;
}

int CFileOperations::send_chunks()
{
    Burst burst;
    if (!begin_burst(burst)) return -1;
    if (!exists(path)) {
        if (!(flags & ZEM_FLAG_QUIET)) zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_FOUND, path ? path : "", 0);
        return ZEM_OP_NOT_FOUND;
    }
    bool first_chunk = false;
    if (!file) {
        first_chunk = true;
        file = std::fopen(path, "rb");
        if (!file) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_FILE_OPEN_FAILED, path, 0);
            return -1;
        }
        if (offset > 0 && std::fseek(file, offset, SEEK_SET) < 0) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_SEEK_FAILED, path, offset, 0);
            return -1;
        }
    }
    if (window.is_full()) return ZEM_OP_MORE;

    const size_t buffer_size = static_cast<size_t>(burst.buffer_size);
    int result = ZEM_OP_MORE;
    for (;;) {
        const size_t n = std::fread(burst.read_buffer, 1, buffer_size, file);
        if (std::ferror(file)) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_READ_FAILED, path, 0);
            return -1;
        }
        zem_trace("ZEM TRACE: fread read %ld bytes", static_cast<long>(n));
        const bool at_end = std::feof(file) != 0;
        const int final = (n < buffer_size || at_end) ? 1 : 0;
        const uint64_t total_size = first_chunk ? os_get_file_size(path) : 0;
        first_chunk = false;
        const int sent = send_chunk(burst, static_cast<int>(n), final, total_size, false);
        if (sent < 0) return sent;
        result = final ? ZEM_OP_FINAL_SENT : ZEM_OP_MORE;
        if (n == 0 || at_end) {
            finished = 1;
            std::fclose(file);
            file = nullptr;
            break;
        }
        if (window.is_full()) break;
    }
    return result;
}

FILE *open_for_write(const char *path, int append)
{
    if (!exists(path)) {
        const std::string directory = directory_of(path);
        if (!os_is_dir_exist(directory.c_str())) {
            const os_status status = os_make_path(directory.c_str());
            if (status != OS_STATUS_SUCCESS) {
#ifdef ZEM_LEGACY_BUILD
                zem_report(ZEM_MSG_ERROR, ZEM_RC_MAKE_PATH_FAILED, path, static_cast<int>(status), 0);
#else
                if (errno == ENOENT)
                    zem_report(ZEM_MSG_ERROR, ZEM_RC_MAKE_PATH_ENOENT, directory.c_str(), static_cast<int>(status), 0);
                else
                    zem_report(ZEM_MSG_ERROR, ZEM_RC_MAKE_PATH_FAILED, path, static_cast<int>(status), 0);
#endif
                return nullptr;
            }
        }
    }
    FILE *stream = std::fopen(path, append ? "ab" : "wb");
    if (!stream) {
        const int error = errno;
        if (error == ENOENT)
            zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_ENOENT, path, 0);
        else
            zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_ERRNO, path, std::strerror(error), 0);
    }
    return stream;
}

static const char *localhost_name()
{
    return zem_get_attrib("localhost");
}

int CFileOperations::store()
{
    const int buffer_size = zem_attrib_int("zem_buffer_size");
    if (!dest_path) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_FILE_OPEN_FAILED, "", 0);
        return ZEM_RC_WRITE_FAILED;
    }
    if (!file) {
        file = open_for_write(dest_path, offset != 0);
        if (!file) {
            const SpaceCheck space(dest_path);
            if (chunk_length > 0 && space.free_bytes < static_cast<uint64_t>(chunk_length)) {
                zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_SPACE_ON_HOST, localhost_name(), space.directory.c_str(), 0);
                return ZEM_OP_NO_SPACE;
            }
            zem_report(ZEM_MSG_ERROR, ZEM_RC_FILE_OPEN_FAILED, dest_path, 0);
            return ZEM_RC_WRITE_FAILED;
        }
    }
    int written = 0;
    while (written < chunk_length) {
        const int left = chunk_length - written;
        const int piece = buffer_size > 0 && buffer_size < left ? buffer_size : left;
        const size_t count = std::fwrite(chunk_data + written, 1, static_cast<size_t>(piece), file);
        if (count == 0) {
            const SpaceCheck space(dest_path);
            if (space.free_bytes <= static_cast<uint64_t>(piece)) {
                zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_SPACE_ON_HOST, localhost_name(), space.directory.c_str(), 0);
                return ZEM_OP_NO_SPACE;
            }
            zem_report(ZEM_MSG_ERROR, ZEM_RC_WRITE_FAILED, dest_path, 0);
            return ZEM_RC_WRITE_FAILED;
        }
        written += static_cast<int>(count);
    }
    return 0;
}

int CFileOperations::close_written_file()
{
    // Flush and sync first so that a full disk shows here, not after the
    // requester was told the data is stored.
    bool failed = std::fflush(file) != 0;
    if (!failed && ::fsync(fileno(file)) != 0 && errno != EINVAL && errno != EROFS) failed = true;
    if (std::fclose(file) != 0) failed = true;
    file = nullptr;
    if (!failed) return 0;
    const SpaceCheck space(dest_path);
    if (space.free_bytes > static_cast<uint64_t>(zem_attrib_int("zem_buffer_size"))) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_WRITE_FAILED, dest_path ? dest_path : "", 0);
        return ZEM_RC_WRITE_FAILED;
    }
    zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_SPACE_ON_HOST, localhost_name(), space.directory.c_str(), 0);
    return ZEM_OP_NO_SPACE;
}

int CFileOperations::complete_store()
{
    return file ? close_written_file() : 0;
}

int CFileOperations::remove()
{
    switch (os_remove_file(path ? path : "", 1)) {
    case OS_STATUS_SUCCESS: return 0;
    case OS_STATUS_NOT_FOUND: return ZEM_OP_NOT_FOUND;
    default: return -60;
    }
}
