#include "file_contents.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace zem::test_support {

std::string read_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void write_file(const std::filesystem::path &path, const std::string &content) {
    if (path.has_parent_path()) {
        std::error_code ignored; // a failure shows when the file is opened
        std::filesystem::create_directories(path.parent_path(), ignored);
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace zem::test_support
