#include "service/dispatch.h"

#include <cstring>
#include <new>

#include "diskops/dir_operations.h"
#include "diskops/disk_usage.h"
#include "diskops/file_operations.h"
#include "frame/host_binding.h"
#include "frame/secure_paths.h"
#include "frame/zem_report.h"
#include "trellis.h"
#include "wire/xdr_zem_request_data.h"

namespace {

uint32_t read_u32(const unsigned char *bytes)
{
    return (uint32_t(bytes[0]) << 24) | (uint32_t(bytes[1]) << 16) | (uint32_t(bytes[2]) << 8) | bytes[3];
}

// The data count a message carried: the record does not keep it. Only for a
// message that decoded, so every field read lies inside it.
int decoded_data_count(const unsigned char *message)
{
    size_t position = 12; // request_id, action, flags
    for (int string = 0; string < 3; ++string) {
        const uint32_t length = read_u32(message + position);
        position += 4 + ((size_t(length) + 3) & ~size_t(3));
    }
    position += 20; // offset, length, final, total_size
    return static_cast<int>(read_u32(message + position));
}

// A decoded message, released on every path.
class DecodedRecord {
public:
    DecodedRecord() = default;
    ~DecodedRecord() { zem_release_decoded(&record); }
    DecodedRecord(const DecodedRecord &) = delete;
    DecodedRecord &operator=(const DecodedRecord &) = delete;

    // Decodes buffer; false after reporting a message that does not decode.
    bool decode(const void *buffer, int length)
    {
        if (!buffer || length < 0 ||
            zem_decode_record(buffer, length, &record, zem_attrib_int("zem_buffer_size")) != 0) {
            zem_report(ZEM_MSG_ERROR, ZEM_RC_DECODE_FAILED, "xdr_zem_request_data", 0);
            return false;
        }
        data_count = decoded_data_count(static_cast<const unsigned char *>(buffer));
        return true;
    }

    zem_request_data record{};
    int data_count = 0; // bytes the message carried in `data`
};

// A maw_malloc copy of text, or null (for null text too).
char *copy_string(const char *text)
{
    if (!text) return nullptr;
    const size_t size = std::strlen(text) + 1;
    char *copy = static_cast<char *>(maw_malloc(size));
    if (copy) std::memcpy(copy, text, size);
    return copy;
}

CDiskOperations *create_operation(CZemSvc *service, zem_request_data *copy)
{
    if (copy->flags & ZEM_FLAG_DIRECTORY) return new (std::nothrow) CDirAsFileOperations(copy, service);
    if (copy->action == ZEM_STORE)
        return new (std::nothrow) CFileOperations(copy, copy->data, copy->length);
    return new (std::nothrow) CFileOperations(copy, service);
}

} // namespace

CDiskOperations *find_or_create_operation(CZemSvc *service, zem_request_data *request, int *failure)
{
    if (failure) *failure = ZEM_OP_FAILED;
    const RequestKey key(request->request_id);
    if (zem_request_data *entry = service->table->Get(key.text)) {
        auto *operation = static_cast<CDiskOperations *>(entry->operation);
        operation->set_chunk(request);
        return operation;
    }

    zem_request_data *copy = zem_request_data_copy(request);
    if (!copy) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
        return nullptr;
    }
    const bool mapped = !(copy->flags & ZEM_FLAG_LOCAL_PATH);
    int status = 0;
    if (copy->action == ZEM_STORE) {
        if (!copy->destination || !*copy->destination) {
            maw_free(copy->destination);
            copy->destination = copy_string(copy->source);
        }
        if (mapped) status = map_net_path(&copy->destination, copy->flags);
    } else if (mapped) {
        status = map_net_path(&copy->source, copy->flags);
    }
    if (status != 0) { // reported by the mapping
        if (failure && status == ZEM_RC_NOT_SECURE) *failure = ZEM_RESULT_BAD_PATH;
        zem_request_data_free(copy);
        return nullptr;
    }

    CDiskOperations *operation = create_operation(service, copy);
    if (!operation || !operation->constructed() || service->table->Add(key.text, copy) != 0) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
        delete operation;
        zem_request_data_free(copy);
        return nullptr;
    }
    copy->operation = operation;
    return operation;
}

int send_ack_reply(CZemSvc *service, int code, int request_id, int final)
{
    zem_request_data reply{};
    reply.request_id = request_id;
    reply.action = code == 0 ? ZEM_ACK : code;
    reply.final = final;
    int sent = 0;
    return send_reply_record(service, reply, &sent) ? 0 : -1;
}

int send_retrieve_done(CZemSvc *service, int request_id)
{
    zem_request_data reply{};
    reply.request_id = request_id;
    reply.action = ZEM_RETRIEVE;
    reply.final = 1;
    int sent = 0;
    return send_reply_record(service, reply, &sent) ? sent : -1;
}

