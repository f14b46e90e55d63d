// Helpers of the foldex tests: snapshots of trees and whole streams, with
// the scratch directories, files, data and shell commands of the shared
// test support.
#pragma once

#include "child_process.h"
#include "file_contents.h"
#include "scratch_dir.h"
#include "test_data.h"

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace foldex_test {

using zem::test_support::pattern;
using zem::test_support::read_file;
using zem::test_support::run_shell;
using zem::test_support::ScratchDir;
using zem::test_support::shell_quote;
using zem::test_support::write_file;

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
