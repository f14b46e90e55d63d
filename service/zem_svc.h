// The one service object: its four channels, the request table, the secure
// flag and the purge timer. Built and destroyed on the service thread; every
// entry point runs there, one at a time.
#pragma once

#include "service/disk_operation_manager.h"
#include "service/request_table.h"
#include "zem/host_api.h"

// The channel base names; with a publish/subscribe subject S each becomes
// "<name>_<S>".
#define ZEM_REQUEST_CHANNEL "ZemBrQkService"
#define ZEM_ACK_CHANNEL "ZemBrQkAckSvc"
#define ZEM_DATA_CHANNEL "ZemQkBrService"
#define ZEM_REPLY_CHANNEL "ZemQkBrAckSvc"
// How often finished file retrievals are purged.
#define ZEM_PURGE_PERIOD_MS 60000

class CZemSvc final : public IDiskOperationManager {
public:
    CZemSvc();
    ~CZemSvc();
    CZemSvc(const CZemSvc &) = delete;
    CZemSvc &operator=(const CZemSvc &) = delete;

    int send_error(int request_id, int code) override;
    int send_data(const char *buffer, int length) override;
    int send_ack(const char *buffer, int length) override;

    // A reply with only request_id and action set; the host's result or -1.
    int send_status(int request_id, int action);
    // Timer callback: drops finished file retrievals.
    static int purge_requests(void *context);

    CRequestTable *table = nullptr;
    zem_handle request_service = 0;
    zem_handle ack_service = 0;
    zem_handle data_connection = 0;
    zem_handle reply_connection = 0;
    int secure = 0;
    int point_to_point = 1;
    zem_handle purge_timer = 0;
    zem_handle data_publisher = 0;
    zem_handle reply_publisher = 0;
    zem_handle request_subscription = 0;
    zem_handle ack_subscription = 0;
};

// Encodes a reply record (no strings, no data) into a 56-byte block and
// sends it on the reply channel, storing the host's result. False after
// reporting a block that could not be allocated or a failed encoding.
bool send_reply_record(CZemSvc *service, const zem_request_data &reply, int *send_result);
