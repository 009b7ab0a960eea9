// What a person sees of server-supplied text in the listing table and the folder tree: names
// and ids pass through printable(), so that a control or a bidirectional override cannot change
// what the terminal shows of the rest of the line.
#include "output.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

using kojelly::cli::Entry;
using kojelly::cli::print_table;
using kojelly::cli::kUnicodeTree;
using kojelly::cli::print_tree_line;

// What a print function writes, caught in memory.
template <typename Print>
std::string printed(Print print) {
    char *text = nullptr;
    std::size_t size = 0;
    std::FILE *out = open_memstream(&text, &size);
    if (!out) return "open_memstream failed";
    print(out);
    std::fclose(out);
    std::string result(text, size);
    std::free(text);
    return result;
}

std::string utf8_bmp(std::uint32_t cp) {
    return {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
            static_cast<char>(0x80 | (cp & 0x3F))};
}

TEST(OutputTest, TableAndTreeShowNoDirectionalOverride) {
    // U+202A to U+202E and U+2066 to U+2069: embeddings, overrides and isolates.
    std::vector<std::uint32_t> code_points;
    for (std::uint32_t cp = 0x202A; cp <= 0x202E; ++cp) code_points.push_back(cp);
    for (std::uint32_t cp = 0x2066; cp <= 0x2069; ++cp) code_points.push_back(cp);
    for (const std::uint32_t cp : code_points) {
        SCOPED_TRACE(cp);
        const std::string mark = utf8_bmp(cp);
        Entry file;
        file.name = "Holiday" + mark + "vkm.exe";
        file.id = "0123456789abcdef" + mark + "0123456789abcdef";
        file.year = 2020;
        file.size = 1024;
        Entry folder = file;
        folder.folder = true;
        folder.size = -1;
        const std::vector<Entry> entries = {file, folder};
        const std::string table = printed([&](std::FILE *out) { print_table(out, entries); });
        const std::string tree = printed([&](std::FILE *out) {
            print_tree_line(out, kUnicodeTree, "", false, folder, "error: " + file.name);
            print_tree_line(out, kUnicodeTree, "│   ", true, file, "");
        });
        for (const std::string *shown : {&table, &tree}) {
            EXPECT_EQ(shown->find(mark), std::string::npos) << *shown;
            EXPECT_NE(shown->find("Holiday?vkm.exe"), std::string::npos) << *shown;
            EXPECT_NE(shown->find("0123456789abcdef?0123456789abcdef"), std::string::npos)
                << *shown;
        }
    }
}

}  // namespace
