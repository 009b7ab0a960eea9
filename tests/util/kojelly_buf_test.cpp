#include "util/kojelly_buf.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/alloc_fail.hpp"
#include "util/kojelly_msg.hpp"
#include "util/kojelly_redact.hpp"

namespace {

using kojelly::OwnedBuf;

std::string content(const kojelly_buf &b) {
    return std::string(b.data, b.len);
}

TEST(Buf, EmptyAppendAllocatesTheFirstBlock) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_add(b.get(), "", 0), 0);
    EXPECT_EQ(b->cap, 256u);
    EXPECT_EQ(b->len, 0u);
    EXPECT_STREQ(b->data, "");
}

TEST(Buf, GrowsByDoublingAndKeepsContent) {
    OwnedBuf b;
    const std::string first(200, 'a'), second(100, 'b');
    ASSERT_EQ(kojelly_buf_adds(b.get(), first.c_str()), 0);
    EXPECT_EQ(b->cap, 256u);
    ASSERT_EQ(kojelly_buf_adds(b.get(), second.c_str()), 0);
    EXPECT_EQ(b->cap, 512u);
    EXPECT_EQ(content(*b.get()), first + second);
    EXPECT_EQ(b->data[b->len], '\0');
}

TEST(Buf, KeepsEmbeddedNulBytes) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_add(b.get(), "a\0b", 3), 0);
    EXPECT_EQ(content(*b.get()), std::string("a\0b", 3));
}

TEST(Buf, FreeIsHarmlessAndLeavesAReusableBuffer) {
    kojelly_buf b{};
    kojelly_buf_free(&b);
    kojelly_buf_free(&b);
    ASSERT_EQ(kojelly_buf_adds(&b, "x"), 0);
    kojelly_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 0u);
    ASSERT_EQ(kojelly_buf_adds(&b, "y"), 0);
    EXPECT_STREQ(b.data, "y");
    kojelly_buf_free(&b);
}

// The text is handed over whole and the buffer left empty. Only a block with 64 KiB or more to
// spare is shrunk; a shrink that fails hands the block over as it is.
TEST(Buf, TakeHandsOverTheWholeTextAndEmptiesTheBuffer) {
    struct Case {
        const char *what;
        uint64_t size;     // bytes appended; 0 appends nothing
        bool fail_shrink;  // fail the allocation made by the take
        uint64_t allocs;   // allocations the take makes otherwise
    } cases[] = {
        {"nothing appended", 0, false, 0},
        {"small spare room", 300, false, 0},
        {"large spare room", (uint64_t{1} << 20) + 1, false, 1},
        {"large spare room, shrink fails", (uint64_t{1} << 20) + 1, true, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly_buf b{};
        const std::string text(c.size, 't');
        if (c.size) {
            ASSERT_EQ(kojelly_buf_add(&b, text.data(), text.size()), 0);
        }
        char *taken = nullptr;
        if (c.fail_shrink) {
            alloc_fail::Countdown fail(1);
            taken = kojelly_buf_take(&b);
            EXPECT_TRUE(fail.fired());
        } else {
            EXPECT_EQ(alloc_fail::count([&] { taken = kojelly_buf_take(&b); }), c.allocs);
        }
        EXPECT_EQ(b.data, nullptr);
        EXPECT_EQ(b.len + b.cap, 0u);
        if (c.size == 0) {
            EXPECT_EQ(taken, nullptr);
        } else {
            ASSERT_NE(taken, nullptr);
            EXPECT_EQ(std::string(taken), text);
        }
        std::free(taken);
    }
}

TEST(Buf, FailedGrowthLeavesTheBufferUnchanged) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "keep"), 0);
    const std::string big(300, 'x');
    {
        alloc_fail::Countdown fail(1);
        EXPECT_EQ(kojelly_buf_adds(b.get(), big.c_str()), -1);
        EXPECT_TRUE(fail.fired());
    }
    EXPECT_EQ(content(*b.get()), "keep");
    EXPECT_EQ(b->cap, 256u);
}

TEST(Buf, RefusesASizeThatWouldOverflow) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "ab"), 0);
    EXPECT_EQ(kojelly_buf_add(b.get(), "x", UINT64_MAX - 1), -1);
    EXPECT_EQ(kojelly_buf_add(b.get(), "x", uint64_t{1} << 62), -1);
    EXPECT_EQ(content(*b.get()), "ab");
}

