// Reports to the host: catalogued codes, traces and the request log.
#pragma once

#include <cstdint>

#define ZEM_MSG_ERROR 0x70020020u
#define ZEM_MSG_TRACE 0x70000011u

// Every code the service reports, with ZEM_MSG_ERROR unless noted. The
// arguments of each are listed in conf/zem_msg_res; every list ends with 0.
enum zem_report_code : int {
    ZEM_RC_MAKE_PATH_ENOENT = -51969,   // directory, os_make_path status
    ZEM_RC_NOT_SECURE = -51970,         // path
    ZEM_RC_RMTREE_DENIED = -51971,      // path
    ZEM_RC_RMTREE_FAILED = -51972,      // path
    ZEM_RC_DIR_NO_SPACE = -51973,       // destination path
    ZEM_RC_NO_SPACE_ON_HOST = -51974,   // localhost value, path
    ZEM_RC_OPEN_ENOENT = -51975,        // path
    ZEM_RC_OPEN_ERRNO = -51976,         // path, strerror text
    ZEM_RC_MAKE_PATH_FAILED = -51977,   // path, os_make_path status
    ZEM_RC_DIR_WRITE_FAILED = -51978,   // destination path, write result
    ZEM_RC_WRITE_FAILED = -51979,       // destination path
    ZEM_RC_DIR_READ_FAILED = -51980,    // path, -1
    ZEM_RC_SEEK_FAILED = -51981,        // path, offset
    ZEM_RC_READ_FAILED = -51982,        // path
    ZEM_RC_DIR_OPEN_FAILED = -51983,    // path
    ZEM_RC_FILE_OPEN_FAILED = -51985,   // path
    ZEM_RC_NO_NETDIR = -51988,          // none
    ZEM_RC_START_TIMEOUT = -51989,      // 10000
    ZEM_RC_THREAD_FAILED = -51990,      // none
    ZEM_RC_NO_MEMORY = -51991,          // none
    ZEM_RC_NOT_FOUND = -51992,          // path
    ZEM_RC_SEND_FAILED = -51993,        // sender name, send result
    ZEM_RC_UNKNOWN_ACTION = -51994,     // action value, "zem_actions_e"
    ZEM_RC_REGISTER_FAILED = -51995,    // channel name
    ZEM_RC_OPEN_CHANNEL_FAILED = -51996,// channel or subject name
    ZEM_RC_DECODE_FAILED = -51997,      // "xdr_zem_request_data"
    ZEM_RC_ENCODE_FAILED = -51998,      // "xdr_zem_request_data"
    ZEM_RC_TRACE = -51999,              // text, 0, 0, 0 (ZEM_MSG_TRACE)
};

// Reports through binding A: strings as const char*, numbers as int, the
// list ended by an int 0. Returns the host's result, or -1 (calling nothing)
// before init has made binding A.
int zem_report(uint32_t msg_id, int code, ...);

// True while the host attribute zem_debug exists (an empty value counts).
bool zem_tracing();
// Formats a trace text and reports it when tracing; the text is never cut.
void zem_trace(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The request log: one line per handled request, flushed at once, only
// while the log is open (zem_debug_file names a file).
bool zem_request_log_is_open();
void zem_request_log(const char *format, ...) __attribute__((format(printf, 1, 2)));
