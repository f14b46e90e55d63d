#include "member_path.h"

#include <string_view>

namespace foldex {

MemberPath check_member_path(const char *name) {
    MemberPath result;
    if (name == nullptr || *name == '\0') {
        result.problem = "is empty";
        return result;
    }
    std::string_view rest(name);
    if (rest.front() == '/') {
        result.problem = "is an absolute path";
        return result;
    }
    while (!rest.empty()) {
        const size_t slash = rest.find('/');
        const std::string_view component = rest.substr(0, slash);
        rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
        if (component.empty() || component == ".")
            continue;
        if (component == "..") {
            result.problem = "has a \"..\" component";
            return result;
        }
        if (!result.relative.empty())
            result.relative += '/';
        result.relative += component;
    }
    result.valid = true;
    return result;
}

}  // namespace foldex
