// Mapping of network paths onto a base directory. The result always lies
// under the base: ".." components are refused rather than resolved.
#include "internal.h"
#include "trellis.h"

#include <cerrno>
#include <cstring>
#include <string>
#include <string_view>

namespace {

bool is_separator(char c)
{
    return c == '/' || c == '\\';
}

// Appends every component of path to mapped, each after a '/', and counts
// them. False when a component is "..".
bool append_components(std::string_view path, std::string *mapped, size_t *count)
{
    size_t pos = 0;
    while (pos < path.size()) {
        size_t end = pos;
        while (end < path.size() && !is_separator(path[end])) {
            ++end;
        }
        std::string_view component = path.substr(pos, end - pos);
        pos = end + 1;
        if (component.empty() || component == ".") {
            continue;
        }
        if (component == "..") {
            return false;
        }
        mapped->push_back('/');
        mapped->append(component);
        ++*count;
    }
    return true;
}

}  // namespace

extern "C" {

os_status os_qknetpath_create_net_path(const char *path, const char *base, char **result,
                                       int /*os_type*/)
{
    if (result == nullptr) {
        errno = EINVAL;
        return OS_STATUS_IO_ERROR;
    }
    *result = nullptr;
    // Without a base there is nothing to map onto: joining under an empty
    // base would turn the request into an absolute path.
    if (path == nullptr || base == nullptr || base[0] == '\0') {
        errno = EINVAL;
        return OS_STATUS_BAD_PATH;
    }
    std::string mapped;
    try {
        std::string_view base_view = base;
        size_t base_end = base_view.find_last_not_of('/');
        // The root as base keeps no separator of its own: "/" + "a" is "/a".
        mapped.assign(base_view.substr(0, base_end == std::string_view::npos ? 0 : base_end + 1));
        size_t components = 0;
        if (!append_components(path, &mapped, &components)) {
            errno = EINVAL;
            return OS_STATUS_BAD_PATH;
        }
        if (components == 0) {
            // An empty path (or only separators and ".") names the base.
            mapped = base_view;
        }
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return OS_STATUS_IO_ERROR;
    }
    auto *copy = static_cast<char *>(maw_malloc(mapped.size() + 1));
    if (copy == nullptr) {
        errno = ENOMEM;
        return OS_STATUS_IO_ERROR;
    }
    std::memcpy(copy, mapped.c_str(), mapped.size() + 1);
    *result = copy;
    return OS_STATUS_SUCCESS;
}

}  // extern "C"
