#include "service/request_table.h"

#include "diskops/disk_operations.h"

void free_request_entry(void *value)
{
    auto *record = static_cast<zem_request_data *>(value);
    if (!record) return;
    if (record->operation) {
        delete static_cast<CDiskOperations *>(record->operation);
        record->operation = nullptr;
    }
    zem_request_data_free(record);
}
