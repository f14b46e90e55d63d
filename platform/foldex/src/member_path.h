// The names of archive members, checked before anything touches the disk.
#pragma once

#include <string>

namespace foldex {

// A member name reduced to its components below the destination.
struct MemberPath {
    bool valid = false;
    // The components joined with '/', without empty and "." components;
    // empty for a name that stands for the destination itself ("./").
    std::string relative;
    // Why the name was refused when it is not valid ("is an absolute
    // path", "has a \"..\" component", "is empty").
    std::string problem;
};

// Refuses absolute names and names with a ".." component; every other
// name is reduced as MemberPath describes.
MemberPath check_member_path(const char *name);

}  // namespace foldex
