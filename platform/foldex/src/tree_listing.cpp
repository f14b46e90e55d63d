#include "tree_listing.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace foldex {
namespace {

class TreeLister {
public:
    TreeLister(const std::string &root, bool recurse, std::vector<TreeEntry> &entries)
        : root_(root), recurse_(recurse), entries_(entries) {}

    bool list(const std::string &relative) {
        std::vector<std::string> names;
        if (!read_names(relative, names))
            return false;
        for (const std::string &name : names) {
            const std::string child = relative.empty() ? name : relative + '/' + name;
            const std::string path = join_path(root_, child);
            struct stat st {};
            if (lstat(path.c_str(), &st) != 0) {
                const int error_number = errno;
                if (error_number == ENOENT)
                    continue;
                return fail("cannot examine " + path, error_number);
            }
            if (!S_ISDIR(st.st_mode) && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode))
                continue;
            TreeEntry entry;
            entry.relative = child;
            entry.mode = st.st_mode;
            entry.size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
            entry.mtime = st.st_mtim.tv_sec;
            entry.mtime_nsec = st.st_mtim.tv_nsec;
            entry.uid = st.st_uid;
            entry.gid = st.st_gid;
            if (S_ISLNK(st.st_mode) && !read_link(path, st, entry.link_target))
                return false;
            entries_.push_back(std::move(entry));
            if (S_ISDIR(st.st_mode) && recurse_ && !list(child))
                return false;
        }
        return true;
    }

    const std::string &error() const { return error_; }
    int error_number() const { return error_number_; }

private:
    bool read_names(const std::string &relative, std::vector<std::string> &names) {
        const std::string path = join_path(root_, relative);
        std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(path.c_str()), &closedir);
        if (dir == nullptr) {
            const int error_number = errno;
            return fail("cannot list " + path, error_number);
        }
        for (;;) {
            errno = 0;
            const dirent *item = readdir(dir.get());
            if (item == nullptr) {
                const int error_number = errno;
                if (error_number != 0)
                    return fail("cannot list " + path, error_number);
                break;
            }
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
                names.emplace_back(item->d_name);
        }
        std::sort(names.begin(), names.end());
        return true;
    }

    bool read_link(const std::string &path, const struct stat &st, std::string &target) {
        // st_size is only a hint: some file systems report 0 for links.
        std::string buffer(static_cast<size_t>(std::max<off_t>(st.st_size, 64)) + 1, '\0');
        for (;;) {
            const ssize_t length = readlink(path.c_str(), buffer.data(), buffer.size());
            if (length < 0) {
                const int error_number = errno;
                return fail("cannot read the link " + path, error_number);
            }
            if (static_cast<size_t>(length) < buffer.size()) {
                buffer.resize(static_cast<size_t>(length));
                target = std::move(buffer);
                return true;
            }
            buffer.resize(buffer.size() * 2);
        }
    }

    bool fail(const std::string &what, int error_number) {
        error_ = what + ": " + std::strerror(error_number);
        error_number_ = error_number;
        return false;
    }

    const std::string &root_;
    const bool recurse_;
    std::vector<TreeEntry> &entries_;
    std::string error_;
    int error_number_ = 0;
};

}  // namespace

std::string join_path(const std::string &root, const std::string &relative) {
    if (relative.empty())
        return root;
    if (!root.empty() && root.back() == '/')
        return root + relative;
    return root + '/' + relative;
}

bool list_tree(const std::string &root, bool recurse, std::vector<TreeEntry> &entries,
               std::string &error, int &error_number) {
    TreeLister lister(root, recurse, entries);
    if (lister.list(std::string()))
        return true;
    error = lister.error();
    error_number = lister.error_number();
    return false;
}

}  // namespace foldex
