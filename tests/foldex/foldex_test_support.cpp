#include "foldex_test_support.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>

#include "foldex.h"

namespace foldex_test {

bool Node::operator==(const Node &other) const {
    return kind == other.kind && mode == other.mode && content == other.content && mtime == other.mtime;
}

namespace {

void walk(const std::string &root, const std::string &relative, Tree &tree) {
    const std::string path = relative.empty() ? root : root + "/" + relative;
    DIR *dir = opendir(path.c_str());
    if (dir == nullptr)
        throw std::runtime_error("cannot list " + path);
    std::vector<std::string> names;
    while (const dirent *item = readdir(dir)) {
        const std::string name = item->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    for (const std::string &name : names) {
        const std::string child = relative.empty() ? name : relative + "/" + name;
        const std::string child_path = root + "/" + child;
        struct stat st {};
        if (lstat(child_path.c_str(), &st) != 0)
            throw std::runtime_error("cannot examine " + child_path);
        Node node;
        node.mode = st.st_mode & 07777;
        if (S_ISDIR(st.st_mode)) {
            node.kind = 'd';
            node.mtime = st.st_mtim.tv_sec;
        } else if (S_ISREG(st.st_mode)) {
            node.kind = 'f';
            node.content = read_file(child_path);
            node.mtime = st.st_mtim.tv_sec;
        } else if (S_ISLNK(st.st_mode)) {
            node.kind = 'l';
            node.mode = 0;  // link modes are not kept on Linux
            std::string target(4096, '\0');
            const ssize_t length = readlink(child_path.c_str(), target.data(), target.size());
            target.resize(length > 0 ? static_cast<size_t>(length) : 0);
            node.content = target;
        }
        tree[child] = node;
        if (S_ISDIR(st.st_mode))
            walk(root, child, tree);
    }
}

std::string describe(const Node &node) {
    std::ostringstream text;
    text << node.kind << " mode " << std::oct << node.mode << std::dec << " mtime " << node.mtime;
    if (node.kind == 'l')
        text << " -> " << node.content;
    else if (node.kind == 'f')
        text << " " << node.content.size() << " bytes";
    return text.str();
}

}  // namespace

Tree snapshot(const std::string &root) {
    Tree tree;
    walk(root, "", tree);
    return tree;
}

std::string compare(const Tree &expected, const Tree &actual) {
    std::string differences;
    for (const auto &[name, node] : expected) {
        const auto found = actual.find(name);
        if (found == actual.end())
            differences += "missing " + name + "\n";
        else if (!(found->second == node))
            differences += "differs " + name + ": expected " + describe(node) + ", got " +
                           describe(found->second) + "\n";
    }
    for (const auto &[name, node] : actual) {
        if (expected.count(name) == 0)
            differences += "unexpected " + name + "\n";
    }
    return differences;
}

ReadResult read_stream(const std::string &directory, int chunk) {
    ReadResult result;
    wgz_dir dir = wgzDirOpen(directory.c_str(), "r", 1000000, 1, 0, &result.announced);
    if (dir == 0) {
        result.error = wgzDirError(0);
        return result;
    }
    std::vector<char> buffer(static_cast<size_t>(chunk));
    for (;;) {
        uint32_t position = 0;
        const int got = wgzDirRead(dir, buffer.data(), chunk, &position);
        if (got < 0) {
            result.error = wgzDirError(dir);
            wgzDirClose(dir);
            return result;
        }
        result.bytes.append(buffer.data(), static_cast<size_t>(got));
        if (position != static_cast<uint32_t>(result.bytes.size())) {
            result.error = "the position does not follow the bytes read";
            wgzDirClose(dir);
            return result;
        }
        if (got < chunk)
            break;
    }
    // The end stays the end.
    uint32_t position = 0;
    const int after_end = wgzDirRead(dir, buffer.data(), chunk, &position);
    wgzDirClose(dir);
    if (after_end != 0)
        result.error = "a read after the end returned " + std::to_string(after_end);
    else if (result.bytes.size() != result.announced)
        result.error = "announced " + std::to_string(result.announced) + " bytes, read " +
                       std::to_string(result.bytes.size());
    else
        result.ok = true;
    return result;
}

WriteResult write_stream(const std::string &directory, const std::string &bytes, int chunk, int block_hint) {
    WriteResult result;
    wgz_dir dir = wgzDirOpen(directory.c_str(), "w", block_hint, 0, 0, nullptr);
    if (dir == 0) {
        result.error = wgzDirError(0);
        return result;
    }
    result.writes_ok = true;
    for (size_t offset = 0; offset < bytes.size();) {
        const int piece = static_cast<int>(std::min<size_t>(static_cast<size_t>(chunk), bytes.size() - offset));
        uint32_t position = 0;
        const int written = wgzDirWrite(dir, bytes.data() + offset, piece, &position);
        if (written < 1) {
            result.writes_ok = false;
            break;
        }
        offset += static_cast<size_t>(written);
    }
    result.finish = wgzDirFinish(dir);
    result.error = wgzDirError(dir);
    wgzDirClose(dir);
    return result;
}

}  // namespace foldex_test
