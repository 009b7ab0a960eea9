// The text toolkit: growable buffer, appenders, copies and validators.
#include "util/kojelly_buf.hpp"

#include <array>
#include <charconv>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string_view>

#include "http/tessel_buf.hpp"
#include "tessel_http.h"

namespace {

constexpr uint64_t kFirstCap = 256;  // where kojelly_buf_add starts; tessel_buf_add starts at 64
constexpr size_t kFormatArea = 512;
// The least spare room that kojelly_buf_take gives back.
constexpr uint64_t kGiveBackMin = uint64_t{64} << 10;
constexpr uint64_t kMaxNameLen = 1024;
constexpr char kHexLower[] = "0123456789abcdef";
constexpr char kHexUpper[] = "0123456789ABCDEF";
constexpr std::string_view kDivisionSlash = "\xE2\x88\x95";  // U+2215, stands in for '/'

bool is_control(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

using kojelly::text::any_below;
using kojelly::text::any_equal;
using kojelly::text::kJsonEscape;
using kojelly::text::word_at;

// A byte that a display name must not hold: a control byte, '/' or DEL.
constexpr uint64_t any_name_unsafe(uint64_t x) {
    return any_below(x, 0x20) | any_equal(x, '/') | any_equal(x, 0x7F);
}

bool name_needs_cleaning(std::string_view name) {
    const auto *p = reinterpret_cast<const unsigned char *>(name.data());
    const size_t n = name.size();
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
        if (any_name_unsafe(word_at(p + i))) return true;
    }
    for (; i < n; ++i) {
        if (p[i] == '/' || is_control(p[i])) return true;
    }
    return false;
}

bool is_hex(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool is_query_safe(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

}  // namespace

int kojelly_buf_add(kojelly_buf *b, const void *src, uint64_t n) {
    return tessel::buf_add(b, src, n, kFirstCap);
}

int kojelly_buf_reserve(kojelly_buf *b, uint64_t n) {
    return tessel::buf_reserve(b, n);
}

int kojelly_buf_adds(kojelly_buf *b, const char *text) {
    return kojelly_buf_add(b, text, std::strlen(text));
}

int kojelly_buf_addf(kojelly_buf *b, const char *fmt, ...) {
    char area[kFormatArea];
    va_list ap;
    va_start(ap, fmt);
    const int n = std::vsnprintf(area, sizeof area, fmt, ap);
    va_end(ap);
    if (n < 0) return -1;
    if (static_cast<size_t>(n) < sizeof area) return kojelly_buf_add(b, area, n);

    kojelly::Malloced<char> heap(static_cast<char *>(std::malloc(size_t(n) + 1)));
    if (!heap) return -1;
    va_start(ap, fmt);
    const int m = std::vsnprintf(heap.get(), size_t(n) + 1, fmt, ap);
    va_end(ap);
    if (m < 0) return -1;
    return kojelly_buf_add(b, heap.get(), m);
}

int kojelly_buf_json_str(kojelly_buf *b, const char *text) {
    return kojelly::json_str_within(b, text, UINT64_MAX);
}

namespace kojelly {

int json_str_within(kojelly_buf *b, const char *text, uint64_t limit) {
    // The escaped length is counted first, so that the buffer grows at most once and the text
    // is written straight into it.
    const std::string_view view = text ? std::string_view(text) : std::string_view();
    const uint64_t width = json_str_width(view);
    if (width > limit || b->len > limit - width) return kOverLimit;
    char *o = space(b, width);
    if (!o) return -1;
    json_str_put(o, view, width);
    extend(b, width);
    return 0;
}

char *space(kojelly_buf *b, uint64_t n) {
    return tessel::buf_room(b, n, kFirstCap) != 0 ? nullptr : b->data + b->len;
}

void extend(kojelly_buf *b, uint64_t n) {
    b->len += n;
    b->data[b->len] = '\0';
}

char *text::json_str_escaped(char *o, std::string_view text) {
    const auto *in = reinterpret_cast<const unsigned char *>(text.data());
    *o++ = '"';
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = in[i];
        const char e = kJsonEscape[c];
        if (e == 0) {
            *o++ = static_cast<char>(c);
        } else if (e != 'u') {
            *o++ = '\\';
            *o++ = e;
        } else {
            std::memcpy(o, "\\u00", 4);
            o[4] = kHexLower[c >> 4];
            o[5] = kHexLower[c & 0xF];
            o += 6;
        }
    }
    *o++ = '"';
    return o;
}

}  // namespace kojelly

int kojelly_buf_query(kojelly_buf *b, const char *name, const char *value) {
    const std::string_view v = value ? value : "";
    size_t enc_len = 0;
    for (unsigned char c : v) enc_len += is_query_safe(c) ? 1 : 3;
    kojelly::Malloced<char> enc(static_cast<char *>(std::malloc(enc_len + 1)));
    if (!enc) return -1;
    char *o = enc.get();
    for (unsigned char c : v) {
        if (is_query_safe(c)) {
            *o++ = static_cast<char>(c);
        } else {
            *o++ = '%';
            *o++ = kHexUpper[c >> 4];
            *o++ = kHexUpper[c & 0xF];
        }
    }
    *o = '\0';

    const bool has_query = b->len && std::memchr(b->data, '?', b->len) != nullptr;
    if (kojelly_buf_add(b, has_query ? "&" : "?", 1) || kojelly_buf_adds(b, name) ||
        kojelly_buf_add(b, "=", 1) || kojelly_buf_add(b, enc.get(), enc_len))
        return -1;
    return 0;
}

void kojelly_buf_free(kojelly_buf *b) {
    tessel_buf_free(b);
}

char *kojelly_buf_take(kojelly_buf *b) {
    char *text = b->data;
    // Capacity doubles, so up to half of a large answer's block may be spare; shrinking gives
    // that back in place (or by remapping) without copying the text. Small spare room is kept:
    // handing it back gains nothing and makes the allocator trim and regrow its heap, which
    // serialises threads that request at the same time.
    if (text && b->cap - b->len - 1 >= kGiveBackMin) {
        if (void *fitted = std::realloc(text, b->len + 1)) text = static_cast<char *>(fitted);
    }
    *b = kojelly_buf{};
    return text;
}

// The support library's copies are these very operations (malloc'ed, NULL for NULL).
char *kojelly_strndup(const char *src, uint64_t n) {
    return tessel_strndup(src, n);
}

char *kojelly_strdup(const char *text) {
    return tessel_strdup(text);
}

uint64_t kojelly_utf8_prefix(const char *text, uint64_t n) {
    const auto *t = reinterpret_cast<const unsigned char *>(text);
    // A sequence is at most four bytes long: its lead byte lies within the last four.
    for (uint64_t back = 1; back <= 4 && back <= n; ++back) {
        const unsigned char c = t[n - back];
        if ((c & 0xC0) == 0x80) continue;  // a continuation byte: the lead lies further back
        const uint64_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        return need > back ? n - back : n;
    }
    return n;
}

int kojelly_utf8_ok(const void *bytes, uint64_t n) {
    const auto *s = static_cast<const unsigned char *>(bytes);
    uint64_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        uint64_t extra;
        uint32_t value, min;
        if ((c & 0xE0) == 0xC0) {
            extra = 1, value = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, value = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, value = c & 0x07, min = 0x10000;
        } else {
            return 0;
        }
        if (n - i - 1 < extra) return 0;
        for (uint64_t k = 1; k <= extra; ++k) {
            const unsigned char t = s[i + k];
            if ((t & 0xC0) != 0x80) return 0;
            value = (value << 6) | (t & 0x3F);
        }
        if (value < min || (value >= 0xD800 && value <= 0xDFFF)) return 0;
        i += extra + 1;
    }
    return 1;
}

