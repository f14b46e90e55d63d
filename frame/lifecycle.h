// The four lifecycle callbacks of the descriptor and the service thread.
#pragma once

#include "zem/host_api.h"

int zem_init();
int zem_term();
int zem_start();
int zem_stop();
int service_thread_main(zem_handle argument);

// The descriptor's name.
#define ZEM_SERVICE_NAME "ZEM Server Ver1.0"
// How long start waits for the service thread, and stop for its end.
#define ZEM_THREAD_WAIT_MS 10000