// A reservation grows the block once to exactly the room asked for (content, NUL and all), never
// shrinks it, and later appends double from there.
TEST(Buf, ReserveMakesExactlyTheRoomAskedForInOneStep) {
    struct Case {
        const char *what;
        uint64_t before;  // bytes appended first
        uint64_t more;    // bytes reserved
        uint64_t cap;     // capacity afterwards
        uint64_t allocs;  // allocations the reservation makes
    } cases[] = {
        {"empty buffer", 0, 1000, 1001, 1},
        {"empty buffer, nothing reserved", 0, 0, 1, 1},
        {"room to spare already", 10, 100, 256, 0},
        {"room exactly", 10, 245, 256, 0},
        {"one byte short", 10, 246, 257, 1},
        {"large", 300, uint64_t{5} << 20, 300 + (uint64_t{5} << 20) + 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        OwnedBuf b;
        const std::string first(c.before, 'f');
        if (c.before) {
            ASSERT_EQ(kojelly_buf_add(b.get(), first.data(), first.size()), 0);
        }
        int rc = -1;
        EXPECT_EQ(alloc_fail::count([&] { rc = kojelly_buf_reserve(b.get(), c.more); }),
                  c.allocs);
        ASSERT_EQ(rc, 0);
        EXPECT_EQ(b->cap, c.cap);
        ASSERT_NE(b->data, nullptr);
        EXPECT_EQ(content(*b.get()), first);
        EXPECT_EQ(b->data[b->len], '\0');

        // What was reserved is appended without another allocation; one byte more doubles.
        const std::string fill(b->cap - b->len - 1, 'r');
        EXPECT_EQ(alloc_fail::count([&] {
                      ASSERT_EQ(kojelly_buf_add(b.get(), fill.data(), fill.size()), 0);
                  }),
                  0u);
        const uint64_t full = b->cap;
        ASSERT_EQ(kojelly_buf_add(b.get(), "+", 1), 0);
        EXPECT_EQ(b->cap, 2 * full);
        EXPECT_EQ(content(*b.get()), first + fill + "+");
    }
}

TEST(Buf, FailedOrRefusedReservationLeavesTheBufferUnchanged) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "keep"), 0);
    {
        alloc_fail::Countdown fail(1);
        EXPECT_EQ(kojelly_buf_reserve(b.get(), 1000), -1);
        EXPECT_TRUE(fail.fired());
    }
    EXPECT_EQ(kojelly_buf_reserve(b.get(), UINT64_MAX - 2), -1);
    EXPECT_EQ(kojelly_buf_reserve(b.get(), uint64_t{1} << 62), -1);
    EXPECT_EQ(content(*b.get()), "keep");
    EXPECT_EQ(b->cap, 256u);
}

TEST(BufAddf, ShortAndLongResultsAppendTheSameText) {
    for (size_t len : {size_t{0}, size_t{5}, size_t{511}, size_t{512}, size_t{4000}}) {
        SCOPED_TRACE(len);
        const std::string text(len, 'q');
        OwnedBuf b;
        ASSERT_EQ(kojelly_buf_addf(b.get(), "%s", text.c_str()), 0);
        EXPECT_EQ(content(*b.get()), text);
    }
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_addf(b.get(), "%lld/%llu", -5LL, 18446744073709551615ULL), 0);
    EXPECT_STREQ(b->data, "-5/18446744073709551615");
}

TEST(BufAddf, OnlyTheLongPathAllocatesTwice) {
    const std::string s511(511, 'q'), s512(512, 'q');
    EXPECT_EQ(alloc_fail::count([&] {
                  OwnedBuf b;
                  ASSERT_EQ(kojelly_buf_addf(b.get(), "%s", s511.c_str()), 0);
              }),
              1u);
    EXPECT_EQ(alloc_fail::count([&] {
                  OwnedBuf b;
                  ASSERT_EQ(kojelly_buf_addf(b.get(), "%s", s512.c_str()), 0);
              }),
              2u);
    // Either allocation failing leaves nothing appended.
    alloc_fail::sweep([&] {
        OwnedBuf b;
        if (kojelly_buf_addf(b.get(), "%s", s512.c_str()) == 0)
            EXPECT_EQ(content(*b.get()), s512);
        else
            EXPECT_EQ(b->len, 0u);
    });
}

