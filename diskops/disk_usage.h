// Disk usage: the bytes a file or a tree occupies, measured and answered in
// one step without an operation.
#pragma once

#include <cstdint>

#include "corvel.h"
#include "wire/zem_request_data.h"

class CZemSvc;

// Answers a ZEM_DISK_USAGE request: 0 once the size reply went out, else -1.
int disk_usage(CZemSvc *service, const zem_request_data *request);
// Sum of the sizes of all files below directory; OS_SIZE_UNKNOWN when the
// directory itself cannot be opened.
uint64_t dir_disk_usage(const char *directory);
// The next entry name other than "." and "..", or null.
const char *next_dir_entry(os_dir *directory);
