// Opening and closing of the request log, done by the service thread.
#pragma once

// Truncates and opens the file named by zem_debug_file; absent when the
// attribute is unset or empty, or the file cannot be opened.
void zem_request_log_open();
void zem_request_log_close();
