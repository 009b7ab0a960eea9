// The text toolkit: one growable byte buffer in which every answer, URL, request body and
// assembled message is built, its appenders (raw bytes, text, printf formatting, JSON string
// literal, percent-encoded query parameter), two heap copies and three validators (UTF-8
// well-formedness, the server item-id form, and the cleaning of an item name into one safe path
// component). Nothing here keeps state; all memory comes from malloc/realloc.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "tessel_http.h"
#include "util/kojelly_owned.hpp"

// A growable byte buffer: the support library's tessel_buf, so that a block of either kind
// passes to the other's functions (a collector appends into a block that a BodyRoom lent) and
// one implementation grows them both (http/tessel_buf.hpp). Zero-initialise to get an empty
// buffer. After every successful append data is non-NULL and data[len] is NUL; the content
// itself may hold NUL bytes.
using kojelly_buf = tessel_buf;

// Appends n bytes. Capacity starts at 256 and doubles. 0, or -1 with the buffer unchanged.
[[nodiscard]] int kojelly_buf_add(kojelly_buf *b, const void *src, uint64_t n);
// Makes room for n more bytes and the NUL behind them in one step, to exactly that capacity
// when the buffer has less; later appends double from there. For a writer that knows roughly
// how much is coming: a large text then never passes through its smaller sizes. 0, or -1 with
// the buffer unchanged.
[[nodiscard]] int kojelly_buf_reserve(kojelly_buf *b, uint64_t n);
// Appends a NUL-terminated text (not NULL).
[[nodiscard]] int kojelly_buf_adds(kojelly_buf *b, const char *text);
// Appends printf-formatted text. 0; -1 on a formatting error or no memory, nothing appended.
[[nodiscard]] int kojelly_buf_addf(kojelly_buf *b, const char *fmt, ...)
    __attribute__((format(printf, 2, 3)));
// Appends the text as a JSON string literal, or `null` for NULL. 0 or -1 (may leave a part).
[[nodiscard]] int kojelly_buf_json_str(kojelly_buf *b, const char *text);
// Appends "?name=value" (or "&..." when the content already holds a '?'), the value
// percent-encoded. 0 or -1.
[[nodiscard]] int kojelly_buf_query(kojelly_buf *b, const char *name, const char *value);
// Releases data and zeroes the record; harmless on an empty buffer.
void kojelly_buf_free(kojelly_buf *b);
// As kojelly_buf_free, after overwriting the whole capacity with zeros: for a buffer that held a
// secret.
void kojelly_buf_free_secret(kojelly_buf *b);
// Hands the content over as a heap text (NULL while nothing was appended) and zeroes the record.
// Spare capacity of 64 KiB or more is given back when the allocator can shrink the block; a text
// that cannot be shrunk is handed over as it is.
char *kojelly_buf_take(kojelly_buf *b);

// Overwrites n bytes with zeros in a way the optimiser must keep, even when the memory is freed
// right after.
void kojelly_wipe(void *p, uint64_t n);
// Overwrites a heap text that held a secret, then frees it; harmless on NULL.
void kojelly_free_secret(char *text);

// Heap copies, released with free(); NULL for a NULL source or when memory runs out.
char *kojelly_strndup(const char *src, uint64_t n);
char *kojelly_strdup(const char *text);

// The length of the longest prefix of the first n bytes of text that does not end inside a
// UTF-8 sequence: n, or less by the first bytes of a sequence that a cut at n would split. Bytes
// that are not UTF-8 at all are left to the caller's checks. Every message cut to a size is cut
// here, so that no cut leaves half a character behind.
uint64_t kojelly_utf8_prefix(const char *text, uint64_t n);
// 1 when the n bytes are well-formed UTF-8 (NUL allowed; values up to 0x1FFFFF), else 0.
int kojelly_utf8_ok(const void *bytes, uint64_t n);
// 1 for a server item id: 1-20 ASCII digits, 32 hex digits, or the 8-4-4-4-12 hex form.
int kojelly_id_ok(const char *text);
// Appends a path-safe form of name ('/' -> U+2215, control bytes -> '_'), or the fallback
// (or "item") when the name is unusable. 0 or -1.
[[nodiscard]] int kojelly_name_clean(kojelly_buf *b, const char *name, const char *fallback);

