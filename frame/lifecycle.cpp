#include "frame/lifecycle.h"

#include <string>

#include "frame/host_binding.h"
#include "frame/request_log.h"
#include "frame/secure_paths.h"
#include "frame/service_factory.h"
#include "frame/zem_report.h"
#include "parlance.h"
#include "trellis.h"

// Set by start, read by the service thread it creates.
static zem_handle g_start_event = 0;
// The thread-local slot that holds the service thread's handle in the thread
// that called start; stop reads it there.
static int g_tls_index = -1;

static int do_nothing()
{
    return 0;
}

static void set_default(const char *name, const char *value)
{
    // Any value, even "", counts as set.
    if (!zem_get_attrib(name)) g_binding_a->api->host_set_attrib(g_binding_a->handle, name, value);
}

int zem_init()
{
    if (!g_host_api) return -1;
    // A second init replaces what the first one made.
    delete g_binding_a;
    delete g_binding_b;
    free_secure_directories();
    g_binding_a = new host_binding{g_host_handle, g_host_api};
    g_binding_b = new host_binding{g_host_handle, g_host_api};

    set_default("zem_window_size", "20");
    if (const char *dat_dir = zem_get_attrib("qk_dat_dir")) {
        const std::string catalogue = std::string(dat_dir) + '/' + "zem_msg_res";
        AddResourceFile(catalogue.c_str());
    }
    set_default("zem_buffer_size", "7168");
    set_default("zem_window_size", "20");

    g_netdir_path = zem_get_attrib("netdir_path");
    if (!g_netdir_path) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_NO_NETDIR, 0);
        return -1;
    }
    if (!g_host_api->host_is_secure_mode()) return 0;

    load_secure_directories();
    if (is_secure_path(g_netdir_path)) return 0;
    zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_SECURE, g_netdir_path, 0);
    return -1;
}

int zem_term()
{
    free_secure_directories();
    delete g_binding_a;
    delete g_binding_b;
    g_binding_a = nullptr;
    g_binding_b = nullptr;
    g_netdir_path = nullptr;
    return 0;
}

int zem_start()
{
    const host_binding &b = *g_binding_b;
    g_start_event = b.api->host_create_event(b.handle, 1);
    const zem_handle context = b.api->host_thread_context(b.handle);
    g_tls_index = mtls_alloc();
    const zem_handle thread = b.api->host_create_thread(b.handle, context, service_thread_main,
                                                        do_nothing, 0, do_nothing, do_nothing, 0);
    if (!thread) {
        zem_report(ZEM_MSG_ERROR, ZEM_RC_THREAD_FAILED, 0);
        b.api->host_close_event(b.handle, g_start_event);
        g_start_event = 0;
        return -1;
    }
    mtls_set(g_tls_index, thread);
    if (b.api->host_wait_event(b.handle, g_start_event, ZEM_THREAD_WAIT_MS) == ZEM_WAIT_TIMEOUT) {
        // The thread may still come up and set the event: leave both alone.
        zem_report(ZEM_MSG_ERROR, ZEM_RC_START_TIMEOUT, ZEM_THREAD_WAIT_MS, 0);
        return -1;
    }
    b.api->host_close_event(b.handle, g_start_event);
    return 0;
}

int zem_stop()
{
    const zem_handle thread = g_tls_index >= 0 ? mtls_get(g_tls_index) : 0;
    if (thread) g_binding_b->api->host_stop_thread(g_binding_b->handle, thread, 0, ZEM_THREAD_WAIT_MS);
    return 0;
}

int service_thread_main(zem_handle argument)
{
    const host_binding &b = *g_binding_b;
    b.api->host_thread_begin(b.handle, argument, do_nothing, 0, 1);
    CZemSvc *service = zem_service_create();
    zem_request_log_open();
    b.api->host_set_event(b.handle, g_start_event);
    b.api->host_run_loop(b.handle, 0);
    zem_request_log_close();
    // Tearing the service down here releases its channels and transfers, so
    // a later start begins afresh.
    zem_service_destroy(service);
    return 0;
}
