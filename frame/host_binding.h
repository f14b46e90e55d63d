// The plug-in's view of its host: the handle and table handed to
// configure_zem_svc, and the two bindings that init makes from them.
#pragma once

#include "zem/host_api.h"

// A {host handle, host_api} pair. Binding A serves attributes, reports,
// channels and timers; binding B threads, events and the loop.
struct host_binding {
    zem_handle handle;
    const host_api *api;
};

// Module state, set by configure_zem_svc and init; read-only once the
// service thread runs.
extern zem_handle g_host_handle;
extern const host_api *g_host_api;
extern host_binding *g_binding_a;
extern host_binding *g_binding_b;

// Host attribute through binding A; null when unset or before init.
const char *zem_get_attrib(const char *name);
// atoi of a host attribute (0 when unset).
int zem_attrib_int(const char *name);
// The netdir_path value kept by init (the host's string), or null.
const char *zem_netdir_path();
extern const char *g_netdir_path;
