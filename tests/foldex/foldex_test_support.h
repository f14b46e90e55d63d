// Helpers of the foldex tests: scratch directories, files, trees and
// whole streams.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace foldex_test {

// A fresh directory under $TMPDIR (or /tmp), removed with its contents.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir &) = delete;
    ScratchDir &operator=(const ScratchDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void write_file(const std::string &path, const std::string &content);
std::string read_file(const std::string &path);
// Deterministic bytes that do not compress well.
std::string noise(size_t size, uint32_t seed);
// Runs a shell command; returns its exit status and, when output is given,
// what it wrote to standard output.
int run(const std::string &command, std::string *output = nullptr);
std::string shell_quote(const std::string &text);

// What a tree holds, by relative path: the kind, the permission bits, the
// content of files, the target of links and the modification time.
struct Node {
    char kind = '?';  // 'd', 'f', 'l'
    mode_t mode = 0;
    std::string content;
    int64_t mtime = 0;
    bool operator==(const Node &other) const;
};
using Tree = std::map<std::string, Node>;
Tree snapshot(const std::string &root);
// Lists the differences between two trees, empty when they are equal.
std::string compare(const Tree &expected, const Tree &actual);

// Reads the whole read-mode stream of a directory in reads of `chunk`
// bytes; checks that the total equals the announced size.
struct ReadResult {
    bool ok = false;
    uint64_t announced = 0;
    std::string bytes;
    std::string error;
};
ReadResult read_stream(const std::string &directory, int chunk);

// Feeds bytes into a write-mode stream in writes of `chunk` bytes and
// finishes it; block_hint sizes the stream's queue.
struct WriteResult {
    bool writes_ok = false;
    int finish = -2;
    std::string error;
};
WriteResult write_stream(const std::string &directory, const std::string &bytes, int chunk,
                         int block_hint = 1000000);

}  // namespace foldex_test