bool kojelly::id_form(std::string_view id) {
    auto all = [&](auto pred) {
        for (unsigned char c : id)
            if (!pred(c)) return false;
        return true;
    };
    if (id.size() >= 1 && id.size() <= 20)
        return all([](unsigned char c) { return c >= '0' && c <= '9'; });
    if (id.size() == 32) return all(is_hex);
    if (id.size() == 36) {
        for (size_t i = 0; i < id.size(); ++i) {
            const bool dash_pos = i == 8 || i == 13 || i == 18 || i == 23;
            const auto c = static_cast<unsigned char>(id[i]);
            if (dash_pos ? c != '-' : !is_hex(c)) return false;
        }
        return true;
    }
    return false;
}

int kojelly_id_ok(const char *text) {
    return text && kojelly::id_form(text) ? 1 : 0;
}

namespace {

// Whether a name can be a path component at all (after cleaning); else the fallback stands in.
bool name_usable(std::string_view name, bool valid_utf8) {
    return name.data() && !name.empty() && name.size() <= kMaxNameLen &&
           (valid_utf8 || kojelly_utf8_ok(name.data(), name.size())) && name != "." &&
           name != "..";
}

// Appends a usable name with '/' replaced by U+2215 and control bytes by '_'. 0 or -1.
int clean_into(kojelly_buf *b, std::string_view name) {
    // The bytes that stay go over in runs between the ones replaced.
    const char *text = name.data();
    const size_t len = name.size();
    size_t run = 0;
    for (size_t i = 0; i < len; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c != '/' && !is_control(c)) continue;
        const bool slash = c == '/';
        if (kojelly_buf_add(b, text + run, i - run) ||
            kojelly_buf_add(b, slash ? kDivisionSlash.data() : "_",
                            slash ? kDivisionSlash.size() : 1))
            return -1;
        run = i + 1;
    }
    return kojelly_buf_add(b, text + run, len - run);
}

}  // namespace

