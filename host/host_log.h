// Lines on standard error: "YYYY-mm-ddTHH:MM:SS.mmm SEVERITY text", one
// write per line so that lines of different threads never interleave.
#pragma once

#include <string_view>

namespace zem::host {

// Writes one line with the local time, the severity word and the text.
void log_line(std::string_view severity, std::string_view text);

inline void log_info(std::string_view text) { log_line("INFO", text); }
inline void log_warning(std::string_view text) { log_line("WARN", text); }
inline void log_error(std::string_view text) { log_line("ERROR", text); }

} // namespace zem::host