namespace kojelly {

// A kojelly_buf owned by one scope; released on every path unless its record was handed over
// with release().
class OwnedBuf : public Owned<kojelly_buf, kojelly_buf_free> {
public:
    // The content as a text; "" while nothing was appended.
    const char *c_str() const { return get()->data ? get()->data : ""; }
};

// Whether the whole text has one of the forms of kojelly_id_ok; a NUL byte anywhere fails.
bool id_form(std::string_view id);

// What json_str_within and a bounded BufWriter report when a piece would pass their limit.
inline constexpr int kOverLimit = -2;

// For writers that measure a whole piece of text before they write it: room for n more bytes by
// the growth rule of kojelly_buf_add, and where they go (the content's end); NULL with the buffer
// unchanged when memory runs out. The caller writes exactly n bytes there and then calls extend.
[[nodiscard]] char *space(kojelly_buf *b, uint64_t n);
// Counts the n bytes written at space()'s address into the content and puts the NUL behind them.
void extend(kojelly_buf *b, uint64_t n);

namespace text {

// How a byte is written inside a JSON string: 0 as itself, 'u' as \u00XX, any other letter as
// that letter behind a backslash.
inline constexpr std::array<char, 256> kJsonEscape = [] {
    std::array<char, 256> t{};
    for (int c = 0; c < 0x20; ++c) t[c] = 'u';
    t[0x7F] = 'u';
    t['\t'] = 't';
    t['\n'] = 'n';
    t['\r'] = 'r';
    t['"'] = '"';
    t['\\'] = '\\';
    return t;
}();

// The bytes each byte takes inside a JSON string.
inline constexpr std::array<uint8_t, 256> kJsonWidth = [] {
    std::array<uint8_t, 256> t{};
    for (size_t c = 0; c < t.size(); ++c) {
        t[c] = kJsonEscape[c] == 0 ? 1 : kJsonEscape[c] == 'u' ? 6 : 2;
    }
    return t;
}();

// Word-at-a-time tests over eight bytes: each is nonzero exactly when some byte of x is as named
// (the per-byte flags above the first hit may be wrong, the test as a whole never is).
inline constexpr uint64_t kOnes = 0x0101010101010101ULL;
inline constexpr uint64_t kHighs = 0x8080808080808080ULL;

constexpr uint64_t any_below(uint64_t x, unsigned char n) {
    return (x - kOnes * n) & ~x & kHighs;
}
constexpr uint64_t any_equal(uint64_t x, unsigned char c) {
    return any_below(x ^ (kOnes * c), 1);
}
// A byte that a JSON string must escape: a control byte, '"', '\\' or DEL.
constexpr uint64_t any_json_escape(uint64_t x) {
    return any_below(x, 0x20) | any_equal(x, '"') | any_equal(x, '\\') | any_equal(x, 0x7F);
}

inline uint64_t word_at(const unsigned char *p) {
    uint64_t x;
    std::memcpy(&x, p, sizeof x);
    return x;
}

// Writes a text that needs escapes as its JSON string literal; returns the end.
char *json_str_escaped(char *out, std::string_view text);

}  // namespace text

// The bytes text takes as a JSON string literal, both quotes included; a view without data
// stands for NULL and takes the 4 bytes of null. Inline, as json_str_put: a listing entry
// measures and writes nine texts, most of them a few bytes long.
inline uint64_t json_str_width(std::string_view text) {
    if (!text.data()) return 4;
    // Names and ids rarely hold a byte to escape: eight bytes are tested at a time, and only a
    // word that holds one is measured byte by byte.
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t n = text.size();
    uint64_t width = n + 2;
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
        if (!text::any_json_escape(text::word_at(p + i))) continue;
        for (size_t k = i; k < i + sizeof(uint64_t); ++k) width += text::kJsonWidth[p[k]] - 1u;
    }
    for (; i < n; ++i) width += text::kJsonWidth[p[i]] - 1u;
    return width;
}

// Writes text as the JSON string literal (or null) of width bytes, as json_str_width measured
// it, at out; no NUL behind it. Returns the end of what was written.
inline char *json_str_put(char *out, std::string_view text, uint64_t width) {
    if (!text.data()) {
        std::memcpy(out, "null", 4);
        return out + 4;
    }
    if (width != text.size() + 2) return text::json_str_escaped(out, text);
    // Most texts need no escape at all and go over in one piece.
    *out++ = '"';
    std::memcpy(out, text.data(), text.size());
    out += text.size();
    *out++ = '"';
    return out;
}

// The display name that kojelly_name_clean would append for name and fallback, as a view: name
// itself when it is usable and needs no cleaning, the fallback (or "item") when it is not usable,
// and otherwise the cleaned text, made in scratch (emptied first), which the view then points
// into. A view without data stands for a NULL name. With valid_utf8 the caller vouches that name
// is well-formed UTF-8 (as every string of a strictly read document is) and it is not checked
// again. 0, or -1 when memory runs out.
[[nodiscard]] int name_view(std::string_view name, const char *fallback, bool valid_utf8,
                            kojelly_buf *scratch, std::string_view *out);

// As kojelly_buf_json_str, but appends nothing and returns kOverLimit when the content would grow
// past limit bytes; the escaped length is known before anything is written, so the limit holds
// before the buffer grows.
[[nodiscard]] int json_str_within(kojelly_buf *b, const char *text, uint64_t limit);

// Appends pieces to a buffer until one fails; later pieces are skipped, so the text stops at the
// failure and one check at the end covers the whole chain. Fixed pieces carry their length from
// compile time and numbers are formatted without printf, which matters for a listing of 100000
// entries of some thirty pieces each. With a limit, a piece that would take the content past it
// is not appended and ends the chain as over the limit.
class BufWriter {
public:
    explicit BufWriter(kojelly_buf *b, uint64_t limit = UINT64_MAX) : b_(b), limit_(limit) {}

    template <size_t N>
    BufWriter &piece(const char (&text)[N]) {
        return add(text, N - 1);
    }
    // A run-time text, as it stands (not NULL).
    BufWriter &text(const char *text) { return add(text, std::strlen(text)); }
    // A JSON string literal, or null for NULL.
    BufWriter &str(const char *text);
    BufWriter &number(long long v);
    // True while every piece so far was appended.
    bool ok() const { return ok_; }
    // 0; -1 when a piece could not be appended for want of memory; kOverLimit when one would
    // have passed the limit.
    int result() const { return ok_ ? 0 : over_ ? kOverLimit : -1; }

private:
    BufWriter &add(const char *bytes, uint64_t n);

    kojelly_buf *b_;
    uint64_t limit_;
    bool ok_ = true;
    bool over_ = false;
};

}  // namespace kojelly
