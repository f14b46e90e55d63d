#include "attribute_store.h"

namespace zem::host {

AttributeStore::AttributeStore(const std::map<std::string, std::string> &initial) {
    for (const auto &[name, value] : initial)
        values_.emplace(name, std::make_unique<const std::string>(value));
}

const char *AttributeStore::get(const char *name) const {
    std::lock_guard lock(mutex_);
    const auto it = values_.find(std::string_view(name));
    return it == values_.end() ? nullptr : it->second->c_str();
}

void AttributeStore::set(const char *name, const char *value) {
    std::lock_guard lock(mutex_);
    auto &slot = values_[name];
    if (slot && *slot == value) return;
    if (slot) replaced_.push_back(std::move(slot));
    slot = std::make_unique<const std::string>(value);
}

} // namespace zem::host
