// Deterministic test data: the same seed gives the same bytes on every run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace zem::test_support {

// One step of splitmix64: a fast mix whose output depends only on its input.
std::uint64_t splitmix64(std::uint64_t x);

// `size` pseudo-random bytes that depend only on `seed` and their offset.
// They differ from chunk to chunk, so a misplaced chunk shows, and they do
// not compress.
std::string pattern(std::size_t size, std::uint64_t seed = 1);

// Writes the bytes of pattern(size, seed) to `path` a block at a time, for
// files too large to hold in memory.
void write_pattern_file(const std::filesystem::path &path, std::uint64_t size, std::uint64_t seed);

} // namespace zem::test_support
