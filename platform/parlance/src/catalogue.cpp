// The process-wide registry of message formats, keyed by code.
#include "parlance.h"

#include "format.h"

#include <charconv>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace {

struct Entry {
    std::string text;
    std::vector<parlance::FormatPiece> pieces;
};

std::mutex registry_mutex;
// Entries are nodes of the map, so a text's address stays put while other
// codes come and go.
std::unordered_map<int, Entry> registry;

thread_local std::string last_error;

bool is_blank(const std::string &line)
{
    return line.find_first_not_of(" \t") == std::string::npos;
}

std::string trimmed(std::string_view text)
{
    size_t first = text.find_first_not_of(' ');
    if (first == std::string_view::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(' ');
    return std::string(text.substr(first, last - first + 1));
}

// Codes are decimal ("-51970"), or hexadecimal with 0x ("0x70020020").
bool parse_code(const std::string &text, int *code)
{
    const char *begin = text.data();
    const char *end = begin + text.size();
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        unsigned int value = 0;
        auto [ptr, ec] = std::from_chars(begin + 2, end, value, 16);
        if (ec != std::errc() || ptr != end) {
            return false;
        }
        *code = static_cast<int>(value);
        return true;
    }
    if (begin != end && *begin == '+') {
        ++begin;
    }
    auto [ptr, ec] = std::from_chars(begin, end, *code, 10);
    return ec == std::errc() && ptr == end && begin != end;
}

// Parses the whole file before anything is registered, so that a malformed
// line leaves the registry as it was.
bool parse_file(const char *path, std::vector<std::pair<int, Entry>> *entries, std::string *error)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open()) {
        *error = std::string("cannot open: ") + std::strerror(errno);
        return false;
    }
    std::string line;
    unsigned long line_number = 0;
    while (std::getline(file, line)) {
        ++line_number;
        std::string where = "line " + std::to_string(line_number) + ": ";
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (is_blank(line) || line[line.find_first_not_of(" \t")] == '#') {
            continue;
        }
        if (line.find('\0') != std::string::npos) {
            *error = where + "contains a NUL byte";
            return false;
        }
        size_t tab = line.find('\t');
        if (tab == std::string::npos) {
            *error = where + "no tab between code and format";
            return false;
        }
        int code = 0;
        if (!parse_code(trimmed(std::string_view(line).substr(0, tab)), &code)) {
            *error = where + "the code is not a number";
            return false;
        }
        Entry entry;
        entry.text = line.substr(tab + 1);
        std::string format_error;
        if (!parlance::parse_format(entry.text, &entry.pieces, &format_error)) {
            *error = where + format_error;
            return false;
        }
        entries->emplace_back(code, std::move(entry));
    }
    if (file.bad()) {
        *error = "read error";
        return false;
    }
    return true;
}

}  // namespace

extern "C" {

int AddResourceFile(const char *path)
{
    if (path == nullptr) {
        last_error = "no path";
        return -1;
    }
    std::vector<std::pair<int, Entry>> entries;
    std::string error;
    bool parsed = false;
    try {
        parsed = parse_file(path, &entries, &error);
    } catch (const std::exception &e) {
        error = e.what();
    }
    if (!parsed) {
        last_error = std::string(path) + ": " + error;
        // The plug-in that registers its catalogue cannot show this reason
        // to anyone, so it goes to standard error as well.
        std::fprintf(stderr, "parlance: catalogue %s not loaded: %s\n", path, error.c_str());
        return -1;
    }
    std::lock_guard<std::mutex> lock(registry_mutex);
    for (auto &[code, entry] : entries) {
        auto found = registry.find(code);
        if (found == registry.end()) {
            registry.emplace(code, std::move(entry));
        } else if (found->second.text != entry.text) {
            // An unchanged text keeps its entry, so a reload of the same file
            // leaves every pointer from parlance_lookup valid.
            found->second = std::move(entry);
        }
    }
    last_error.clear();
    return 0;
}

const char *parlance_last_error(void)
{
    return last_error.c_str();
}

const char *parlance_lookup(int code)
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    auto found = registry.find(code);
    return found == registry.end() ? nullptr : found->second.text.c_str();
}

int parlance_vformat(int code, va_list args, char *buffer, size_t size)
{
    std::string text;
    try {
        std::lock_guard<std::mutex> lock(registry_mutex);
        auto found = registry.find(code);
        if (found == registry.end()) {
            text = "message " + std::to_string(code);
        } else {
            parlance::apply_format(found->second.pieces, args, &text);
        }
    } catch (const std::exception &) {
        // Out of memory: the unknown-code text needs no allocation.
        return std::snprintf(buffer, size, "message %d", code);
    }
    if (buffer != nullptr && size > 0) {
        size_t copied = text.size() < size ? text.size() : size - 1;
        std::memcpy(buffer, text.data(), copied);
        buffer[copied] = '\0';
    }
    return text.size() > INT_MAX ? INT_MAX : static_cast<int>(text.size());
}

void parlance_clear(void)
{
    std::lock_guard<std::mutex> lock(registry_mutex);
    registry.clear();
}

}  // extern "C"