int kojelly::name_view(std::string_view name, const char *fallback, bool valid_utf8,
                       kojelly_buf *scratch, std::string_view *out) {
    if (!name_usable(name, valid_utf8)) {
        *out = fallback && *fallback ? std::string_view(fallback) : std::string_view("item");
        return 0;
    }
    if (!name_needs_cleaning(name)) {
        *out = name;
        return 0;
    }
    scratch->len = 0;
    if (clean_into(scratch, name) != 0) return -1;
    *out = std::string_view(scratch->data, scratch->len);
    return 0;
}

int kojelly_name_clean(kojelly_buf *b, const char *name, const char *fallback) {
    const std::string_view text = name ? std::string_view(name) : std::string_view();
    if (!name_usable(text, false)) return kojelly_buf_adds(b, fallback && *fallback ? fallback : "item");
    return clean_into(b, text);
}

void kojelly_wipe(void *p, uint64_t n) {
    volatile unsigned char *b = static_cast<volatile unsigned char *>(p);
    for (uint64_t i = 0; i < n; ++i) b[i] = 0;
}

void kojelly_free_secret(char *text) {
    if (text) kojelly_wipe(text, std::strlen(text));
    std::free(text);
}

void kojelly_buf_free_secret(kojelly_buf *b) {
    if (b && b->data) kojelly_wipe(b->data, b->cap);
    kojelly_buf_free(b);
}

namespace kojelly {

BufWriter &BufWriter::number(long long v) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, v);
    return add(digits, static_cast<uint64_t>(r.ptr - digits));
}

BufWriter &BufWriter::add(const char *bytes, uint64_t n) {
    if (!ok_) return *this;
    if (n > limit_ || b_->len > limit_ - n) {
        ok_ = false;
        over_ = true;
    } else {
        ok_ = kojelly_buf_add(b_, bytes, n) == 0;
    }
    return *this;
}

BufWriter &BufWriter::str(const char *text) {
    if (!ok_) return *this;
    const int rc = json_str_within(b_, text, limit_);
    ok_ = rc == 0;
    over_ = rc == kOverLimit;
    return *this;
}

}  // namespace kojelly
