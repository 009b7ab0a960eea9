// The tool's text helpers: what a terminal is shown of server-supplied names, the human units
// of the tables, and the JSON strings the tool and its demo server write.
#include "text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace {

using namespace kojelly::cli;

TEST(TextTest, PrintableKeepsTextAndDefusesControls) {
    struct Case {
        const char *name;
        std::string in;
        std::string out;
    };
    const Case cases[] = {
        {"plain and accented text passes", "Amélie ∕ 東京", "Amélie ∕ 東京"},
        {"escape sequence", "a\x1b[31mred", "a?[31mred"},
        {"tab and newline", "a\tb\nc", "a?b?c"},
        {"DEL", "a\x7f", "a?"},
        {"C1 control CSI (U+009B)",
         "a\xc2\x9b"
         "2J",
         "a?2J"},
        {"stray continuation byte", "a\x80z", "a?z"},
        {"truncated sequence at the end", "a\xe2\x88", "a??"},
        {"overlong slash", "\xc0\xaf", "??"},
        {"surrogate", "\xed\xa0\x80", "???"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(printable(c.in), c.out);
    }
}

// A code point of the Basic Multilingual Plane above U+07FF, in UTF-8.
std::string utf8_bmp(std::uint32_t cp) {
    return {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
            static_cast<char>(0x80 | (cp & 0x3F))};
}

TEST(TextTest, PrintableDefusesEveryDirectionalOverride) {
    struct Case {
        std::uint32_t cp;
        const char *name;
        bool shown;  // passed to the terminal as it is
    };
    const Case cases[] = {
        {0x202A, "LEFT-TO-RIGHT EMBEDDING", false},
        {0x202B, "RIGHT-TO-LEFT EMBEDDING", false},
        {0x202C, "POP DIRECTIONAL FORMATTING", false},
        {0x202D, "LEFT-TO-RIGHT OVERRIDE", false},
        {0x202E, "RIGHT-TO-LEFT OVERRIDE", false},
        {0x2066, "LEFT-TO-RIGHT ISOLATE", false},
        {0x2067, "RIGHT-TO-LEFT ISOLATE", false},
        {0x2068, "FIRST STRONG ISOLATE", false},
        {0x2069, "POP DIRECTIONAL ISOLATE", false},
        // Their neighbours are ordinary text.
        {0x202F, "NARROW NO-BREAK SPACE", true},
        {0x2070, "SUPERSCRIPT ZERO", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string in = "Movie" + utf8_bmp(c.cp) + "4pm.mkv";
        EXPECT_EQ(printable(in), c.shown ? in : "Movie?4pm.mkv");
    }
}

TEST(TextTest, HumanSizes) {
    struct Case {
        std::int64_t bytes;
        const char *text;
    };
    const Case cases[] = {
        {-1, "-"},
        {0, "0 B"},
        {1023, "1023 B"},
        {1024, "1.0 KiB"},
        {1536, "1.5 KiB"},
        {1048575, "1.0 MiB"},  // not "1024.0 KiB"
        {6520686900, "6.1 GiB"},
        {INT64_MAX, "8.0 EiB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(human_size(c.bytes), c.text);
    }
}

TEST(TextTest, FitCutsAtCharacterBoundaries) {
    EXPECT_EQ(fit("short", 10), "short");
    EXPECT_EQ(fit("exactly10!", 10), "exactly10!");
    EXPECT_EQ(fit("much too long", 6), "much …");
    EXPECT_EQ(fit("ééééé", 3), "éé…");
    EXPECT_EQ(display_width(fit("ééééé", 3)), 3u);
}

TEST(TextTest, CaseFoldingIsAsciiLettersOnly) {
    struct Case {
        const char *why;
        std::string a;
        std::string b;
        bool equal;
    };
    const Case cases[] = {
        {"header names in any case", "CONTENT-type", "content-TYPE", true},
        {"a longer name with the same start", "Range", "Ranges", false},
        {"'@' and '`' differ by the case bit but are not letters", "a@", "A`", false},
        {"'[' and '{' likewise", "[", "{", false},
        {"bytes above ASCII are compared as they are", "\xc3\x89", "\xc3\xa9", false},
        {"empty texts", "", "", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.why);
        EXPECT_EQ(iequals(c.a, c.b), c.equal);
    }
    EXPECT_EQ(lower("MediaBrowser Client=\"É\""), "mediabrowser client=\"É\"");
}

TEST(TextTest, TrimAndSplitKeepWhatIsBetween) {
    EXPECT_EQ(trim("  Content-Range: bytes 0-9/10\r\n"), "Content-Range: bytes 0-9/10");
    EXPECT_EQ(trim(" \t\r\n\v\f"), "");
    EXPECT_EQ(trim("a b"), "a b");
    struct Case {
        std::string text;
        std::vector<std::string> pieces;
    };
    const Case cases[] = {
        {"a,b,c", {"a", "b", "c"}},
        {"one", {"one"}},
        {"", {""}},
        {"a,,b,", {"a", "", "b", ""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(split(c.text, ','), c.pieces);
    }
}

TEST(TextTest, JsonStringsEscapeWhatJsonRequires) {
    EXPECT_EQ(json_string("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(json_string("\n\r\t\x01"), "\"\\n\\r\\t\\u0001\"");
    EXPECT_EQ(json_string("Amélie"), "\"Amélie\"");
}

}  // namespace
