#include "utf8_locale.h"

#include <initializer_list>

namespace foldex {

locale_t utf8_locale() {
    static const locale_t locale = [] {
        for (const char *name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
            if (locale_t made = newlocale(LC_ALL_MASK, name, static_cast<locale_t>(nullptr)))
                return made;
        }
        return static_cast<locale_t>(nullptr);
    }();
    return locale;
}

Utf8LocaleScope::Utf8LocaleScope() {
    if (locale_t utf8 = utf8_locale())
        previous_ = uselocale(utf8);
}

Utf8LocaleScope::~Utf8LocaleScope() {
    if (previous_ != nullptr)
        uselocale(previous_);
}

}  // namespace foldex
