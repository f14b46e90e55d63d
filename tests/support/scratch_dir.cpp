#include "scratch_dir.h"

#include "file_contents.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zem::test_support {

namespace fs = std::filesystem;

ScratchDir::ScratchDir() {
    std::string name = "zem";
    if (const auto *info = ::testing::UnitTest::GetInstance()->current_test_info())
        name += std::string("-") + info->test_suite_name() + "-" + info->name();
    std::replace(name.begin(), name.end(), '/', '_');
    // Parameterised tests can have long names; a file name has at most 255 bytes.
    if (name.size() > 120) name.resize(120);
    const char *base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + name + "-XXXXXX";
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a scratch directory " + pattern + ": " + std::strerror(errno));
    path_ = pattern;
}

ScratchDir::~ScratchDir() {
    // A directory without write or search permission cannot be emptied.
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0700);
    }
    fs::remove_all(path_, ignored);
}

fs::path ScratchDir::write(const std::string &name, const std::string &content) const {
    const fs::path path = path_ / name;
    write_file(path, content);
    return path;
}

} // namespace zem::test_support
