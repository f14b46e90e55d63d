// A plug-in loaded with dlopen and its entry point configure_zem_svc.
#pragma once

#include "zem/host_api.h"

#include <memory>
#include <string>

namespace zem::host {

class PluginLibrary {
public:
    // Loads the library at path and finds its entry point. On failure returns
    // null and sets error to a text that names the path and dlerror().
    static std::unique_ptr<PluginLibrary> open(const std::string &path, std::string &error);

    // Unloads the library; no thread may still run its code.
    ~PluginLibrary();
    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    configure_zem_svc_fn entry() const { return entry_; }
    const std::string &path() const { return path_; }

private:
    PluginLibrary(void *library, configure_zem_svc_fn entry_point, std::string file)
        : handle_(library), entry_(entry_point), path_(std::move(file)) {}

    void *handle_;
    configure_zem_svc_fn entry_;
    std::string path_;
};

} // namespace zem::host
