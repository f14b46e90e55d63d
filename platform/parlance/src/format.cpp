#include "format.h"

#include <cstdio>
#include <string_view>

namespace parlance {
namespace {

// Widths and precisions above this are refused: a report line never needs
// them, and a huge one would only make the text huge.
constexpr int max_field = 4096;

constexpr std::string_view accepted_flags = "-+ #0";
constexpr std::string_view accepted_conversions = "diuxXcs";
constexpr std::string_view length_modifiers = "hlLqjzt";

bool read_number(std::string_view format, size_t *pos, int *value)
{
    int number = 0;
    while (*pos < format.size() && format[*pos] >= '0' && format[*pos] <= '9') {
        number = number * 10 + (format[*pos] - '0');
        if (number > max_field) {
            return false;
        }
        ++*pos;
    }
    *value = number;
    return true;
}

// Appends the output of one printf call with a single conversion.
template <typename T>
void append_printf(const std::string &directive, T value, std::string *out)
{
    // The directive was checked by parse_format, and value has exactly
    // the type its conversion reads.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int length = std::snprintf(nullptr, 0, directive.c_str(), value);
    if (length <= 0) {
        return;
    }
    size_t start = out->size();
    out->resize(start + static_cast<size_t>(length) + 1);
    std::snprintf(out->data() + start, static_cast<size_t>(length) + 1, directive.c_str(), value);
#pragma GCC diagnostic pop
    out->resize(start + static_cast<size_t>(length));
}

}  // namespace

bool parse_format(std::string_view format, std::vector<FormatPiece> *pieces, std::string *error)
{
    pieces->clear();
    std::string literal;
    size_t pos = 0;
    while (pos < format.size()) {
        char c = format[pos];
        if (c != '%') {
            literal += c;
            ++pos;
            continue;
        }
        size_t start = pos++;
        if (pos < format.size() && format[pos] == '%') {
            literal += '%';
            ++pos;
            continue;
        }
        std::string flags;
        while (pos < format.size() && accepted_flags.find(format[pos]) != std::string_view::npos) {
            flags += format[pos++];
        }
        int width = 0;
        int precision = 0;
        bool has_precision = false;
        if (!read_number(format, &pos, &width)) {
            *error = "field width above 4096 at offset " + std::to_string(start);
            return false;
        }
        if (pos < format.size() && format[pos] == '.') {
            ++pos;
            has_precision = true;
            if (!read_number(format, &pos, &precision)) {
                *error = "precision above 4096 at offset " + std::to_string(start);
                return false;
            }
        }
        if (pos >= format.size()) {
            *error = "incomplete conversion at the end";
            return false;
        }
        char conversion = format[pos];
        std::string where = " at offset " + std::to_string(start);
        if (conversion == '*') {
            *error = "'*' width or precision is not accepted" + where;
            return false;
        }
        if (length_modifiers.find(conversion) != std::string_view::npos) {
            *error = std::string("length modifier '") + conversion +
                     "' is not accepted (arguments are int or string)" + where;
            return false;
        }
        if (accepted_conversions.find(conversion) == std::string_view::npos) {
            *error = std::string("conversion '%") + conversion + "' is not accepted" + where;
            return false;
        }
        // Flags and precisions whose effect C leaves undefined for the
        // conversion are refused as well.
        bool numeric = conversion != 'c' && conversion != 's';
        if (flags.find('#') != std::string::npos && conversion != 'x' && conversion != 'X') {
            *error = "flag '#' is only accepted with %x and %X" + where;
            return false;
        }
        if (flags.find('0') != std::string::npos && !numeric) {
            *error = "flag '0' is not accepted with %c and %s" + where;
            return false;
        }
        if (has_precision && conversion == 'c') {
            *error = "a precision is not accepted with %c" + where;
            return false;
        }
        ++pos;
        if (!literal.empty()) {
            pieces->push_back(FormatPiece{false, literal, 0});
            literal.clear();
        }
        pieces->push_back(FormatPiece{true, std::string(format.substr(start, pos - start)), conversion});
    }
    if (!literal.empty()) {
        pieces->push_back(FormatPiece{false, literal, 0});
    }
    return true;
}

void apply_format(const std::vector<FormatPiece> &pieces, va_list args, std::string *out)
{
    for (const FormatPiece &piece : pieces) {
        if (!piece.is_conversion) {
            out->append(piece.text);
            continue;
        }
        switch (piece.conversion) {
        case 's': {
            const char *text = va_arg(args, const char *);
            append_printf(piece.text, text != nullptr ? text : "(none)", out);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
            append_printf(piece.text, static_cast<unsigned int>(va_arg(args, int)), out);
            break;
        default:  // d, i, c
            append_printf(piece.text, va_arg(args, int), out);
            break;
        }
    }
}

}  // namespace parlance
