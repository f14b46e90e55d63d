// The plug-in's one exported entry point.
#include <cstring>

#include "frame/host_binding.h"
#include "frame/lifecycle.h"

static service_descriptor g_descriptor;

extern "C" __attribute__((visibility("default"))) service_descriptor *
configure_zem_svc(zem_handle host, const struct host_api *api)
{
    g_host_handle = host;
    g_host_api = api;
    std::memset(&g_descriptor, 0, sizeof g_descriptor);
    g_descriptor.name = ZEM_SERVICE_NAME;
    g_descriptor.init = zem_init;
    g_descriptor.term = zem_term;
    g_descriptor.start = zem_start;
    g_descriptor.stop = zem_stop;
    return &g_descriptor;
}
