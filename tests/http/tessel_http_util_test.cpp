#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "support/alloc_fail.hpp"
#include "tessel_http.h"

namespace {

// ---- Acceptance of a transport ---------------------------------------------------------------

int32_t no_request(void *, const tessel_http_req *, int32_t *, char **) {
    return 0;
}

TEST(HttpOf, AcceptsOnlyAWellFormedHttpBackedIo) {
    struct Case {
        const char *what;
        uint32_t magic, ctx_size;
        bool has_table;
        uint32_t table_size, version;
        bool has_request;
        bool accepted;
    };
    const Case cases[] = {
        {"smallest valid records", TESSEL_HTTP_CTX_MAGIC, 24, true, 32, 1, true, true},
        {"larger records", TESSEL_HTTP_CTX_MAGIC, 4096, true, 64, 1, true, true},
        {"wrong magic", 0x4B515457u, 24, true, 32, 1, true, false},
        {"context of 23 bytes", TESSEL_HTTP_CTX_MAGIC, 23, true, 32, 1, true, false},
        {"no table", TESSEL_HTTP_CTX_MAGIC, 24, false, 32, 1, true, false},
        {"table of 31 bytes", TESSEL_HTTP_CTX_MAGIC, 24, true, 31, 1, true, false},
        {"version 2", TESSEL_HTTP_CTX_MAGIC, 24, true, 32, 2, true, false},
        {"version 0", TESSEL_HTTP_CTX_MAGIC, 24, true, 32, 0, true, false},
        {"no request function", TESSEL_HTTP_CTX_MAGIC, 24, true, 32, 1, false, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tessel_http table{};
        table.size = c.table_size;
        table.version = c.version;
        table.request = c.has_request ? no_request : nullptr;
        tessel_http_ctx ctx{};
        ctx.magic = c.magic;
        ctx.size = c.ctx_size;
        ctx.http = c.has_table ? &table : nullptr;
        tessel_io io{};
        io.ctx = &ctx;
        const tessel_http *want = c.accepted ? &table : nullptr;
        EXPECT_EQ(tessel_http_of(&io), want);
        EXPECT_EQ(tessel_http_from_ctx(&ctx), want);
    }
}

TEST(HttpOf, RefusesMissingRecords) {
    tessel_io io{};
    EXPECT_EQ(tessel_http_of(nullptr), nullptr);
    EXPECT_EQ(tessel_http_of(&io), nullptr);
    EXPECT_EQ(tessel_http_from_ctx(nullptr), nullptr);
}

// ---- Buffer and texts ------------------------------------------------------------------------

TEST(Buf, EmptyAppendLeavesAnEmptyTextOf64Bytes) {
    tessel_buf b{};
    ASSERT_EQ(tessel_buf_add(&b, nullptr, 0), 0);
    ASSERT_NE(b.data, nullptr);
    EXPECT_STREQ(b.data, "");
    EXPECT_EQ(b.len, 0u);
    EXPECT_EQ(b.cap, 64u);
    tessel_buf_free(&b);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.cap, 0u);
}

TEST(Buf, GrowsByDoublingAndKeepsANulBehindTheContent) {
    struct Step {
        uint64_t add;
        uint64_t cap;  // capacity after the append
    };
    // 63 bytes and the NUL fill 64; one more needs 128; 200 more need 265 -> 512.
    const Step steps[] = {{63, 64}, {1, 128}, {200, 512}, {0, 512}};
    tessel_buf b{};
    std::string mirror;
    for (const Step &s : steps) {
        SCOPED_TRACE(s.add);
        const std::string piece(s.add, static_cast<char>('a' + mirror.size() % 26));
        ASSERT_EQ(tessel_buf_add(&b, piece.data(), piece.size()), 0);
        mirror += piece;
        EXPECT_EQ(b.cap, s.cap);
        EXPECT_EQ(std::string(b.data, b.len), mirror);
        EXPECT_EQ(b.data[b.len], '\0');
    }
    ASSERT_EQ(tessel_buf_addc(&b, 0x141), 0);  // only the low 8 bits count
    ASSERT_EQ(tessel_buf_adds(&b, "xyz"), 0);
    EXPECT_EQ(std::string(b.data + mirror.size(), 4), "Axyz");
    tessel_buf_free(&b);
}

TEST(Buf, RefusedAppendsLeaveTheBufferUnchanged) {
    char block[8] = "abc";
    struct Case {
        const char *what;
        uint64_t len, cap, add;
    };
    const Case cases[] = {
        {"room needed overflows 64 bits", UINT64_MAX - 1, 8, 1},
        {"capacity would reach 2^63", uint64_t{1} << 62, uint64_t{1} << 62, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tessel_buf b{block, c.len, c.cap};
        EXPECT_EQ(tessel_buf_add(&b, "x", c.add), -1);
        EXPECT_EQ(tessel_buf_addc(&b, 'x'), -1);
        EXPECT_EQ(b.data, block);
        EXPECT_EQ(b.len, c.len);
        EXPECT_EQ(b.cap, c.cap);
    }
    tessel_buf b{};
    EXPECT_EQ(tessel_buf_add(&b, nullptr, 3), -1);
    EXPECT_EQ(tessel_buf_adds(&b, nullptr), -1);
    EXPECT_EQ(b.data, nullptr);
}

TEST(Buf, FailedGrowthKeepsTheOldContent) {
    tessel_buf b{};
    ASSERT_EQ(tessel_buf_adds(&b, "kept"), 0);
    const std::string big(100, 'z');
    {
        alloc_fail::Countdown fail(1);
        EXPECT_EQ(tessel_buf_add(&b, big.data(), big.size()), -1);
        EXPECT_TRUE(fail.fired());
    }
    EXPECT_STREQ(b.data, "kept");
    EXPECT_EQ(b.len, 4u);
    EXPECT_EQ(b.cap, 64u);
    ASSERT_EQ(tessel_buf_add(&b, big.data(), big.size()), 0);
    EXPECT_EQ(b.len, 104u);
    tessel_buf_free(&b);
}

TEST(Strdup, CopiesBytesAndEndsThemWithNul) {
    char *copy = tessel_strndup("ab\0cd", 5);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(std::memcmp(copy, "ab\0cd", 6), 0);
    std::free(copy);
    copy = tessel_strdup("text");
    ASSERT_NE(copy, nullptr);
    EXPECT_STREQ(copy, "text");
    std::free(copy);
    EXPECT_EQ(tessel_strdup(nullptr), nullptr);
    alloc_fail::Countdown fail(1, true);
    EXPECT_EQ(tessel_strdup("text"), nullptr);
    EXPECT_EQ(tessel_strndup("text", 2), nullptr);
}

TEST(MethodOk, AcceptsOnlyShortTokens) {
    struct Case {
        const char *method;
        int ok;
    };
    const std::string longest(32, 'X');
    const std::string too_long(33, 'X');
    const Case cases[] = {
        {"GET", 1},
        {"M-SEARCH", 1},
        {"!#$%&'*+-.^_`|~09azAZ", 1},
        {longest.c_str(), 1},
        {too_long.c_str(), 0},
        {"GE T", 0},
        {"", 0},
        {nullptr, 0},
        {"GET:", 0},
        {"G\tET", 0},
        {"G\xC3\xA9T", 0},
        {"(GET)", 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method != nullptr ? c.method : "(null)");
        EXPECT_EQ(tessel_method_ok(c.method), c.ok);
    }
}

// ---- Collector -------------------------------------------------------------------------------

TEST(Collect, LimitKeepsAtMostLimitBytes) {
    struct Case {
        const char *what;
        uint64_t limit;
        std::vector<uint64_t> pieces;
        std::vector<int32_t> answers;
        uint64_t kept;
        int32_t truncated;
    };
    const Case cases[] = {
        {"second piece passes the limit", 10, {6, 6}, {0, 1}, 10, 1},
        {"pieces reach the limit exactly", 10, {4, 6}, {0, 0}, 10, 0},
        {"empty piece at the limit", 10, {10, 0}, {0, 0}, 10, 0},
        {"first piece alone passes it", 10, {11}, {1}, 10, 1},
        {"nothing more once full", 10, {10, 1}, {0, 1}, 10, 1},
        {"no limit", 0, {4000, 5000}, {0, 0}, 9000, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tessel_collect col;
        tessel_collect_init(&col, c.limit);
        std::string sent;
        for (size_t i = 0; i < c.pieces.size(); ++i) {
            const std::string piece(c.pieces[i], static_cast<char>('a' + i));
            EXPECT_EQ(tessel_collect_body(&col, piece.data(), piece.size()), c.answers[i]);
            sent += piece;
        }
        EXPECT_EQ(col.body.len, c.kept);
        if (c.kept > 0) {
            EXPECT_EQ(std::string(col.body.data, col.body.len), sent.substr(0, c.kept));
        }
        EXPECT_EQ(col.truncated, c.truncated);
        tessel_collect_free(&col);
        EXPECT_EQ(col.body.data, nullptr);
        EXPECT_EQ(col.limit, c.limit);
        EXPECT_EQ(col.truncated, c.truncated);
    }
}

TEST(Collect, HeadersArePackedInOrderAndStatusIsTakenApart) {
    tessel_collect col;
    tessel_collect_init(&col, 0);
    EXPECT_EQ(tessel_collect_header(&col, ":status", "206"), 0);
    EXPECT_EQ(tessel_collect_header(&col, "Content-Length", "10"), 0);
    EXPECT_EQ(tessel_collect_header(&col, "X-Empty", nullptr), 0);
    EXPECT_EQ(tessel_collect_header(&col, "ETag", "\"v1\""), 0);
    EXPECT_EQ(col.status, 206);
    const char packed[] =
        "Content-Length\0"
        "10\0"
        "X-Empty\0\0"
        "ETag\0\"v1\"";
    ASSERT_EQ(col.headers.len, sizeof packed);
    EXPECT_EQ(std::memcmp(col.headers.data, packed, sizeof packed), 0);
    tessel_collect_free(&col);
    EXPECT_EQ(col.headers.data, nullptr);
    EXPECT_EQ(col.status, 206);
}

TEST(Collect, OutOfMemoryAsksToStopAndLeavesWholePairs) {
    const std::string value(100, 'v');
    const uint64_t swept = alloc_fail::sweep([&] {
        tessel_collect col;
        tessel_collect_init(&col, 0);
        const int32_t small = tessel_collect_header(&col, "A", "1");
        const int32_t big = tessel_collect_header(&col, "Big", value.c_str());
        // A refused header leaves no trace: readers walk the buffer in pairs.
        const uint64_t want = (small == 0 ? 4 : 0) + (big == 0 ? 4 + value.size() + 1 : 0);
        EXPECT_EQ(col.headers.len, want);
        EXPECT_STREQ(tessel_hdrs_get(&col.headers, "big"), big == 0 ? value.c_str() : nullptr);
        if (col.headers.data != nullptr) {
            EXPECT_EQ(col.headers.data[col.headers.len], '\0');
        }
        const int32_t body = tessel_collect_body(&col, value.data(), value.size());
        EXPECT_EQ(col.body.len, body == 0 ? value.size() : 0u);
        EXPECT_EQ(col.truncated, 0);
        tessel_collect_free(&col);
    });
    EXPECT_EQ(swept, 3u);  // the header buffer's first block and its growth, the body's block
}

// After a request the caller must tell an answer cut at the limit from one that lost a part for
// want of memory, and both from a whole one. A refused NULL piece sets neither flag.
TEST(Collect, TruncatedAndOutOfMemoryAreToldApart) {
    struct Case {
        const char *what;
        uint64_t limit;
        uint64_t piece;   // bytes of the one body piece
        uint64_t fail;    // fail this allocation (1-based) of the calls; 0 for none
        bool header;      // a header pair goes first
        bool null_piece;  // the piece's bytes are NULL
        int32_t answer;   // what the body callback returns
        uint64_t kept;    // body bytes kept
        int32_t truncated, oom;
    };
    const Case cases[] = {
        {"whole answer", 100, 60, 0, true, false, 0, 60, 0, 0},
        {"past the limit", 50, 60, 0, false, false, 1, 50, 1, 0},
        {"no memory for the piece", 100, 60, 1, false, false, 1, 0, 0, 1},
        {"no memory for the part kept at the limit", 50, 60, 1, false, false, 1, 0, 1, 1},
        {"no memory for a header", 100, 60, 1, true, false, 0, 60, 0, 1},
        {"NULL piece", 100, 60, 0, false, true, 1, 0, 0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tessel_collect col;
        tessel_collect_init(&col, c.limit);
        const std::string piece(c.piece, 'p');
        int32_t body = -1;
        {
            alloc_fail::Countdown fail(c.fail != 0 ? c.fail : UINT64_MAX);
            if (c.header) {
                EXPECT_EQ(tessel_collect_header(&col, "A", "1"), c.oom);
            }
            body = tessel_collect_body(&col, c.null_piece ? nullptr : piece.data(), piece.size());
        }
        EXPECT_EQ(body, c.answer);
        EXPECT_EQ(col.body.len, c.kept);
        EXPECT_EQ(col.truncated, c.truncated);
        EXPECT_EQ(col.oom, c.oom);
        tessel_collect_free(&col);
        EXPECT_EQ(col.oom, c.oom) << "the outcome is readable after the buffers are released";
        tessel_collect_init(&col, c.limit);
        EXPECT_EQ(col.oom, 0);
        EXPECT_EQ(col.truncated, 0);
    }
}

// A caller that keeps a block between answers sets it as the body: the pieces go into it without
// an allocation while they fit, the block grows by doubling from its own size, and the limit
// counts the whole content.
TEST(Collect, AppendsIntoTheBodyBlockTheCallerSet) {
    struct Case {
        const char *what;
        uint64_t limit;
        std::vector<uint64_t> pieces;
        uint64_t allocs;  // allocations the pieces make
        uint64_t cap;     // the body's capacity afterwards
        uint64_t kept;
        int32_t truncated;
    };
    const Case cases[] = {
        {"fits the block", 0, {40, 59}, 0, 100, 99, 0},
        {"outgrows the block", 0, {40, 60}, 1, 200, 100, 0},
        {"limit within the block", 70, {40, 40}, 0, 100, 70, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        char *block = static_cast<char *>(std::malloc(100));
        ASSERT_NE(block, nullptr);
        block[0] = '\0';
        tessel_collect col;
        tessel_collect_init(&col, c.limit);
        col.body = tessel_buf{block, 0, 100};
        std::string sent;
        const uint64_t allocs = alloc_fail::count([&] {
            for (size_t i = 0; i < c.pieces.size(); ++i) {
                const std::string piece(c.pieces[i], static_cast<char>('a' + i));
                (void)tessel_collect_body(&col, piece.data(), piece.size());
                sent += piece;
            }
        });
        EXPECT_EQ(allocs, c.allocs);
        if (c.allocs == 0) {
            EXPECT_EQ(col.body.data, block);
        }
        EXPECT_EQ(col.body.cap, c.cap);
        EXPECT_EQ(std::string(col.body.data, col.body.len), sent.substr(0, c.kept));
        EXPECT_EQ(col.body.data[col.body.len], '\0');
        EXPECT_EQ(col.truncated, c.truncated);
        EXPECT_EQ(col.oom, 0);
        tessel_collect_free(&col);
    }
}

// ---- Header functions ------------------------------------------------------------------------

TEST(HeaderLine, WritesOnlyValidLinesThatFit) {
    struct Case {
        const char *name;
        const char *value;
        size_t size;
        const char *line;  // NULL when the call must fail
    };
    const Case cases[] = {
        {"X-A", "b", 64, "X-A: b"},
        {"X-A", nullptr, 64, "X-A: "},
        {"X-A", "b", 7, "X-A: b"},  // line and NUL fit exactly
        {"X-A", "b", 6, nullptr},   // no room for the NUL
        {"a", "", 4, "a: "},
        {"a", "", 3, nullptr},         // too small whatever the line
        {"X-A", "a\tb", 64, nullptr},  // tab is a control byte here
        {"X-A", "a\x7F", 64, nullptr},
        {"X-A", "a\r\nX-B: c", 64, nullptr},  // no header smuggling
        {"X-A", "caf\xC3\xA9", 64, "X-A: caf\xC3\xA9"},
        {"X A", "b", 64, nullptr},
        {"X:A", "b", 64, nullptr},
        {"", "b", 64, nullptr},
        {nullptr, "b", 64, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name ? c.name : "(null)") + " / " +
                     (c.value ? c.value : "(null)") + " / " + std::to_string(c.size));
        char out[64];
        const int rc = tessel_header_line(c.name, c.value, out, c.size);
        if (c.line == nullptr) {
            EXPECT_EQ(rc, -1);
        } else {
            ASSERT_EQ(rc, 0);
            EXPECT_STREQ(out, c.line);
        }
    }
    EXPECT_EQ(tessel_header_line("X-A", "b", nullptr, 64), -1);
}

TEST(HeaderGet, FindsTheFirstLineByNameIgnoringCase) {
    const char *lines[] = {nullptr,      "Accept: a",           "Range : x",
                           "Ranges: y",  "Range:   bytes=0-1 ", "RANGE: second",
                           "X-Tab:\t\tv"};
    tessel_http_req req{};
    req.size = sizeof req;
    req.headers = lines;
    req.header_count = std::size(lines);
    struct Case {
        const char *name;
        const char *value;  // NULL when not found
    };
    const Case cases[] = {
        {"range", "bytes=0-1 "},  // "Range : x" is passed over; trailing blanks are kept
        {"ACCEPT", "a"},
        {"x-tab", "v"},   // tabs are skipped like spaces
        {"Ranges", "y"},  // a longer name is its own header
        {"Accept-Encoding", nullptr},
        {"", nullptr},
        {nullptr, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name ? c.name : "(null)");
        const char *got = tessel_header_get(&req, c.name);
        if (c.value == nullptr) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, c.value);
        }
    }
    EXPECT_EQ(tessel_header_get(&req, "range"), lines[4] + 9);  // points into the caller's line

    req.header_count = 0;
    EXPECT_EQ(tessel_header_get(&req, "accept"), nullptr);
    req.headers = nullptr;  // a count without an array is never read
    req.header_count = 3;
    EXPECT_EQ(tessel_header_get(&req, "accept"), nullptr);
    EXPECT_EQ(tessel_header_get(nullptr, "accept"), nullptr);
}

TEST(HdrsGet, MatchesWholeNamesIgnoringCase) {
    tessel_collect col;
    tessel_collect_init(&col, 0);
    ASSERT_EQ(tessel_collect_header(&col, "Content-Length-Extra", "1"), 0);
    ASSERT_EQ(tessel_collect_header(&col, "Content-Length", "100"), 0);
    ASSERT_EQ(tessel_collect_header(&col, "X-Empty", ""), 0);
    ASSERT_EQ(tessel_collect_header(&col, "content-length", "200"), 0);
    struct Case {
        const char *name;
        const char *value;
    };
    const Case cases[] = {
        {"content-length", "100"},
        {"CONTENT-LENGTH-EXTRA", "1"},
        {"x-empty", ""},
        {"Content", nullptr},
        {"100", nullptr},  // values are never taken for names
        {"", nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const char *got = tessel_hdrs_get(&col.headers, c.name);
        if (c.value == nullptr) {
            EXPECT_EQ(got, nullptr);
        } else {
            ASSERT_NE(got, nullptr);
            EXPECT_STREQ(got, c.value);
        }
    }
    EXPECT_EQ(tessel_hdrs_get(nullptr, "x"), nullptr);
    EXPECT_EQ(tessel_hdrs_get(&col.headers, nullptr), nullptr);
    tessel_collect_free(&col);
    EXPECT_EQ(tessel_hdrs_get(&col.headers, "content-length"), nullptr);
}

TEST(ContentRange, ParsesTheFormsOfTheHeader) {
    struct Case {
        const char *text;
        int rc;
        int64_t start, end, total;
    };
    const Case cases[] = {
        {"bytes 0-99/1000", 0, 0, 99, 1000},
        {"bytes */1000", 0, -1, -1, 1000},
        {"bytes 5-*", 0, 5, -1, -1},
        {"bytes", 0, -1, -1, -1},
        {"bytes *", 0, -1, -1, -1},
        {"bytes 0-99/*", 0, 0, 99, -1},
        {"bytes 0-99", 0, 0, 99, -1},
        {"bytes0-99/1000", 0, 0, 99, 1000},   // the blank is optional
        {"bytes 0-300/100", 0, 0, 300, 100},  // only the start is held against the total
        {"bytes 10-5/100", -1, -1, -1, -1},
        {"bytes 200-300/100", -1, -1, -1, -1},
        {"bytes=0-5/10", -1, -1, -1, -1},
        {"Bytes 0-5/10", -1, -1, -1, -1},
        {"bytes 0-99/1000x", -1, -1, -1, -1},
        {"bytes 0-99/*x", -1, -1, -1, -1},
        {"bytes 0-99x/1000", -1, -1, -1, -1},
        {"bytes 0 99/1000", -1, -1, -1, -1},
        {"bytes -5-9/10", -1, -1, -1, -1},
        {"bytes 0--9/10", -1, -1, -1, -1},
        {"bytes 0-9/-10", -1, -1, -1, -1},
        {"bytes 0-/10", -1, -1, -1, -1},
        {"bytes x", -1, -1, -1, -1},
        {"bytes 0-9/99999999999999999999", -1, -1, -1, -1},  // out of range, not saturated
        {"", -1, -1, -1, -1},
        {nullptr, -1, -1, -1, -1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        int64_t start = 7, end = 7, total = 7;
        EXPECT_EQ(tessel_content_range(c.text, &start, &end, &total), c.rc);
        EXPECT_EQ(start, c.start);
        EXPECT_EQ(end, c.end);
        EXPECT_EQ(total, c.total);
    }
    EXPECT_EQ(tessel_content_range("bytes 1-2/3", nullptr, nullptr, nullptr), 0);
}

// ---- Range GET -------------------------------------------------------------------------------

// A transport that records the request and answers with a scripted status and body.
struct Script {
    int32_t rc = 0;
    int32_t status = 206;
    std::string body;
    const char *error = nullptr;  // handed out as a malloc'ed copy when set
    int calls = 0;
    std::string method, url;
    std::vector<std::string> lines;
    uint32_t size = 0;

    static int32_t request(void *user, const tessel_http_req *req, int32_t *status, char **error) {
        auto *s = static_cast<Script *>(user);
        ++s->calls;
        s->size = req->size;
        s->method = req->method;
        s->url = req->url;
        s->lines.assign(req->headers, req->headers + req->header_count);
        if (s->error != nullptr) *error = strdup(s->error);
        if (s->rc != 0) return s->rc;
        *status = s->status;
        const std::string code = std::to_string(s->status);
        if (req->on_header(req->user, ":status", code.c_str()) != 0) return 0;
        req->on_body(req->user, s->body.data(), s->body.size());
        return 0;
    }
    static void release(void *, void *mem) { std::free(mem); }

    tessel_http table() { return tessel_http{32, 1, this, request, release}; }
};

std::string numbered(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('0' + i % 10);
    return s;
}

TEST(HttpRange, BadArgumentsSendNothing) {
    Script script;
    const tessel_http table = script.table();
    tessel_http no_request_table = table;
    no_request_table.request = nullptr;
    struct Case {
        const char *what;
        const tessel_http *http;
        const char *url;
        int64_t start, end;
        bool collector;
    };
    const Case cases[] = {
        {"end before start", &table, "/f", 5, 4, true},
        {"negative start", &table, "/f", -1, 4, true},
        {"no url", &table, nullptr, 0, 4, true},
        {"no collector", &table, "/f", 0, 4, false},
        {"no table", nullptr, "/f", 0, 4, true},
        {"table without request", &no_request_table, "/f", 0, 4, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        tessel_collect col;
        tessel_collect_init(&col, 0);
        int32_t status = 77;
        char *error = nullptr;
        EXPECT_EQ(tessel_http_range(c.http, c.url, c.start, c.end, c.collector ? &col : nullptr,
                                    &status, &error),
                  -1);
        ASSERT_NE(error, nullptr);
        EXPECT_STREQ(error, "bad range args");
        std::free(error);
        EXPECT_EQ(status, 77);
        tessel_collect_free(&col);
    }
    EXPECT_EQ(script.calls, 0);

    alloc_fail::Countdown fail(1);
    char *error = reinterpret_cast<char *>(&script);
    EXPECT_EQ(tessel_http_range(&table, "/f", 5, 4, nullptr, nullptr, &error), -1);
    EXPECT_EQ(error, nullptr);
}

TEST(HttpRange, SendsOneRangeLineInAFullRecord) {
    Script script;
    script.body = "abc";
    const tessel_http table = script.table();
    tessel_collect col;
    tessel_collect_init(&col, 0);
    int32_t status = 0;
    char *error = nullptr;
    ASSERT_EQ(
        tessel_http_range(&table, "http://h/f?x=1", 0, 9223372036854775807, &col, &status, &error),
        0);
    EXPECT_EQ(error, nullptr);
    EXPECT_EQ(script.size, 112u);
    EXPECT_EQ(script.method, "GET");
    EXPECT_EQ(script.url, "http://h/f?x=1");
    EXPECT_EQ(script.lines, std::vector<std::string>{"Range: bytes=0-9223372036854775807"});
    EXPECT_EQ(status, 206);
    EXPECT_EQ(col.status, 206);
    EXPECT_EQ(std::string(col.body.data, col.body.len), "abc");
    tessel_collect_free(&col);
}

TEST(HttpRange, WholeAnswerToALaterStartIsTrimmed) {
    struct Case {
        const char *what;
        int32_t rc, status;
        size_t body;
        int64_t start;
        uint64_t limit;
        std::string kept;
    };
    const Case cases[] = {
        {"200 to start 100 of 1000 bytes", 0, 200, 1000, 100, 0, numbered(1000).substr(100)},
        {"200 shorter than the start", 0, 200, 50, 100, 0, numbered(50)},
        {"200 as long as the start", 0, 200, 100, 100, 0, numbered(100)},
        {"200 to start 0", 0, 200, 1000, 0, 0, numbered(1000)},
        {"206 is left as delivered", 0, 206, 1000, 100, 0, numbered(1000)},
        {"404 is left as delivered", 0, 404, 1000, 100, 0, numbered(1000)},
        {"limit applies before the trim", 0, 200, 1000, 100, 300, numbered(300).substr(100)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Script script;
        script.status = c.status;
        script.body = numbered(c.body);
        const tessel_http table = script.table();
        tessel_collect col;
        tessel_collect_init(&col, c.limit);
        int32_t status = 0;
        char *error = nullptr;
        EXPECT_EQ(tessel_http_range(&table, "/f", c.start, c.start + 99, &col, &status, &error),
                  c.rc);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(std::string(col.body.data, col.body.len), c.kept);
        EXPECT_EQ(col.body.data[col.body.len], '\0');
        tessel_collect_free(&col);
    }
}

TEST(HttpRange, FailureIsPassedThroughWithItsText) {
    Script script;
    script.rc = 7;
    script.error = "no route to host";
    const tessel_http table = script.table();
    tessel_collect col;
    tessel_collect_init(&col, 0);
    int32_t status = 0;
    char *error = nullptr;
    EXPECT_EQ(tessel_http_range(&table, "/f", 0, 9, &col, &status, &error), 7);
    ASSERT_NE(error, nullptr);
    EXPECT_STREQ(error, "no route to host");
    table.free(table.user, error);
    EXPECT_EQ(col.body.len, 0u);

    // Unwanted out-parameters are the function's own: the text is released, nothing leaks.
    EXPECT_EQ(tessel_http_range(&table, "/f", 0, 9, &col, nullptr, nullptr), 7);
    EXPECT_EQ(script.calls, 2);
    tessel_collect_free(&col);
}

}  // namespace
