// The UTF-8 locale that archiving threads use, so that libarchive stores
// and reads non-ASCII names as UTF-8 instead of warning about them.
#pragma once

#include <locale.h>

namespace foldex {

// A process-wide C.UTF-8 locale object, created once and never freed;
// null when the C library has no UTF-8 locale.
locale_t utf8_locale();

// Makes the UTF-8 locale current on this thread for the life of the scope
// and restores the thread's previous locale afterwards.
class Utf8LocaleScope {
public:
    Utf8LocaleScope();
    ~Utf8LocaleScope();
    Utf8LocaleScope(const Utf8LocaleScope &) = delete;
    Utf8LocaleScope &operator=(const Utf8LocaleScope &) = delete;

private:
    locale_t previous_ = nullptr;
};

}  // namespace foldex
