// The text toolkit: one growable byte buffer in which every answer, URL, request body and
// assembled message is built, its appenders (raw bytes, text, printf formatting, JSON string
// literal, percent-encoded query parameter), two heap copies and three validators (UTF-8
// well-formedness, the server item-id form, and the cleaning of an item name into one safe path
// component). Nothing here keeps state; all memory comes from malloc/realloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "util/kojelly_owned.hpp"

// A growable byte buffer. Zero-initialise to get an empty buffer. After every successful append
// data is non-NULL and data[len] is NUL; the content itself may hold NUL bytes.
struct kojelly_buf {
    char *data;
    uint64_t len;
    uint64_t cap;
};

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

// What json_str_within and a bounded BufWriter report when a piece would pass their limit.
inline constexpr int kOverLimit = -2;

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
