// Whole files in and out of a string.
#pragma once

#include <filesystem>
#include <string>

namespace zem::test_support {

// The bytes of a file; empty when it does not exist or cannot be read.
std::string read_file(const std::filesystem::path &path);

// Replaces the file with `content`, creating missing parent directories.
// Throws std::runtime_error when the file cannot be written.
void write_file(const std::filesystem::path &path, const std::string &content);

} // namespace zem::test_support
