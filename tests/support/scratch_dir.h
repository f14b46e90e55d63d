// A fresh directory for one test, removed with everything in it afterwards.
#pragma once

#include <filesystem>
#include <string>

namespace zem::test_support {

// The directory is made under $TMPDIR (or /tmp) and named after the running
// test, so that one left behind by a crash says where it came from.
class ScratchDir {
public:
    ScratchDir();
    // Makes read-only directories writable again, then removes the tree.
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::filesystem::path &path() const { return path_; }
    std::filesystem::path operator/(const std::string &name) const { return path_ / name; }
    // Writes `content` to the file `name` in the directory (see write_file)
    // and returns the file's path.
    std::filesystem::path write(const std::string &name, const std::string &content) const;

private:
    std::filesystem::path path_;
};

} // namespace zem::test_support
