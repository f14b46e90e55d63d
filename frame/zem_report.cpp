#include "frame/zem_report.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "frame/host_binding.h"
#include "frame/request_log.h"

int zem_report(uint32_t msg_id, int code, ...)
{
    if (!g_binding_a || !g_binding_a->api || !g_binding_a->api->host_report) return -1;
    va_list args;
    va_start(args, code);
    const int result = g_binding_a->api->host_report(msg_id, code, args);
    va_end(args);
    return result;
}

bool zem_tracing()
{
    return zem_get_attrib("zem_debug") != nullptr;
}

__attribute__((format(printf, 1, 0))) static std::string format_text(const char *format, va_list args)
{
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) return {};
    std::string text(static_cast<size_t>(needed), '\0');
    std::vsnprintf(text.data(), text.size() + 1, format, args);
    return text;
}

void zem_trace(const char *format, ...)
{
    if (!zem_tracing()) return;
    va_list args;
    va_start(args, format);
    const std::string text = format_text(format, args);
    va_end(args);
    zem_report(ZEM_MSG_TRACE, ZEM_RC_TRACE, text.c_str(), 0, 0, 0);
}

// The request log is written only on the service thread.
static FILE *g_request_log = nullptr;

void zem_request_log_open()
{
    zem_request_log_close();
    const char *path = zem_get_attrib("zem_debug_file");
    // A log that cannot be opened is simply absent.
    if (path && *path) g_request_log = std::fopen(path, "w");
}

void zem_request_log_close()
{
    if (g_request_log) std::fclose(g_request_log);
    g_request_log = nullptr;
}

bool zem_request_log_is_open()
{
    return g_request_log != nullptr;
}

void zem_request_log(const char *format, ...)
{
    if (!g_request_log) return;
    va_list args;
    va_start(args, format);
    std::vfprintf(g_request_log, format, args);
    va_end(args);
    std::fflush(g_request_log);
}
