// The construction point of the service object: the service thread builds
// it before it signals readiness and destroys it after its loop returns.
#pragma once

class CZemSvc;

// Builds the one service object (registers the channels, creates the request
// table and the purge timer). Failures inside are reported and do not stop
// the thread; null only when there is no service to run.
CZemSvc *zem_service_create();
// Tears the service object down (channels, table, timer, host_thread_end).
void zem_service_destroy(CZemSvc *service);
// The live service object, or null (diagnostics and tests).
CZemSvc *zem_service_instance();
