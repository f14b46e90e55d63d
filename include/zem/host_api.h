/*
 * The C boundary between a host process and the zem_svc plug-in.
 *
 * A host loads the plug-in, calls configure_zem_svc with its handle and a
 * filled host_api table, and drives the service through the four callbacks
 * of the returned descriptor. The table keeps the slot numbering of the
 * platform's host function table: every slot is pointer-sized and a slot the
 * plug-in does not use is a null placeholder. Handles are pointer-sized
 * integers; 0 always means "none".
 */
#ifndef ZEM_HOST_API_H
#define ZEM_HOST_API_H

#include <stdarg.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uintptr_t zem_handle; /* 0 = none */
typedef int (*zem_msg_handler)(void *context, const void *buffer, int length);
typedef int (*zem_timer_fn)(void *context);
typedef int (*zem_thread_main)(zem_handle argument);
typedef int (*zem_noop_fn)(void); /* the do-nothing callbacks */

typedef struct service_descriptor { /* 30 pointer-sized words */
    const char *name;               /* "ZEM Server Ver1.0" */
    int (*init)(void);
    int (*term)(void);
    int (*start)(void);
    int (*stop)(void);
    void *reserved[25]; /* all null */
} service_descriptor;

/* Result of host_wait_event when the event was not set in time. */
#define ZEM_WAIT_TIMEOUT 9999

struct host_api {
    void *slot0_5[6];
    /* 6: formats and emits a catalogued report; the list ends with an int 0. */
    int (*host_report)(uint32_t msg_id, int code, va_list args);
    /* 7: host-owned value of an attribute, or null when it is unset. */
    const char *(*host_get_attrib)(zem_handle h, const char *name);
    void *slot8_25[18];
    /* 26: later host_get_attrib calls return a copy of value. */
    int (*host_set_attrib)(zem_handle h, const char *name, const char *value);
    void *slot27_38[12];
    /* 39: delivers every message sent to channel to fn(context, ...). */
    zem_handle (*host_register_service)(zem_handle h, const char *channel, void *context,
                                        zem_msg_handler fn);
    int (*host_unregister_service)(zem_handle h, zem_handle registration); /* 40 */
    void *slot41;
    zem_handle (*host_open_service)(zem_handle h, const char *channel, int zero); /* 42 */
    int (*host_close_service)(zem_handle h, zem_handle connection);               /* 43 */
    /* 44: 0 when the message was accepted for delivery. */
    int (*host_send)(zem_handle h, zem_handle connection, const void *buffer, int length);
    void *slot45_51[7];
    /* 52: fn(context) runs on the service thread every ms milliseconds. */
    zem_handle (*host_add_timer)(zem_handle h, zem_timer_fn fn, void *context, int ms);
    int (*host_remove_timer)(zem_handle h, zem_handle timer); /* 53 */
    void *slot54_55[2];
    zem_handle (*host_create_event)(zem_handle h, int one);  /* 56 */
    int (*host_close_event)(zem_handle h, zem_handle event); /* 57 */
    void *slot58;
    /* 59: 0 when the event was set, ZEM_WAIT_TIMEOUT after ms milliseconds. */
    int (*host_wait_event)(zem_handle h, zem_handle event, int ms);
    void *slot60_66[7];
    /* 67: a thread running main(argument); 0 on failure. */
    zem_handle (*host_create_thread)(zem_handle h, zem_handle context, zem_thread_main main,
                                     zem_noop_fn a, int zero, zem_noop_fn b, zem_noop_fn c,
                                     int zero2);
    void *slot68;
    /* 69: makes that thread's host_run_loop return. */
    int (*host_stop_thread)(zem_handle h, zem_handle thread, int zero, int ms);
    void *slot70_73[4];
    /* 74: dispatches handlers and timers on the calling thread until stopped. */
    int (*host_run_loop)(zem_handle h, int zero);
    void *slot75_78[4];
    zem_handle (*host_create_publisher)(zem_handle h, const char *subject, int three); /* 79 */
    int (*host_destroy_publisher)(zem_handle h, zem_handle publisher);                 /* 80 */
    zem_handle (*host_subscribe)(zem_handle h, const char *subject, zem_msg_handler fn,
                                 void *context, int zero);             /* 81 */
    int (*host_unsubscribe)(zem_handle h, zem_handle subscription); /* 82 */
    int (*host_publish)(zem_handle h, zem_handle publisher, const void *buffer, int length,
                        int zero); /* 83 */
    void *slot84_86[3];
    int (*host_is_secure_mode)(void); /* 87: nonzero = secure mode */
    void *slot88;
    /* 89: first call on the service thread, with the value its main received. */
    int (*host_thread_begin)(zem_handle h, zem_handle argument, zem_noop_fn fn, int zero,
                             int one);
    zem_handle (*host_thread_context)(zem_handle h); /* 90 */
    int (*host_thread_end)(zem_handle h);            /* 91 */
    int (*host_set_event)(zem_handle h, zem_handle event); /* 92: wakes the waiter */
};

/* The plug-in's one exported entry point (unmangled). */
service_descriptor *configure_zem_svc(zem_handle host, const struct host_api *api);
typedef service_descriptor *(*configure_zem_svc_fn)(zem_handle host, const struct host_api *api);

#ifdef __cplusplus
}
#endif

/* The slot positions are part of the binary contract. */
#define ZEM_HOST_SLOT(field, n) offsetof(struct host_api, field) == (n) * sizeof(void *)
#ifdef __cplusplus
#define ZEM_STATIC_ASSERT static_assert
#else
#define ZEM_STATIC_ASSERT _Static_assert
#endif
ZEM_STATIC_ASSERT(sizeof(void (*)(void)) == sizeof(void *), "function pointers are pointer-sized");
ZEM_STATIC_ASSERT(sizeof(service_descriptor) == 30 * sizeof(void *), "descriptor is 30 words");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_report, 6), "host_report slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_get_attrib, 7), "host_get_attrib slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_set_attrib, 26), "host_set_attrib slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_register_service, 39), "host_register_service slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_unregister_service, 40), "host_unregister_service slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_open_service, 42), "host_open_service slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_close_service, 43), "host_close_service slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_send, 44), "host_send slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_add_timer, 52), "host_add_timer slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_remove_timer, 53), "host_remove_timer slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_create_event, 56), "host_create_event slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_close_event, 57), "host_close_event slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_wait_event, 59), "host_wait_event slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_create_thread, 67), "host_create_thread slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_stop_thread, 69), "host_stop_thread slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_run_loop, 74), "host_run_loop slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_create_publisher, 79), "host_create_publisher slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_destroy_publisher, 80), "host_destroy_publisher slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_subscribe, 81), "host_subscribe slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_unsubscribe, 82), "host_unsubscribe slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_publish, 83), "host_publish slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_is_secure_mode, 87), "host_is_secure_mode slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_thread_begin, 89), "host_thread_begin slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_thread_context, 90), "host_thread_context slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_thread_end, 91), "host_thread_end slot");
ZEM_STATIC_ASSERT(ZEM_HOST_SLOT(host_set_event, 92), "host_set_event slot");
ZEM_STATIC_ASSERT(sizeof(struct host_api) == 93 * sizeof(void *), "host_api has 93 slots");
#undef ZEM_STATIC_ASSERT

#endif
