#include "frame/secure_paths.h"

#include <cstring>
#include <string>

#include "corvel.h"
#include "frame/host_binding.h"
#include "frame/zem_report.h"
#include "tessel.h"
#include "trellis.h"

static char *g_secure_dirs = nullptr;

static std::string temporary_directory()
{
    char buffer[4096];
    if (os_get_tmp_dir(-1, 0, buffer, sizeof buffer) != OS_STATUS_SUCCESS) return "/tmp";
    return buffer;
}

static char *copy_to_block(const std::string &text)
{
    char *block = static_cast<char *>(maw_malloc(text.size() + 1));
    if (block) std::memcpy(block, text.c_str(), text.size() + 1);
    return block;
}

// SecureDirectories from zem_settings.ini in qk_dat_dir, or "" when absent.
static std::string settings_secure_directories()
{
    const char *dat_dir = zem_get_attrib("qk_dat_dir");
    if (!dat_dir) return {};
    const std::string settings = std::string(dat_dir) + '/' + "zem_settings.ini";
    if (!os_is_file_exist(settings.c_str())) return {};
    std::string value;
    if (tessel *reader = new_tessel()) {
        if (tessel_add_ini_file_source(reader, settings.c_str()) == 0) {
            const char *found = tessel_get_attrib_val(reader, nullptr, nullptr, "SecureDirectories");
            if (found) value = found;
        }
        delete_tessel(reader);
    }
    return value;
}

void load_secure_directories()
{
    free_secure_directories();
    std::string list = temporary_directory();
#ifndef ZEM_LEGACY_BUILD
    // The older build knows only the system temporary directory.
    const char *temp_dir = zem_get_attrib("temp_dir");
    if (temp_dir && *temp_dir) list += std::string(";") + temp_dir;
#endif
    const std::string configured = settings_secure_directories();
    if (!configured.empty()) list += ";" + configured;
    g_secure_dirs = copy_to_block(list);
}

void free_secure_directories()
{
    maw_free(g_secure_dirs);
    g_secure_dirs = nullptr;
}

const char *secure_directories()
{
    return g_secure_dirs;
}

int is_secure_path(const char *path)
{
    if (!path || !g_secure_dirs) return 0;
    if (os_strstr(path, "..")) return 0;
    char *copy = os_strdup(g_secure_dirs);
    if (!copy) return 0;
    int result = 0;
    for (char *entry = os_strtok(copy, ";"); entry; entry = os_strtok(nullptr, ";")) {
        // The entry with a separator appended must prefix the path exactly:
        // the directory itself is not inside it, and /Data is not /data.
        const std::string prefix = std::string(entry) + '/';
        if (std::strncmp(prefix.c_str(), path, prefix.size()) == 0) {
            result = 1;
            break;
        }
    }
    os_strdup_free(copy);
    return result;
}

int check_request_paths(const zem_request_data *record)
{
    if (!(record->flags & ZEM_FLAG_LOCAL_PATH)) return 1;
    const char *path = record->source;
    if (record->action == ZEM_STORE && record->destination && *record->destination)
        path = record->destination;
    if (is_secure_path(path)) return 1;
    zem_report(ZEM_MSG_ERROR, ZEM_RC_NOT_SECURE, path ? path : "", 0);
    return 0;
}

int map_net_path(char **path, int flags)
{
    std::string base;
    if (flags & ZEM_FLAG_TEMP_BASE) {
        base = temporary_directory();
    } else {
        const char *netdir = zem_netdir_path();
        base = netdir ? netdir : "";
    }
    char *mapped = nullptr;
    const os_status status = os_qknetpath_create_net_path(*path ? *path : "", base.c_str(), &mapped,
                                                          os_get_current_os_type());
    if (status != OS_STATUS_SUCCESS || !mapped) {
        maw_free(mapped);
        const int code = status == OS_STATUS_BAD_PATH ? ZEM_RC_NOT_SECURE : ZEM_RC_NO_MEMORY;
        if (code == ZEM_RC_NOT_SECURE)
            zem_report(ZEM_MSG_ERROR, code, *path ? *path : "", 0);
        else
            zem_report(ZEM_MSG_ERROR, code, 0);
        return code;
    }
    maw_free(*path);
    *path = mapped;
    return 0;
}
