// The path policy: in secure mode local paths must lie inside the secure
// directories; network paths are mapped onto a base directory.
#pragma once

#include "wire/zem_request_data.h"

// Builds the secure directory list (secure mode only): the temporary
// directory, host attribute temp_dir, and SecureDirectories from
// zem_settings.ini in qk_dat_dir, separated by ';'.
void load_secure_directories();
// Releases the list.
void free_secure_directories();
// The list as built, or null.
const char *secure_directories();

// 1 when path lies strictly inside one of the secure directories (compared
// case-sensitively, as the file system does) and has no "..", else 0.
int is_secure_path(const char *path);

// 1 to let the request through; 0 after reporting the refused local path.
int check_request_paths(const zem_request_data *record);

// Replaces *path (a maw_malloc string, may be null) by its mapping onto
// netdir_path, or onto the temporary directory with ZEM_FLAG_TEMP_BASE.
// 0 on success. A path that cannot be mapped (a ".." component) is reported
// with its text and left as it was; the result is then the reported code,
// -51970, or -51991 after a failed allocation.
int map_net_path(char **path, int flags);
