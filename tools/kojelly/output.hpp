// Reading the plug-in's answers (listing, validation, stream) and showing them to a person:
// the listing table (name, kind, year, size in human units, id), the folder tree, and aligned
// key/value lines. Every text that came from the server passes through printable() first.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace kojelly::cli {

// One entry of a listing, as the plug-in writes it.
struct Entry {
    std::string name;
    std::string id;
    std::string type;
    std::string container;
    bool folder = false;
    int year = 0;
    std::int64_t size = -1;
};

// The entries of a listing JSON, or false with a message.
[[nodiscard]] bool parse_listing(std::string_view json, std::vector<Entry> &out,
                                 std::string &error);

// The string members of a JSON object in their order ("ID", "FullUrl", ...), or false.
[[nodiscard]] bool parse_fields(std::string_view json,
                                std::vector<std::pair<std::string, std::string>> &out);

struct StreamAnswer {
    std::string url;
    std::string authorization;
    std::string id;
    std::string name;
    std::string container;
    std::int64_t size = -1;
    int year = 0;
};
[[nodiscard]] bool parse_stream(std::string_view json, StreamAnswer &out, std::string &error);

// The table of entries with a header line; at most `limit` rows, then a line saying how many
// were left out. Ends with the entry count.
void print_table(std::FILE *out, const std::vector<Entry> &entries,
                 std::size_t limit = static_cast<std::size_t>(-1));

// "key   value" lines with the values aligned.
void print_fields(std::FILE *out, const std::vector<std::pair<std::string, std::string>> &fields,
                  std::string_view indent = "");

// A folder walk: each node is an entry and, for a listed folder, its children.
struct TreeNode {
    Entry entry;
    std::vector<TreeNode> children;
    std::string note;  // why a folder was not listed: an error, the depth limit, a repeat
};
void print_tree(std::FILE *out, const std::vector<TreeNode> &nodes, std::string_view prefix = "");

}  // namespace kojelly::cli
