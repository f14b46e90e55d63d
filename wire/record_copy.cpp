// The request table's copy of a record and its release.
#include "wire/zem_request_data.h"

#include <trellis.h>

#include <cstring>

namespace {

// Copies a non-null text into a new block; a null text stays null.
bool copy_text(const char *text, char **copy) {
    if (text == nullptr)
        return true;
    size_t size = std::strlen(text) + 1;
    *copy = static_cast<char *>(maw_malloc(size));
    if (*copy == nullptr)
        return false;
    std::memcpy(*copy, text, size);
    return true;
}

} // namespace

zem_request_data *zem_request_data_copy(const zem_request_data *record) {
    if (record == nullptr)
        return nullptr;
    auto *copy = static_cast<zem_request_data *>(maw_malloc(sizeof(zem_request_data)));
    if (copy == nullptr)
        return nullptr;
    // Numbers, data and operation as they are; data stays borrowed.
    *copy = *record;
    copy->source = nullptr;
    copy->destination = nullptr;
    copy->net_dir = nullptr;
    if (!copy_text(record->destination, &copy->destination) ||
        !copy_text(record->source, &copy->source) ||
        !copy_text(record->net_dir, &copy->net_dir)) {
        zem_request_data_free(copy);
        return nullptr;
    }
    return copy;
}

void zem_request_data_free(zem_request_data *record) {
    if (record == nullptr)
        return;
    // data is borrowed and operation belongs to the table entry.
    maw_free(record->destination);
    maw_free(record->net_dir);
    maw_free(record->source);
    maw_free(record);
}
