// The JSON conformance gate of the page parser: it takes every text that strict JSON (RFC 8259)
// takes and refuses every text that strict JSON refuses. Where the RFC leaves the choice to the
// parser (numbers beyond the range of a double, escaped lone surrogates, a byte order mark) the
// rows pin the choice made, with the reason; a change of any of them is a change of what the
// plug-in accepts from a server and must be deliberate.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "kojelly.h"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"

namespace {

constexpr char kNotJson[] = "/Items answered something that is not a JSON object";

enum Verdict { kAccept, kReject };

struct Row {
    const char *why;
    std::string text;
    Verdict verdict;
};

std::string nested(const std::string &open, const std::string &inner, const std::string &close,
                   int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += open;
    s += inner;
    for (int i = 0; i < depth; ++i) s += close;
    return s;
}

// Values, each tried as the value of a member of an otherwise valid /Items page.
std::vector<Row> value_rows() {
    using namespace std::string_literals;
    return {
        // Numbers.
        {"zero and negative zero", "[0,-0,-0.0]", kAccept},
        {"fractions and exponents", "[1.5,-1E-2,1e+2,2E3,0.0e0]", kAccept},
        {"an integer beyond 64 bits, read as a double", "123456789012345678901234567890", kAccept},
        {"2^64 and below -2^63", "[18446744073709551616,-9223372036854775809]", kAccept},
        {"an exponent that underflows to zero", "1e-400", kAccept},
        // RFC 8259 section 9 lets a parser limit the range of numbers; a value that is infinite
        // as a double is refused rather than silently turned into something else.
        {"an exponent beyond the range of a double (pinned: refused)", "1e400", kReject},
        {"a negative one beyond the range (pinned: refused)", "-1e400", kReject},
        {"leading zero", "01", kReject},
        {"negative leading zero", "-01", kReject},
        {"leading plus", "+1", kReject},
        {"no integer part", ".5", kReject},
        {"no fraction digits", "1.", kReject},
        {"no exponent digits", "1e", kReject},
        {"exponent sign without digits", "1e+", kReject},
        {"a lone minus", "-", kReject},
        {"hexadecimal", "0x10", kReject},
        {"NaN", "NaN", kReject},
        {"Infinity", "Infinity", kReject},
        {"negative Infinity", "-Infinity", kReject},
        {"lower-case nan", "nan", kReject},
        // Literals.
        {"the three literals", "[true,false,null]", kAccept},
        {"a capitalised literal", "True", kReject},
        {"a cut literal", "nul", kReject},
        {"a bare word", "abc", kReject},
        // Strings and escapes.
        {"every two-character escape", R"("\"\\\/\b\f\n\r\t")", kAccept},
        {"an escaped NUL", R"("a\u0000b")", kAccept},
        {"an escaped surrogate pair", R"("\uD834\uDD1E")", kAccept},
        {"an escaped noncharacter", R"("\uFFFF")", kAccept},
        {"raw two-, three- and four-byte UTF-8", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9D\x84\x9E\"",
         kAccept},
        {"the highest code point, raw", "\"\xF4\x8F\xBF\xBF\"", kAccept},
        {"an empty string and an empty key", R"({"":""})", kAccept},
        {"a string of 100000 bytes", "\"" + std::string(100000, 'x') + "\"", kAccept},
        {"single quotes", "'a'", kReject},
        {"a raw tab inside a string", "\"a\tb\"", kReject},
        {"a raw line feed inside a string", "\"a\nb\"", kReject},
        {"a raw NUL inside a string", "\"a\0b\""s, kReject},
        {"an unknown escape", R"("\x41")", kReject},
        {"a short \\u escape", R"("\u12")", kReject},
        {"a \\u escape with non-hex digits", R"("\uZZZZ")", kReject},
        {"an unterminated string", "\"abc", kReject},
        // RFC 8259 section 8.2: the grammar admits an escaped lone surrogate but no Unicode text
        // holds one; the parser refuses it instead of inventing a character.
        {"an escaped lone high surrogate (pinned: refused)", R"("\uD800")", kReject},
        {"an escaped lone low surrogate (pinned: refused)", R"("\uDC00")", kReject},
        {"a high surrogate before a plain escape (pinned: refused)", R"("\uD800\u0041")", kReject},
        {"an overlong two-byte form", "\"\xC0\xAF\"", kReject},
        {"an overlong three-byte form", "\"\xE0\x80\xAF\"", kReject},
        {"an overlong four-byte form", "\"\xF0\x80\x80\xAF\"", kReject},
        {"a raw surrogate", "\"\xED\xA0\x80\"", kReject},
        {"a code point above U+10FFFF", "\"\xF4\x90\x80\x80\"", kReject},
        {"a lead byte of the old five-byte form", "\"\xF8\x88\x80\x80\x80\"", kReject},
        {"a lone continuation byte", "\"\x80\"", kReject},
        {"a sequence cut short", "\"\xE2\x88\"", kReject},
        {"invalid UTF-8 in a key", "{\"\xFF\":1}", kReject},
        // Structure.
        {"empty containers", "[[],{},[{}],{\"a\":[]}]", kAccept},
        {"white space everywhere it may go", "[ 1 ,\t2\n,\r3 , { \"a\" : 4 } ]", kAccept},
        {"a key given twice", R"({"a":1,"a":2})", kAccept},
        {"arrays nested 10000 deep", nested("[", "", "]", 10000), kAccept},
        {"objects nested 10000 deep", nested("{\"a\":", "0", "}", 10000), kAccept},
        {"a trailing comma in an array", "[1,]", kReject},
        {"a trailing comma in an object", R"({"a":1,})", kReject},
        {"a missing array element", "[1,,2]", kReject},
        {"a leading comma", "[,1]", kReject},
        {"a member without value", R"({"a":})", kReject},
        {"a member without colon", R"({"a" 1})", kReject},
        {"a key that is not a string", "{1:2}", kReject},
        {"elements without a comma", "[1 2]", kReject},
        {"a block comment", "[1/*c*/]", kReject},
        {"a line comment", "[1 // c\n]", kReject},
        {"a hash comment", "[1 # c\n]", kReject},
        {"an unclosed array", "[1", kReject},
        {"an unclosed object", R"({"a":1)", kReject},
        {"a mismatched bracket", "[1}", kReject},
        {"one closing bracket too many, 10000 deep", nested("[", "", "]", 10000).substr(1),
         kReject},
    };
}

// Whole bodies, where what surrounds the one top-level value matters.
std::vector<Row> document_rows() {
    using namespace std::string_literals;
    return {
        {"a page", R"({"Items":[]})", kAccept},
        {"white space around the page", " \t\r\n{\"Items\":[]} \t\r\n", kAccept},
        {"nothing at all", "", kReject},
        {"only white space", " \n", kReject},
        {"garbage behind the page", R"({"Items":[]} x)", kReject},
        {"a second value behind the page", R"({"Items":[]}{})", kReject},
        {"a comma behind the page", R"({"Items":[]},)", kReject},
        {"a stray bracket behind the page", R"({"Items":[]}])", kReject},
        {"a NUL byte behind the page", "{\"Items\":[]}\0"s, kReject},
        {"a comment behind the page", "{\"Items\":[]} // c", kReject},
        // RFC 8259 section 8.1: a parser may ignore a byte order mark; servers send none, and
        // the parser refuses one rather than guess at the encoding it announces.
        {"a byte order mark (pinned: refused)", "\xEF\xBB\xBF{\"Items\":[]}", kReject},
        {"a vertical tab is not JSON white space", "\v{\"Items\":[]}", kReject},
        {"a form feed is not JSON white space", "\f{\"Items\":[]}", kReject},
    };
}

// The page parser's verdict: accepted, or refused as not JSON. Any other failure is a fault of
// the row or of the parser and is reported as such.
void expect_verdict(const Row &row, const std::string &body) {
    kojelly_items list{};
    kojelly::Error err;
    const int rc = kojelly_parse_items_page(body.data(), body.size(), &list, nullptr, nullptr, err);
    kojelly_items_free(&list);
    if (row.verdict == kAccept) {
        EXPECT_EQ(rc, KOJELLY_OK) << err.msg;
    } else {
        EXPECT_EQ(rc, KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, kNotJson);
    }

    // The export reads a NUL-terminated text, so only bodies without a NUL byte of their own
    // reach it unchanged; it must give the same verdict.
    if (body.find('\0') != std::string::npos) return;
    const int exported = kojelly_parse_items(body.c_str(), nullptr, 0);
    EXPECT_EQ(exported, row.verdict == kAccept ? KOJELLY_OK : KOJELLY_EFAIL);
    if (row.verdict == kReject) {
        EXPECT_STREQ(kojelly_last_error(), kNotJson);
    }
}

TEST(JsonConformance, ValuesInsideAPage) {
    for (const Row &row : value_rows()) {
        SCOPED_TRACE(row.why);
        expect_verdict(row, R"({"Items":[],"x":)" + row.text + "}");
    }
}

TEST(JsonConformance, WholeBodies) {
    for (const Row &row : document_rows()) {
        SCOPED_TRACE(row.why);
        expect_verdict(row, row.text);
    }
}

// The values also inside an item: what a page takes in an unrelated member it takes there too,
// and a refused value refuses the whole page rather than only the item.
TEST(JsonConformance, ValuesInsideAnItem) {
    for (const Row &row : value_rows()) {
        SCOPED_TRACE(row.why);
        expect_verdict(row, R"({"Items":[{"Id":"1","Extra":)" + row.text + "}]}");
    }
}

}  // namespace
