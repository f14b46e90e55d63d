// The list of entries that a read-mode stream archives, taken once.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace foldex {

// One file-system object below the root, as lstat saw it.
struct TreeEntry {
    std::string relative;  // path below the root, components joined with '/'
    mode_t mode = 0;       // file type and permission bits
    uint64_t size = 0;     // bytes of a regular file, else 0
    int64_t mtime = 0;
    long mtime_nsec = 0;
    uid_t uid = 0;
    gid_t gid = 0;
    std::string link_target;  // the text of a symbolic link
};

// The path of an entry below root ("" gives root itself).
std::string join_path(const std::string &root, const std::string &relative);

// Lists the directories, regular files and symbolic links below root
// (recursively when recurse is set) without following links: parents come
// before their children and siblings in byte order of their names. Other
// kinds of files are left out, as are entries that vanish while they are
// listed. On failure returns false with error naming the path and
// error_number set.
bool list_tree(const std::string &root, bool recurse, std::vector<TreeEntry> &entries,
               std::string &error, int &error_number);

}  // namespace foldex