TEST(BufJsonStr, EscapesExactlyTheRequiredBytes) {
    struct Case {
        const char *in;
        const char *out;
    } cases[] = {
        {nullptr, "null"},
        {"", "\"\""},
        {"a\"b\\c\td\x01", "\"a\\\"b\\\\c\\td\\u0001\""},
        {"\n\r", "\"\\n\\r\""},
        {"\x08\x0c\x1b\x7f", "\"\\u0008\\u000c\\u001b\\u007f\""},
        {"caf\xC3\xA9 a/b", "\"caf\xC3\xA9 a/b\""},
        {"\xFF\x80", "\"\xFF\x80\""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        OwnedBuf b;
        ASSERT_EQ(kojelly_buf_json_str(b.get(), c.in), 0);
        EXPECT_STREQ(b->data, c.out);
    }
}

// A text as a JSON string literal, byte by byte, written out from the rules the listing follows:
// the two-letter escapes where JSON has one, \u00xx for the other control bytes and DEL.
std::string escaped_by_rule(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\t':
                out += "\\t";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            default:
                if (c < 0x20 || c == 0x7F) {
                    char u[8];
                    std::snprintf(u, sizeof u, "\\u%04x", c);
                    out += u;
                } else {
                    out += static_cast<char>(c);
                }
        }
    }
    return out + "\"";
}

// The measuring tests eight bytes at a time: every byte that needs an escape must be found
// wherever it falls in a word, in the tail behind the last whole word, and beside bytes that
// differ from it by one (which a word test mistaking a neighbour for it would count).
TEST(BufJsonStr, WidthAndWritingAgreeWithTheRulesAtEveryPosition) {
    const unsigned char specials[] = {0x00, 0x01, 0x08, 0x09, 0x0A, 0x0D, 0x1F, '"', '\\', 0x7F};
    const unsigned char neighbours[] = {0x20, 0x21, 0x23, 0x5B, 0x5D, 0x7E, 0x80, 0xC3, 0xFF, 'a'};
    for (size_t len : {size_t{1}, size_t{7}, size_t{8}, size_t{9}, size_t{16}, size_t{23}}) {
        for (size_t at = 0; at < len; ++at) {
            for (unsigned char special : specials) {
                for (unsigned char around : neighbours) {
                    std::string text(len, static_cast<char>(around));
                    text[at] = static_cast<char>(special);
                    SCOPED_TRACE(testing::PrintToString(text));
                    const std::string want = escaped_by_rule(text);
                    const uint64_t width = kojelly::json_str_width(text);
                    ASSERT_EQ(width, want.size());
                    std::string out(width, '?');
                    EXPECT_EQ(kojelly::json_str_put(out.data(), text, width), out.data() + width);
                    EXPECT_EQ(out, want);
                }
            }
        }
    }
    for (const std::string plain : {"", "a", "0123456789abcdef0123456789abcdef", "caf\xC3\xA9"}) {
        SCOPED_TRACE(plain);
        const std::string want = escaped_by_rule(plain);
        ASSERT_EQ(kojelly::json_str_width(plain), want.size());
        std::string out(want.size(), '?');
        kojelly::json_str_put(out.data(), plain, want.size());
        EXPECT_EQ(out, want);
    }
    EXPECT_EQ(kojelly::json_str_width(std::string_view()), 4u);
    char null_out[4];
    EXPECT_EQ(kojelly::json_str_put(null_out, std::string_view(), 4), null_out + 4);
    EXPECT_EQ(std::string(null_out, 4), "null");
}

// Measured appends: room by the growth rule, the bytes written in place, then the NUL.
TEST(Buf, SpaceAndExtendAppendInPlace) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "ab"), 0);
    char *at = kojelly::space(b.get(), 300);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(at, b->data + 2);
    EXPECT_EQ(b->cap, 512u);
    std::memset(at, 'x', 300);
    kojelly::extend(b.get(), 300);
    EXPECT_EQ(content(*b.get()), "ab" + std::string(300, 'x'));
    EXPECT_EQ(b->data[b->len], '\0');
    alloc_fail::Countdown fail(1);
    EXPECT_EQ(kojelly::space(b.get(), 1000), nullptr);
    EXPECT_EQ(b->len, 302u);
    EXPECT_EQ(b->cap, 512u);
}

TEST(BufQuery, EncodesValuesAndChoosesTheSeparator) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "/Items"), 0);
    ASSERT_EQ(kojelly_buf_query(b.get(), "ParentId", "a b/c"), 0);
    EXPECT_STREQ(b->data, "/Items?ParentId=a%20b%2Fc");
    ASSERT_EQ(kojelly_buf_query(b.get(), "Limit", "5"), 0);
    ASSERT_EQ(kojelly_buf_query(b.get(), "Limit", nullptr), 0);
    ASSERT_EQ(kojelly_buf_query(b.get(), "X", "-._~+&=?%\xC3\xA9"), 0);
    EXPECT_STREQ(b->data, "/Items?ParentId=a%20b%2Fc&Limit=5&Limit=&X=-._~%2B%26%3D%3F%25%C3%A9");
}

