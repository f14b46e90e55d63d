// The INI reader. Each file is parsed whole by Boost.PropertyTree and copied
// into plain lists that keep the order of the file; values never move once a
// file has been added, so the pointers handed out stay valid until the
// reader is deleted.
#include "tessel.h"

#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sys/stat.h>

#include <fstream>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

struct Section {
    bool named = false;  // false for the keys before the first section
    std::string name;
    std::vector<std::pair<std::string, std::string>> values;
};

using IniFile = std::vector<Section>;

bool same_name(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

// The parser leaves keys outside any section as leaves of the root, before
// the sections, and drops empty sections, so every child with children is a
// section and every leaf a key outside sections.
IniFile to_sections(const boost::property_tree::ptree &tree)
{
    IniFile file;
    for (const auto &[name, child] : tree) {
        if (child.empty()) {
            if (file.empty() || file.back().named) {
                file.push_back(Section{});
            }
            file.back().values.emplace_back(name, child.data());
            continue;
        }
        Section section{true, name, {}};
        for (const auto &[key, value] : child) {
            section.values.emplace_back(key, value.data());
        }
        file.push_back(std::move(section));
    }
    return file;
}

}  // namespace

struct tessel {
    std::vector<std::unique_ptr<IniFile>> files;
};

extern "C" {

tessel *new_tessel(void)
{
    return new (std::nothrow) tessel;
}

int tessel_add_ini_file_source(tessel *reader, const char *path)
{
    if (reader == nullptr || path == nullptr) {
        return -1;
    }
    // An unreadable stream reads as an empty file to the parser: refuse
    // anything that is not a regular file that opens.
    struct stat info;
    if (::stat(path, &info) != 0 || !S_ISREG(info.st_mode)) {
        return -1;
    }
    try {
        std::ifstream stream(path, std::ios::binary);
        if (!stream.is_open()) {
            return -1;
        }
        boost::property_tree::ptree tree;
        boost::property_tree::ini_parser::read_ini(stream, tree);
        auto file = std::make_unique<IniFile>(to_sections(tree));
        reader->files.push_back(std::move(file));
        return 0;
    } catch (const std::exception &) {
        return -1;
    }
}

const char *tessel_get_attrib_val(tessel *reader, const char *section, const char * /*subsection*/,
                                  const char *key)
{
    if (reader == nullptr || key == nullptr) {
        return nullptr;
    }
    for (const auto &file : reader->files) {
        for (const Section &candidate : *file) {
            if (section != nullptr) {
                // "" names the keys outside any section.
                bool wanted = section[0] == '\0' ? !candidate.named
                                                 : candidate.named && same_name(candidate.name, section);
                if (!wanted) {
                    continue;
                }
            }
            for (const auto &[name, value] : candidate.values) {
                if (same_name(name, key)) {
                    return value.c_str();
                }
            }
        }
    }
    return nullptr;
}

void delete_tessel(tessel *reader)
{
    delete reader;
}

}  // extern "C"
