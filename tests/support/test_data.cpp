#include "test_data.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

namespace zem::test_support {

namespace {

// The pattern is made of blocks of this size, each from its own start state,
// so that any part of a large file can be made without the parts before it.
constexpr std::size_t kBlock = 1 << 20;

// The first `size` bytes (at most kBlock) of block `index` of the pattern.
void fill_block(char *out, std::size_t size, std::uint64_t seed, std::uint64_t index) {
    std::uint64_t state = splitmix64(seed ^ splitmix64(index));
    std::size_t i = 0;
    for (; i + sizeof state <= size; i += sizeof state) {
        state = splitmix64(state);
        std::memcpy(out + i, &state, sizeof state);
    }
    if (i < size) { // the first bytes of one more word
        state = splitmix64(state);
        unsigned char word[sizeof state];
        std::memcpy(word, &state, sizeof word);
        std::copy_n(word, size - i, out + i);
    }
}

} // namespace

std::uint64_t splitmix64(std::uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

std::string pattern(std::size_t size, std::uint64_t seed) {
    std::string bytes(size, '\0');
    for (std::size_t offset = 0, index = 0; offset < size; offset += kBlock, ++index)
        fill_block(bytes.data() + offset, std::min(kBlock, size - offset), seed, index);
    return bytes;
}

void write_pattern_file(const std::filesystem::path &path, std::uint64_t size, std::uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<char> block(kBlock);
    for (std::uint64_t index = 0, done = 0; done < size; ++index) {
        const auto piece = static_cast<std::size_t>(std::min<std::uint64_t>(kBlock, size - done));
        fill_block(block.data(), piece, seed, index);
        out.write(block.data(), static_cast<std::streamsize>(piece));
        done += piece;
    }
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace zem::test_support