TEST(BufQuery, FailedEncodingLeavesTheBufferUntouched) {
    OwnedBuf b;
    ASSERT_EQ(kojelly_buf_adds(b.get(), "/Items"), 0);
    alloc_fail::Countdown fail(1);
    EXPECT_EQ(kojelly_buf_query(b.get(), "Limit", "5"), -1);
    EXPECT_STREQ(b->data, "/Items");
}

TEST(Strdup, CopiesExactlyAndHandlesNull) {
    EXPECT_EQ(kojelly_strdup(nullptr), nullptr);
    EXPECT_EQ(kojelly_strndup(nullptr, 3), nullptr);
    char *p = kojelly_strndup("a\0bc", 3);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p, 4), std::string("a\0b\0", 4));
    std::free(p);
    alloc_fail::Countdown fail(1);
    EXPECT_EQ(kojelly_strdup("x"), nullptr);
}

TEST(Utf8, AcceptsWellFormedAndRejectsTheRest) {
    struct Case {
        std::string bytes;
        int ok;
    } cases[] = {
        {"", 1},
        {"plain ascii", 1},
        {std::string("a\0b", 3), 1},  // NUL is an ordinary character
        {"\xC3\xA9", 1},
        {"\xE2\x88\x95", 1},
        {"\xF4\x90\x80\x80", 1},  // above U+10FFFF, still accepted
        {"\xF7\xBF\xBF\xBF", 1},  // 0x1FFFFF
        {"\xC0\x80", 0},          // overlong
        {"\xE0\x80\xAF", 0},      // overlong
        {"\xF0\x80\x80\xAF", 0},  // overlong
        {"\xED\xA0\x80", 0},      // surrogate
        {"\xF8\x88\x80\x80\x80", 0},
        {"\xE2\x88", 0},  // cut short
        {"\x80", 0},
        {"\xC3\x28", 0},  // bad continuation
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.bytes));
        EXPECT_EQ(kojelly_utf8_ok(c.bytes.data(), c.bytes.size()), c.ok);
    }
}

TEST(IdOk, AcceptsTheThreeForms) {
    struct Case {
        const char *id;
        int ok;
    } cases[] = {
        {nullptr, 0},
        {"", 0},
        {"12345", 1},
        {"1", 1},
        {"12345678901234567890", 1},
        {"123456789012345678901", 0},
        {"12a45", 0},
        {"0123456789abcdefABCDEF0123456789", 1},
        {"0123456789abcdefABCDEF012345678g", 0},
        {"0123456789abcdef0123456789abcde", 0},
        {"01234567-89ab-cdef-0123-456789abcdef", 1},
        {"012345678-9ab-cdef-0123-456789abcdef", 0},
        {"01234567-89ab-cdef-0123-456789abcdeg", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.id ? c.id : "(null)");
        EXPECT_EQ(kojelly_id_ok(c.id), c.ok);
    }
}

// The id forms on a view: the same answers as kojelly_id_ok on the text, and a NUL byte
// anywhere never passes.
TEST(IdOk, FormsOnAViewWithNulBytes) {
    struct Case {
        std::string id;
        bool ok;
    } cases[] = {
        {"12345", true},
        {"0123456789abcdefABCDEF0123456789", true},
        {"01234567-89ab-cdef-0123-456789abcdef", true},
        {std::string("123\0", 4), false},
        {std::string("\0", 1), false},
        {std::string("0123456789abcdef") + '\0' + "123456789abcdef", false},
        {std::string("01234567-89ab-cdef-0123-456789abcde\0", 36), false},
        {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.id));
        EXPECT_EQ(kojelly::id_form(c.id), c.ok);
        if (c.id.find('\0') == std::string::npos) {
            EXPECT_EQ(kojelly_id_ok(c.id.c_str()) == 1, c.ok);
        }
    }
}

