#include "plugin_library.h"

#include <dlfcn.h>

namespace zem::host {

namespace {

std::string last_dl_error() {
    const char *text = dlerror();
    return text ? text : "unknown error";
}

} // namespace

std::unique_ptr<PluginLibrary> PluginLibrary::open(const std::string &path, std::string &error) {
    dlerror();
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
        error = "cannot load the plug-in " + path + ": " + last_dl_error();
        return nullptr;
    }
    dlerror();
    void *symbol = dlsym(handle, "configure_zem_svc");
    if (!symbol) {
        error = "the plug-in " + path + " has no entry point configure_zem_svc: " + last_dl_error();
        dlclose(handle);
        return nullptr;
    }
    const auto entry = reinterpret_cast<configure_zem_svc_fn>(symbol);
    return std::unique_ptr<PluginLibrary>(new PluginLibrary(handle, entry, path));
}

PluginLibrary::~PluginLibrary() { dlclose(handle_); }

} // namespace zem::host
