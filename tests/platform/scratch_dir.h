// A fresh directory for one test, removed with everything in it afterwards.
#ifndef ZEM_TESTS_PLATFORM_SCRATCH_DIR_H
#define ZEM_TESTS_PLATFORM_SCRATCH_DIR_H

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

class ScratchDir {
public:
    ScratchDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "zem-platform-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
    }
    ~ScratchDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

    // Writes text to the file name (relative to the directory) and returns
    // its full path.
    std::string write(const std::string &name, const std::string &text) const
    {
        std::string full = *this / name;
        std::ofstream(full, std::ios::binary) << text;
        return full;
    }

private:
    std::string path_;
};

#endif
