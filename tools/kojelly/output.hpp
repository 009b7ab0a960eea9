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

// The strokes that draw a folder tree: box-drawing characters, or ASCII for a terminal whose
// character set is not UTF-8.
struct TreeDrawing {
    const char *branch;       // before an entry that has another after it
    const char *last_branch;  // before the last entry of a folder
    const char *through;      // below an entry that has another after it
    const char *blank;        // below the last entry
};
inline constexpr TreeDrawing kUnicodeTree{"├── ", "└── ", "│   ", "    "};
inline constexpr TreeDrawing kAsciiTree{"|-- ", "`-- ", "|   ", "    "};

// One line of a folder tree: the entry after prefix and its branch, with the note (why a folder
// was not listed: an error, a bound, a repeat) when there is one.
void print_tree_line(std::FILE *out, const TreeDrawing &drawing, std::string_view prefix,
                     bool last, const Entry &entry, std::string_view note);
// The prefix of the lines below an entry.
std::string tree_child_prefix(const TreeDrawing &drawing, std::string_view prefix, bool last);

}  // namespace kojelly::cli
