#include "frame/host_binding.h"

#include <cstdlib>

zem_handle g_host_handle = 0;
const host_api *g_host_api = nullptr;
host_binding *g_binding_a = nullptr;
host_binding *g_binding_b = nullptr;
const char *g_netdir_path = nullptr;

const char *zem_get_attrib(const char *name)
{
    if (!g_binding_a || !g_binding_a->api || !g_binding_a->api->host_get_attrib) return nullptr;
    return g_binding_a->api->host_get_attrib(g_binding_a->handle, name);
}

int zem_attrib_int(const char *name)
{
    const char *value = zem_get_attrib(name);
    return value ? std::atoi(value) : 0;
}

const char *zem_netdir_path()
{
    return g_netdir_path;
}
