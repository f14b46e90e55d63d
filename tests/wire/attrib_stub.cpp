// Stands in for the host attribute that the plug-in routine reads.
#include "frame/host_binding.h"
#include "wire_test_support.h"

int g_stub_buffer_size = 7168;
int g_stub_buffer_size_reads = 0;

int zem_attrib_int(const char *name) {
    if (std::strcmp(name, "zem_buffer_size") != 0)
        return 0;
    ++g_stub_buffer_size_reads;
    return g_stub_buffer_size;
}
