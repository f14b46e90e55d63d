// Checks of the attributes that the host makes before it calls init: the
// plug-in reads the numbers with atoi, so a typo would otherwise become 0.
#pragma once

#include "host_options.h"

#include <cstddef>
#include <map>
#include <string>

namespace zem::host {

inline constexpr std::size_t kMaxBufferSize = 16u * 1024 * 1024;
// The chunk size the plug-in uses when zem_buffer_size is unset.
inline constexpr std::size_t kPluginDefaultBufferSize = 7168;

// Empty when zem_buffer_size, zem_window_size and zem_ps_subject are usable,
// else a message that names the setting and says why it is refused.
std::string check_attributes(const std::map<std::string, std::string> &attributes);

// The largest encoding of one data chunk: the record's fixed fields, the
// chunk, netdir_path and two mapped paths of up to PATH_MAX bytes.
std::size_t chunk_encoding_bound(const std::map<std::string, std::string> &attributes);

// Empty when a chunk's encoding fits a message of max_message bytes, else a
// message naming zem_buffer_size and both sizes.
std::string check_chunk_fits(const std::map<std::string, std::string> &attributes,
                             std::size_t max_message, std::string_view limit_name);

} // namespace zem::host