// A store chunk may only announce bytes it carries.
static bool chunk_is_whole(const zem_request_data *request, int data_count)
{
    return request->length <= 0 || (request->data && request->length <= data_count);
}

int store(CZemSvc *service, zem_request_data *request, int data_count)
{
    zem_request_log("store() : request = %d source = %s\n", request->request_id, request->source);
    const int id = request->request_id;
    if (!chunk_is_whole(request, data_count)) {
        // Nothing is opened or written for a chunk that would read past its data.
        zem_report(ZEM_MSG_ERROR, ZEM_RC_DECODE_FAILED, "xdr_zem_request_data", 0);
        send_ack_reply(service, ZEM_OP_FAILED, id, 0);
        return 0;
    }
    int failure = 0;
    CDiskOperations *operation = find_or_create_operation(service, request, &failure);
    if (!operation) {
        send_ack_reply(service, failure, id, 0);
        return 0;
    }
    int rc = operation->store();
    if (rc >= 0 && request->final) {
        // The final acknowledgement promises the data is on disk: complete the
        // store first and answer its failure instead.
        rc = operation->complete_store();
        send_ack_reply(service, rc < 0 ? rc : 0, id, 1);
        service->table->Delete(RequestKey(id).text);
        return 0;
    }
    send_ack_reply(service, rc < 0 ? rc : 0, id, 0);
    return 0;
}

int retrieve(CZemSvc *service, zem_request_data *request)
{
    zem_request_log("retrieve() : request = %d source = %s\n", request->request_id, request->source);
    const int id = request->request_id;
    CDiskOperations *operation = find_or_create_operation(service, request);
    if (!operation) {
        service->send_status(id, ZEM_FAILED);
        return ZEM_OP_FAILED;
    }
    const int rc = operation->retrieve();
    switch (rc) {
    case -47: service->send_status(id, ZEM_NOT_FOUND); break;
    case -46: service->send_status(id, ZEM_NO_SPACE); break;
    case -40: service->send_status(id, ZEM_FAILED); break;
    case 2:
        if (request->flags & ZEM_FLAG_DIRECTORY) send_retrieve_done(service, id);
        service->table->Delete(RequestKey(id).text);
        break;
    default: break;
    }
    return rc;
}

int remove(CZemSvc *service, zem_request_data *request)
{
    zem_request_log("remove() : request = %d source = %s\n", request->request_id, request->source);
    const int id = request->request_id;
    int failure = 0;
    CDiskOperations *operation = find_or_create_operation(service, request, &failure);
    if (!operation) {
        send_ack_reply(service, failure, id, 1);
        return failure;
    }
    const int rc = operation->remove();
    send_ack_reply(service, rc, id, 1);
    service->table->Delete(RequestKey(id).text);
    return rc;
}

int terminate(CZemSvc *service, zem_request_data *request)
{
    zem_request_log("terminate() : request = %d\n", request->request_id);
    const RequestKey key(request->request_id);
    if (!service->table->Get(key.text)) return -1;
    service->table->Delete(key.text);
    return 0;
}

int handle_request(void *context, const void *buffer, int length)
{
    auto *service = static_cast<CZemSvc *>(context);
    DecodedRecord decoded;
    if (!decoded.decode(buffer, length)) return 0;
    zem_request_data *request = &decoded.record;
    if (service->secure && !check_request_paths(request)) return 0;
    if (!service->table) { // nothing can be kept without the table
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
        return 0;
    }

    switch (request->action) {
    case ZEM_STORE: store(service, request, decoded.data_count); break;
    case ZEM_RETRIEVE: retrieve(service, request); break;
    case ZEM_REMOVE: remove(service, request); break;
    case ZEM_DISK_USAGE: disk_usage(service, request); break;
    case ZEM_PREPARE:
        if (CDiskOperations *operation = find_or_create_operation(service, request)) operation->prepare();
        break;
    case ZEM_TERMINATE: terminate(service, request); break;
    default:
        zem_report(ZEM_MSG_ERROR, ZEM_RC_UNKNOWN_ACTION, request->action, "zem_actions_e", 0);
        break;
    }
    return 0;
}

int handle_ack(void *context, const void *buffer, int length)
{
    auto *service = static_cast<CZemSvc *>(context);
    DecodedRecord decoded;
    if (!decoded.decode(buffer, length)) return 0;
    const zem_request_data &ack = decoded.record;
    if (!service->table) return 0;

    const RequestKey key(ack.request_id);
    zem_request_data *entry = service->table->Get(key.text);
    if (!entry || !entry->operation) return 0;
    auto *operation = static_cast<CDiskOperations *>(entry->operation);
    if (ack.action != ZEM_ACK || operation->action != ZEM_RETRIEVE || ack.final) {
        service->table->Delete(key.text);
        return 0;
    }
    if (operation->on_ack(&ack) == 1) {
        send_retrieve_done(service, ack.request_id);
        service->table->Delete(key.text);
    }
    return 0;
}
