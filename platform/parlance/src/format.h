// The formats the catalogue accepts, parsed once when a file is loaded and
// applied to report arguments when a report is formatted.
#ifndef PARLANCE_FORMAT_H
#define PARLANCE_FORMAT_H

#include <cstdarg>
#include <string>
#include <string_view>
#include <vector>

namespace parlance {

// One piece of a format: literal text, or one conversion with its printf
// directive (for example "%-8s") and its conversion character.
struct FormatPiece {
    bool is_conversion = false;
    std::string text;
    char conversion = 0;
};

// Splits format into pieces. False, with the reason in *error, when the
// format uses anything but %d %i %u %x %X %c %s (with flags, width and
// precision that are defined for them) and %%.
bool parse_format(std::string_view format, std::vector<FormatPiece> *pieces, std::string *error);

// Appends the text of pieces to out, taking each argument from args by the
// type its conversion names: int for d i u x X c, const char * for s.
void apply_format(const std::vector<FormatPiece> &pieces, va_list args, std::string *out);

}  // namespace parlance

#endif
