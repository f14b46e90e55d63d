#include "service/zem_svc.h"

#include <new>
#include <string>

#include "frame/host_binding.h"
#include "frame/service_factory.h"
#include "frame/zem_report.h"
#include "diskops/disk_operations.h"
#include "service/dispatch.h"
#include "wire/xdr_zem_request_data.h"

static const host_binding &binding_a()
{
    return *g_binding_a;
}

CZemSvc::CZemSvc()
{
    const host_binding &a = binding_a();
    const char *subject = zem_get_attrib("zem_ps_subject");
    if (subject && *subject) point_to_point = 0;

    if (point_to_point) {
        request_service = a.api->host_register_service(a.handle, ZEM_REQUEST_CHANNEL, this, handle_request);
        if (!request_service) zem_report(ZEM_MSG_ERROR, ZEM_RC_REGISTER_FAILED, ZEM_REQUEST_CHANNEL, 0);
        ack_service = a.api->host_register_service(a.handle, ZEM_ACK_CHANNEL, this, handle_ack);
        if (!ack_service) zem_report(ZEM_MSG_ERROR, ZEM_RC_REGISTER_FAILED, ZEM_ACK_CHANNEL, 0);
        data_connection = a.api->host_open_service(a.handle, ZEM_DATA_CHANNEL, 0);
        if (!data_connection) zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_CHANNEL_FAILED, ZEM_DATA_CHANNEL, 0);
        reply_connection = a.api->host_open_service(a.handle, ZEM_REPLY_CHANNEL, 0);
        if (!reply_connection) zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_CHANNEL_FAILED, ZEM_REPLY_CHANNEL, 0);
    } else {
        // Names are built in strings: a subject of any length fits.
        const auto name = [subject](const char *base) { return std::string(base) + '_' + subject; };
        const std::string request = name(ZEM_REQUEST_CHANNEL), ack = name(ZEM_ACK_CHANNEL);
        const std::string data = name(ZEM_DATA_CHANNEL), reply = name(ZEM_REPLY_CHANNEL);
        request_subscription = a.api->host_subscribe(a.handle, request.c_str(), handle_request, this, 0);
        if (!request_subscription) zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_CHANNEL_FAILED, request.c_str(), 0);
        ack_subscription = a.api->host_subscribe(a.handle, ack.c_str(), handle_ack, this, 0);
        if (!ack_subscription) zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_CHANNEL_FAILED, ack.c_str(), 0);
        data_publisher = a.api->host_create_publisher(a.handle, data.c_str(), 3);
        if (!data_publisher) zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_CHANNEL_FAILED, data.c_str(), 0);
        reply_publisher = a.api->host_create_publisher(a.handle, reply.c_str(), 3);
        if (!reply_publisher) zem_report(ZEM_MSG_ERROR, ZEM_RC_OPEN_CHANNEL_FAILED, reply.c_str(), 0);
    }

    table = new CRequestTable;
    if (table && !table->is_open()) {
        delete table;
        table = nullptr;
    }
    if (!table) zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
    secure = a.api->host_is_secure_mode();
    purge_timer = a.api->host_add_timer(a.handle, purge_requests, this, ZEM_PURGE_PERIOD_MS);
}

CZemSvc::~CZemSvc()
{
    const host_binding &a = binding_a();
    if (point_to_point) {
        if (data_connection) a.api->host_close_service(a.handle, data_connection);
        if (reply_connection) a.api->host_close_service(a.handle, reply_connection);
        if (request_service) a.api->host_unregister_service(a.handle, request_service);
        if (ack_service) a.api->host_unregister_service(a.handle, ack_service);
    } else {
        if (data_publisher) a.api->host_destroy_publisher(a.handle, data_publisher);
        if (reply_publisher) a.api->host_destroy_publisher(a.handle, reply_publisher);
        if (request_subscription) a.api->host_unsubscribe(a.handle, request_subscription);
        if (ack_subscription) a.api->host_unsubscribe(a.handle, ack_subscription);
    }
    if (table) {
        table->Clear();
        delete table;
        table = nullptr;
    }
    if (purge_timer) a.api->host_remove_timer(a.handle, purge_timer);
    g_binding_b->api->host_thread_end(g_binding_b->handle);
}

int CZemSvc::send_error(int request_id, int code)
{
    const int action = code == -47 ? ZEM_NOT_FOUND : code == -46 ? ZEM_NO_SPACE : ZEM_FAILED;
    return send_status(request_id, action);
}

int CZemSvc::send_data(const char *buffer, int length)
{
    const host_binding &a = binding_a();
    if (point_to_point) return a.api->host_send(a.handle, data_connection, buffer, length);
    return a.api->host_publish(a.handle, data_publisher, buffer, length, 0);
}

int CZemSvc::send_ack(const char *buffer, int length)
{
    const host_binding &a = binding_a();
    if (point_to_point) return a.api->host_send(a.handle, reply_connection, buffer, length);
    return a.api->host_publish(a.handle, reply_publisher, buffer, length, 0);
}

int CZemSvc::send_status(int request_id, int action)
{
    zem_request_data reply{};
    reply.request_id = request_id;
    reply.action = action;
    int sent = 0;
    return send_reply_record(this, reply, &sent) ? sent : -1;
}

bool send_reply_record(CZemSvc *service, const zem_request_data &reply, int *send_result)
{
    char *buffer = static_cast<char *>(maw_malloc(ZEM_REPLY_BUFFER_BYTES));
    if (!buffer) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_MEMORY, 0);
        return false;
    }
    zem_request_data record = reply;
    const int length = zem_encode_record(&record, buffer, ZEM_REPLY_BUFFER_BYTES, zem_attrib_int("zem_buffer_size"));
    if (length >= 0) *send_result = service->send_ack(buffer, length);
    else zem_report(ZEM_MSG_ERROR, ZEM_RC_ENCODE_FAILED, "xdr_zem_request_data", 0);
    maw_free(buffer);
    return length >= 0;
}

int CZemSvc::purge_requests(void *context)
{
    auto *service = static_cast<CZemSvc *>(context);
    if (!service->table) return 0;
    CJovHashEnumerator<const char *> *enumerator = service->table->Enumerate();
    if (!enumerator) return 0; // tried again at the next tick
    while (zem_request_data *entry = service->table->Next(enumerator)) {
        const auto *operation = static_cast<const CDiskOperations *>(entry->operation);
        if (!(entry->flags & ZEM_FLAG_DIRECTORY) && entry->action == ZEM_RETRIEVE && operation &&
            operation->finished)
            service->table->Delete(RequestKey(entry->request_id).text);
    }
    delete enumerator;
    return 0;
}

static CZemSvc *g_service = nullptr;

CZemSvc *zem_service_create()
{
    g_service = new (std::nothrow) CZemSvc;
    return g_service;
}

void zem_service_destroy(CZemSvc *service)
{
    if (service == g_service) g_service = nullptr;
    delete service;
}

CZemSvc *zem_service_instance()
{
    return g_service;
}
