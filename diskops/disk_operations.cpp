#include "diskops/disk_operations.h"

#include <cstring>
#include <vector>

#include "corvel.h"
#include "frame/host_binding.h"
#include "frame/zem_report.h"
#include "trellis.h"
#include "wire/xdr_zem_request_data.h"

// A maw_malloc copy of text and its length; false when the copy failed.
static bool copy_path(const char *text, char **copy, int32_t *length)
{
    *copy = nullptr;
    *length = 0;
    if (!text) return true;
    const size_t size = std::strlen(text);
    *copy = static_cast<char *>(maw_malloc(size + 1));
    if (!*copy) return false;
    std::memcpy(*copy, text, size + 1);
    *length = static_cast<int32_t>(size);
    return true;
}

void CDiskOperations::copy_identity(const zem_request_data *record)
{
    request_id = record->request_id;
    action = record->action;
    flags = record->flags;
    offset = record->offset;
    window.size = zem_attrib_int("zem_window_size");
    window.used = 0;
    constructed_ = copy_path(record->source, &path, &path_len) &&
                   copy_path(record->destination, &dest_path, &dest_path_len);
}

CDiskOperations::CDiskOperations(const zem_request_data *record, IDiskOperationManager *manager_)
    : manager(manager_)
{
    copy_identity(record);
    chunk_data = record->data;
    chunk_length = record->length;
}

CDiskOperations::CDiskOperations(const zem_request_data *record, const char *data, int length)
{
    copy_identity(record);
    chunk_data = data;
    chunk_length = length;
}

CDiskOperations::~CDiskOperations()
{
    maw_free(path);
    maw_free(dest_path);
}

void CDiskOperations::set_chunk(const zem_request_data *record)
{
    chunk_length = record->length;
    chunk_data = record->data;
}

int CDiskOperations::on_ack(const zem_request_data *ack)
{
    // A final acknowledgement ends the transfer in the dispatcher.
    if (ack->final) return 0;
    window.open();
    zem_trace("ZEM TRACE: opened window. Used is now %d", window.used);
    if (finished) return 0;
    return burst() == ZEM_OP_FINAL_SENT ? 1 : 0;
}

CDiskOperations::Burst::~Burst()
{
    maw_free(read_buffer);
    maw_free(encode_buffer);
}

bool CDiskOperations::begin_burst(Burst &burst) const
{
    burst.buffer_size = zem_attrib_int("zem_buffer_size");
    burst.net_dir = zem_get_attrib("netdir_path");
    burst.encode_size = zem_encoded_size_bound(path ? path_len : -1, dest_path ? dest_path_len : -1,
                                               burst.net_dir ? static_cast<int>(std::strlen(burst.net_dir)) : -1,
                                               burst.buffer_size);
    if (burst.buffer_size >= 0) {
        burst.read_buffer = static_cast<char *>(maw_malloc(static_cast<size_t>(burst.buffer_size) + 1));
        if (burst.read_buffer) burst.encode_buffer = static_cast<char *>(maw_malloc(static_cast<size_t>(burst.encode_size)));
    }
    if (!burst.read_buffer || !burst.encode_buffer) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
        return false;
    }
    return true;
}

int CDiskOperations::send_chunk(Burst &burst, int n, int final, uint64_t total_size, bool finish_on_final)
{
    zem_request_data chunk{};
    chunk.request_id = request_id;
    chunk.action = action;
    chunk.flags = flags;
    chunk.offset = offset;
    chunk.source = path;
    chunk.destination = dest_path;
    chunk.net_dir = const_cast<char *>(burst.net_dir);
    chunk.length = n;
    chunk.final = final;
    chunk.total_size = total_size;
    chunk.data = burst.read_buffer;
    if (final)
        zem_trace("ZEM TRACE: Sending FINAL TRANSFER byte_count=%ld bufsize=%ld", static_cast<long>(n),
                  static_cast<long>(burst.buffer_size));

    const int length = zem_encode_record(&chunk, burst.encode_buffer, burst.encode_size, burst.buffer_size);
    if (length < 0) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_ENCODE_FAILED, "xdr_zem_request_data", 0);
        return ZEM_OP_ENCODE_FAILED;
    }
    if (final && finish_on_final) finished = 1;
    const int sent = manager ? manager->send_data(burst.encode_buffer, length) : -1;
    if (sent != 0) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_SEND_FAILED, sender_name(), sent, 0);
        return -1;
    }
    if (n > 0) window.close();
    zem_trace("ZEM TRACE: closed window. Used is now %d", window.used);
    return 0;
}

std::string directory_of(const char *path)
{
    const char *text = path ? path : "";
    std::vector<char> buffer(std::strlen(text) + 2, '\0');
    if (os_get_dir_name(text, buffer.data(), buffer.size()) != OS_STATUS_SUCCESS) return std::string(".");
    return std::string(buffer.data());
}

SpaceCheck::SpaceCheck(const char *path) : directory(directory_of(path))
{
    free_bytes = os_get_free_disk_space(directory.c_str());
}
