// String helpers.
#include "internal.h"
#include "trellis.h"

#include <cstring>

namespace {

thread_local char *strtok_position = nullptr;

unsigned char ascii_lower(unsigned char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

}  // namespace

extern "C" {

const char *os_strstr(const char *text, const char *pattern)
{
    if (text == nullptr || pattern == nullptr) {
        return nullptr;
    }
    return std::strstr(text, pattern);
}

char *os_strdup(const char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    size_t size = std::strlen(text) + 1;
    auto *copy = static_cast<char *>(maw_malloc(size));
    if (copy != nullptr) {
        std::memcpy(copy, text, size);
    }
    return copy;
}

void os_strdup_free(char *copy)
{
    maw_free(copy);
}

char *os_strtok(char *text, const char *delimiters)
{
    if (delimiters == nullptr) {
        return nullptr;
    }
    if (text == nullptr && strtok_position == nullptr) {
        return nullptr;
    }
    return ::strtok_r(text, delimiters, &strtok_position);
}

int os_strnicmp(const char *a, const char *b, size_t count, int /*flags*/)
{
    if (a == nullptr || b == nullptr) {
        return a == b ? 0 : (a == nullptr ? -1 : 1);
    }
    for (size_t i = 0; i < count; ++i) {
        unsigned char left = ascii_lower(static_cast<unsigned char>(a[i]));
        unsigned char right = ascii_lower(static_cast<unsigned char>(b[i]));
        if (left != right) {
            return left < right ? -1 : 1;
        }
        if (left == '\0') {
            break;
        }
    }
    return 0;
}

int os_get_current_os_type(void)
{
    return OS_TYPE_POSIX;
}

}  // extern "C"