// name_view gives the name kojelly_name_clean appends, without a copy when there is nothing to
// clean: the text itself, the fallback, or the cleaned text in the scratch buffer.
TEST(NameClean, ViewIsTheCleanedNameAndCopiesOnlyWhatChanges) {
    const std::string long_name(1025, 'n'), max_name(1024, 'n');
    enum From { kItself, kFallback, kScratch };
    struct Case {
        const char *name;
        const char *fallback;
        From from;
    } cases[] = {
        {"Film", "id", kItself},
        {"caf\xC3\xA9 long title over eight bytes", "id", kItself},
        {max_name.c_str(), "id", kItself},
        {"a/b", "id", kScratch},
        {"twelve bytes/", "id", kScratch},
        {"\tx\x7f", "id", kScratch},
        {"seven..\x1f", "id", kScratch},
        {".", "id", kFallback},
        {"", "id", kFallback},
        {nullptr, "id", kFallback},
        {long_name.c_str(), "id", kFallback},
        {nullptr, nullptr, kFallback},
        {"..", "", kFallback},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name ? std::string(c.name).substr(0, 20) : "(null)");
        OwnedBuf want;
        ASSERT_EQ(kojelly_name_clean(want.get(), c.name, c.fallback), 0);
        for (bool valid : {false, true}) {
            OwnedBuf scratch;
            ASSERT_EQ(kojelly_buf_adds(scratch.get(), "left over"), 0);
            std::string_view got;
            const std::string_view name = c.name ? std::string_view(c.name) : std::string_view();
            ASSERT_EQ(kojelly::name_view(name, c.fallback, valid, scratch.get(), &got), 0);
            EXPECT_EQ(got, content(*want.get()));
            switch (c.from) {
                case kItself:
                    EXPECT_EQ(got.data(), c.name);
                    break;
                case kFallback:
                    EXPECT_NE(got.data(), scratch->data);
                    break;
                case kScratch:
                    EXPECT_EQ(got.data(), scratch->data);
                    break;
            }
        }
    }
    // Only a caller that vouches for the UTF-8 skips its check.
    const char broken[] = "bad\xC3";
    OwnedBuf scratch;
    std::string_view got;
    ASSERT_EQ(kojelly::name_view(broken, "id", false, scratch.get(), &got), 0);
    EXPECT_EQ(got, "id");
    ASSERT_EQ(kojelly::name_view(broken, "id", true, scratch.get(), &got), 0);
    EXPECT_EQ(got, broken);

    alloc_fail::Countdown fail(1);
    EXPECT_EQ(kojelly::name_view("a/b", "id", true, scratch.get(), &got), -1);
}

TEST(NameClean, MakesOneSafePathComponent) {
    const std::string long_name(1025, 'n'), max_name(1024, 'n');
    struct Case {
        const char *name;
        const char *fallback;
        std::string out;
    } cases[] = {
        {"a/b", "id",
         "a\xE2\x88\x95"
         "b"},
        {"\tx\x7f", "id", "_x_"},
        {"C:\\x \xC3\xA9", "id", "C:\\x \xC3\xA9"},
        {".", "id", "id"},
        {"..", "id", "id"},
        {"...", "id", "..."},
        {"", "id", "id"},
        {nullptr, "id", "id"},
        {long_name.c_str(), "id", "id"},
        {max_name.c_str(), "id", max_name},
        {"bad\xC3", "id", "id"},
        {nullptr, nullptr, "item"},
        {".", "", "item"},
        {"..", "a/b", "a/b"},  // the fallback is not cleaned
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out);
        OwnedBuf b;
        ASSERT_EQ(kojelly_name_clean(b.get(), c.name, c.fallback), 0);
        EXPECT_EQ(content(*b.get()), c.out);
    }
}

// A cut may fall on every byte of a 2-, 3- or 4-byte character; whatever remains must be whole
// characters, and nothing whole may be dropped.
TEST(Utf8Cut, MessagesAreCutOnACharacterBoundary) {
    struct Case {
        const char *name;
        std::string ch;
    };
    const Case cases[] = {
        {"2 bytes", "\xC3\xA9"},          // U+00E9
        {"3 bytes", "\xE2\x88\x95"},      // U+2215
        {"4 bytes", "\xF0\x9F\x8E\xAC"},  // U+1F3AC
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string text = "ab" + c.ch + c.ch + "z";
        for (size_t n = 0; n <= text.size(); ++n) {
            SCOPED_TRACE(n);
            const uint64_t kept = kojelly_utf8_prefix(text.data(), n);
            EXPECT_LE(kept, n);
            EXPECT_EQ(kojelly_utf8_ok(text.data(), kept), 1);
            EXPECT_LT(n - kept, c.ch.size()) << "a whole character was dropped";

            // The same cut through the message formatter, whose buffer holds n bytes and a NUL.
            std::vector<char> msg(n + 1, 'x');
            kojelly::say(msg.data(), msg.size(), "%s", text.c_str());
            EXPECT_EQ(std::string(msg.data()), text.substr(0, kept));

            // And through redaction into a buffer of the same size.
            kojelly_redact_into(text.c_str(), msg.data(), msg.size());
            EXPECT_EQ(std::string(msg.data()), text.substr(0, kept));
        }
    }
}

}  // namespace
