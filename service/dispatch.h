// The receiving side: requests and acknowledgements, routed to handlers.
#pragma once

#include "service/zem_svc.h"

class CDiskOperations;

// Host handlers of the request and acknowledgement channels; the context
// is the CZemSvc.
int handle_request(void *context, const void *buffer, int length);
int handle_ack(void *context, const void *buffer, int length);

// The operation of the request id, created (and entered in the table) on
// first sight. Null when the request's path cannot be mapped or memory ran
// out; that is reported, nothing is left in the table, and *failure (when
// given) holds the code to answer with: ZEM_RESULT_BAD_PATH for a path that
// cannot be mapped, ZEM_OP_FAILED otherwise.
CDiskOperations *find_or_create_operation(CZemSvc *service, zem_request_data *request,
                                          int *failure = nullptr);

// data_count is the number of bytes the message carried in `data`.
int store(CZemSvc *service, zem_request_data *request, int data_count);
int retrieve(CZemSvc *service, zem_request_data *request);
int remove(CZemSvc *service, zem_request_data *request);
int terminate(CZemSvc *service, zem_request_data *request);

int send_ack_reply(CZemSvc *service, int code, int request_id, int final);
int send_retrieve_done(CZemSvc *service, int request_id);

// Answer code of a request whose path cannot be mapped.
#define ZEM_RESULT_BAD_PATH (-51970)
