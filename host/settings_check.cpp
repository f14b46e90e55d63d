#include "settings_check.h"

#include <climits>

namespace zem::host {

namespace {

// "ZemBrQkService" and "ZemQkBrService" are the longest base names; joined
// with "_" the subject must stay within a TCP frame's 255-byte channel name.
constexpr std::size_t kMaxSubjectLength = 255 - 15;

std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t{3}; }

const std::string *find(const std::map<std::string, std::string> &attributes,
                        const char *name) {
    const auto it = attributes.find(name);
    return it == attributes.end() ? nullptr : &it->second;
}

std::string refuse(const char *name, const std::string &value, const std::string &why) {
    return "setting " + std::string(name) + " = \"" + value + "\" is refused: " + why;
}

std::string check_subject(const std::string &subject) {
    if (subject.size() > kMaxSubjectLength)
        return refuse("zem_ps_subject", subject,
                      "it may have at most " + std::to_string(kMaxSubjectLength) + " characters");
    for (const char c : subject) {
        if (c <= ' ' || c > '~' || c == '*' || c == '>')
            return refuse("zem_ps_subject", subject,
                          "it may hold only printable characters other than space, '*' and '>'");
    }
    if (subject.back() == '.' || subject.find("..") != std::string::npos)
        return refuse("zem_ps_subject", subject, "it may not end in '.' nor hold \"..\"");
    return {};
}

} // namespace

std::string check_attributes(const std::map<std::string, std::string> &attributes) {
    if (const std::string *value = find(attributes, "zem_buffer_size")) {
        unsigned long long n = 0;
        if (!parse_whole_number(*value, n) || n < 1 || n > kMaxBufferSize)
            return refuse("zem_buffer_size", *value,
                          "it must be a whole number of bytes from 1 to " +
                              std::to_string(kMaxBufferSize) + " (16 MiB)");
    }
    if (const std::string *value = find(attributes, "zem_window_size")) {
        unsigned long long n = 0;
        if (!parse_whole_number(*value, n) || n < 1 || n > INT_MAX)
            return refuse("zem_window_size", *value,
                          "it must be a whole number of data chunks from 1 to " +
                              std::to_string(INT_MAX));
    }
    if (const std::string *value = find(attributes, "zem_ps_subject"); value && !value->empty())
        return check_subject(*value);
    return {};
}

std::size_t chunk_encoding_bound(const std::map<std::string, std::string> &attributes) {
    std::size_t buffer_size = kPluginDefaultBufferSize;
    if (const std::string *value = find(attributes, "zem_buffer_size")) {
        unsigned long long n = 0;
        if (parse_whole_number(*value, n) && n <= kMaxBufferSize)
            buffer_size = static_cast<std::size_t>(n);
    }
    std::size_t netdir = 0;
    if (const std::string *value = find(attributes, "netdir_path")) netdir = value->size();
    // Six 4-byte numbers, the 8-byte total size and the length words of the
    // three strings and the data.
    constexpr std::size_t fixed = 6 * 4 + 8 + 4 * 4;
    return fixed + padded(buffer_size) + padded(netdir) + 2 * padded(PATH_MAX);
}

std::string check_chunk_fits(const std::map<std::string, std::string> &attributes,
                             std::size_t max_message, std::string_view limit_name) {
    const std::size_t bound = chunk_encoding_bound(attributes);
    if (bound <= max_message) return {};
    const std::string *value = find(attributes, "zem_buffer_size");
    return refuse("zem_buffer_size",
                  value ? *value : std::to_string(kPluginDefaultBufferSize),
                  "a data chunk's encoding can take up to " + std::to_string(bound) +
                      " bytes, more than the " + std::string(limit_name) + " of " +
                      std::to_string(max_message) + " bytes");
}

} // namespace zem::host
