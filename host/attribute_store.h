// The host attributes the plug-in reads and writes by name.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zem::host {

class AttributeStore {
public:
    explicit AttributeStore(const std::map<std::string, std::string> &initial);

    // The value of name, or null when it is unset. The pointer stays valid
    // for the life of the store: the plug-in keeps some of them (netdir_path)
    // without copying, so a replaced value is kept, not freed.
    const char *get(const char *name) const;
    void set(const char *name, const char *value);

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::unique_ptr<const std::string>, std::less<>> values_;
    std::vector<std::unique_ptr<const std::string>> replaced_;
};

} // namespace zem::host
