// The HTTP support library: acceptance of an http-backed io, text copies, the method token
// check, the response collector, request header lines and their lookup (in a request record and
// in a collector), Content-Range parsing and the Range GET. The growable byte buffer lives in
// tessel_buf.cpp, the byte ranges a file server answers in tessel_range.cpp. Nothing here keeps
// state between calls; every heap block comes from malloc/realloc and is released with free.
#include "http/tessel_http_util.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

// The records cross the boundary with the host: their layouts are fixed to the byte.
static_assert(std::is_standard_layout_v<tessel_io> && sizeof(tessel_io) == 32);
static_assert(offsetof(tessel_io, ctx) == 0 && offsetof(tessel_io, get) == 8 &&
              offsetof(tessel_io, post) == 16 && offsetof(tessel_io, free) == 24);
static_assert(std::is_standard_layout_v<tessel_http_ctx> && sizeof(tessel_http_ctx) == 24);
static_assert(offsetof(tessel_http_ctx, magic) == 0 && offsetof(tessel_http_ctx, size) == 4 &&
              offsetof(tessel_http_ctx, http) == 8 && offsetof(tessel_http_ctx, reserved) == 16);
static_assert(std::is_standard_layout_v<tessel_http> && sizeof(tessel_http) == 32);
static_assert(offsetof(tessel_http, size) == 0 && offsetof(tessel_http, version) == 4 &&
              offsetof(tessel_http, user) == 8 && offsetof(tessel_http, request) == 16 &&
              offsetof(tessel_http, free) == 24);
static_assert(std::is_standard_layout_v<tessel_http_req> && sizeof(tessel_http_req) == 112);
static_assert(offsetof(tessel_http_req, size) == 0 && offsetof(tessel_http_req, pad_) == 4 &&
              offsetof(tessel_http_req, method) == 8 && offsetof(tessel_http_req, url) == 16 &&
              offsetof(tessel_http_req, headers) == 24 &&
              offsetof(tessel_http_req, header_count) == 32 &&
              offsetof(tessel_http_req, body) == 40 && offsetof(tessel_http_req, body_len) == 48 &&
              offsetof(tessel_http_req, credentials) == 56 &&
              offsetof(tessel_http_req, reserved) == 64 &&
              offsetof(tessel_http_req, on_header) == 88 &&
              offsetof(tessel_http_req, on_body) == 96 && offsetof(tessel_http_req, user) == 104);
static_assert(sizeof(tessel_collect) == 72 && offsetof(tessel_collect, body) == 0 &&
              offsetof(tessel_collect, headers) == 24 && offsetof(tessel_collect, status) == 48 &&
              offsetof(tessel_collect, limit) == 56 && offsetof(tessel_collect, truncated) == 64 &&
              offsetof(tessel_collect, oom) == 68);

namespace {

constexpr uint32_t kMinCtxSize = 24;
constexpr uint32_t kMinHttpSize = 32;
constexpr uint32_t kHttpVersion = 1;
constexpr size_t kMinLineSize = 4;  // "a: " and its NUL
constexpr size_t kRangeLineSize = 128;
constexpr char kStatusPseudo[] = ":status";

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// strtoimax with the three outcomes the parsers need: no digits, out of range, or a value.
[[nodiscard]] bool read_int(const char *p, const char **end, int64_t *value) {
    char *stop = nullptr;
    errno = 0;
    const intmax_t v = std::strtoimax(p, &stop, 10);
    *end = stop;
    if (stop == p || errno == ERANGE) return false;
    *value = static_cast<int64_t>(v);
    return true;
}

}  // namespace

namespace tessel {

bool token_char(unsigned char c) {
    if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
    return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

bool fold_prefix(const char *text, const char *name, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (fold(static_cast<unsigned char>(text[i])) != fold(static_cast<unsigned char>(name[i])))
            return false;
    }
    return true;
}

}  // namespace tessel

// ---- Acceptance of a transport ---------------------------------------------------------------

const tessel_http *tessel_http_from_ctx(const tessel_http_ctx *ctx) {
    if (ctx == nullptr || ctx->magic != TESSEL_HTTP_CTX_MAGIC || ctx->size < kMinCtxSize)
        return nullptr;
    const tessel_http *http = ctx->http;
    if (http == nullptr || http->size < kMinHttpSize || http->version != kHttpVersion ||
        http->request == nullptr)
        return nullptr;
    return http;
}

const tessel_http *tessel_http_of(const tessel_io *io) {
    if (io == nullptr) return nullptr;
    return tessel_http_from_ctx(static_cast<const tessel_http_ctx *>(io->ctx));
}

// ---- Texts -------------------------------------------------------------------------------------

char *tessel_strdup(const char *text) {
    if (text == nullptr) return nullptr;
    return tessel_strndup(text, std::strlen(text));
}

char *tessel_strndup(const char *bytes, uint64_t count) {
    if (bytes == nullptr || count == UINT64_MAX) return nullptr;
    char *copy = static_cast<char *>(std::malloc(count + 1));
    if (copy == nullptr) return nullptr;
    std::memcpy(copy, bytes, count);
    copy[count] = '\0';
    return copy;
}

int tessel_method_ok(const char *method) {
    if (method == nullptr || method[0] == '\0') return 0;
    size_t n = 0;
    for (; method[n] != '\0'; ++n) {
        if (!tessel::token_char(static_cast<unsigned char>(method[n]))) return 0;
    }
    return n <= tessel::kMaxMethod ? 1 : 0;
}

// ---- Collector -------------------------------------------------------------------------------

void tessel_collect_init(tessel_collect *c, uint64_t limit) {
    if (c == nullptr) return;
    *c = tessel_collect{};
    c->limit = limit;
}

namespace {

// Appends count bytes to the body; a failure for want of memory (not for bytes NULL) sets oom.
int append_body(tessel_collect *c, const void *bytes, uint64_t count) {
    if (tessel_buf_add(&c->body, bytes, count) == 0) return 0;
    if (bytes != nullptr) c->oom = 1;
    return -1;
}

}  // namespace

int32_t tessel_collect_body(void *collector, const void *bytes, uint64_t count) {
    auto *c = static_cast<tessel_collect *>(collector);
    if (c == nullptr) return 1;
    const uint64_t held = c->body.len;
    if (c->limit != 0 && (held > c->limit || count > c->limit - held)) {
        // Keep exactly limit bytes; the answer is already cut short, so a failure here changes
        // nothing the caller will see but a shorter body and oom.
        if (held < c->limit) (void)append_body(c, bytes, c->limit - held);
        c->truncated = 1;
        return 1;
    }
    if (count == 0) return 0;
    return append_body(c, bytes, count) == 0 ? 0 : 1;
}

int32_t tessel_collect_header(void *collector, const char *name, const char *value) {
    auto *c = static_cast<tessel_collect *>(collector);
    if (c == nullptr) return 1;
    if (name == nullptr) return 0;
    if (std::strcmp(name, kStatusPseudo) == 0) {
        if (value != nullptr) c->status = static_cast<int32_t>(std::strtol(value, nullptr, 10));
        return 0;
    }
    if (value == nullptr) value = "";
    const uint64_t old_len = c->headers.len;
    if (tessel_buf_add(&c->headers, name, std::strlen(name) + 1) != 0 ||
        tessel_buf_add(&c->headers, value, std::strlen(value) + 1) != 0) {
        // Never leave half a pair behind: readers walk the pairs in steps of two texts.
        if (c->headers.data != nullptr) {
            c->headers.len = old_len;
            c->headers.data[old_len] = '\0';
        }
        c->oom = 1;
        return 1;
    }
    return 0;
}

void tessel_collect_free(tessel_collect *c) {
    if (c == nullptr) return;
    tessel_buf_free(&c->body);
    tessel_buf_free(&c->headers);
}

// ---- Header functions ------------------------------------------------------------------------

int tessel_header_line(const char *name, const char *value, char *out, size_t size) {
    if (name == nullptr || name[0] == '\0' || out == nullptr || size < kMinLineSize) return -1;
    for (const char *p = name; *p != '\0'; ++p) {
        if (!tessel::token_char(static_cast<unsigned char>(*p))) return -1;
    }
    if (value == nullptr) value = "";
    for (const char *p = value; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F) return -1;
    }
    const int n = std::snprintf(out, size, "%s: %s", name, value);
    if (n < 0 || static_cast<size_t>(n) >= size) return -1;
    return 0;
}

const char *tessel_header_get(const tessel_http_req *req, const char *name) {
    if (req == nullptr || name == nullptr || name[0] == '\0' || req->headers == nullptr)
        return nullptr;
    const size_t n = std::strlen(name);
    for (uint64_t i = 0; i < req->header_count; ++i) {
        const char *line = req->headers[i];
        if (line == nullptr || !tessel::fold_prefix(line, name, n) || line[n] != ':') continue;
        const char *v = line + n + 1;
        while (is_blank(*v)) ++v;
        return v;
    }
    return nullptr;
}

const char *tessel_hdrs_get(const tessel_buf *headers, const char *name) {
    if (headers == nullptr || name == nullptr || headers->data == nullptr || headers->len == 0)
        return nullptr;
    const size_t want = std::strlen(name);
    const char *data = headers->data;
    const uint64_t len = headers->len;
    uint64_t pos = 0;
    while (pos < len) {
        // The buffer always ends in a NUL after data[len], so strnlen is only a guard.
        const size_t nlen = strnlen(data + pos, len - pos);
        const uint64_t vpos = pos + nlen + 1;
        if (vpos > len) break;
        const size_t vlen = strnlen(data + vpos, len - vpos);
        if (nlen == want && tessel::fold_prefix(data + pos, name, want)) return data + vpos;
        pos = vpos + vlen + 1;
    }
    return nullptr;
}

int tessel_content_range(const char *text, int64_t *start, int64_t *end, int64_t *total) {
    int64_t s = -1, e = -1, t = -1;
    auto publish = [&](int rc) {
        if (rc != 0) s = e = t = -1;
        if (start != nullptr) *start = s;
        if (end != nullptr) *end = e;
        if (total != nullptr) *total = t;
        return rc;
    };
    if (text == nullptr || std::strncmp(text, "bytes", 5) != 0) return publish(-1);
    const char *p = text + 5;
    while (*p == ' ') ++p;

    if (*p == '*') {
        ++p;
    } else if (*p != '\0') {
        const char *stop = nullptr;
        if (!read_int(p, &stop, &s) || *stop != '-' || s < 0) return publish(-1);
        p = stop + 1;
        if (*p == '*') {
            ++p;
        } else {
            if (!read_int(p, &stop, &e) || e < 0 || (*stop != '/' && *stop != '\0'))
                return publish(-1);
            if (e < s) return publish(-1);
            p = stop;
        }
    }

    if (*p == '\0') return publish(0);
    if (*p != '/') return publish(-1);
    ++p;
    if (p[0] == '*') return publish(p[1] == '\0' ? 0 : -1);
    const char *stop = nullptr;
    if (!read_int(p, &stop, &t) || t < 0 || *stop != '\0') return publish(-1);
    // Only the start is held against the total; an end past it is the server's affair.
    if (s >= 0 && e >= 0 && s > t) return publish(-1);
    return publish(0);
}

// ---- Range GET -------------------------------------------------------------------------------

int32_t tessel_http_range(const tessel_http *http, const char *url, int64_t start, int64_t end,
                          tessel_collect *c, int32_t *status, char **error) {
    if (http == nullptr || http->request == nullptr || url == nullptr || c == nullptr ||
        start < 0 || end < start) {
        if (error != nullptr) *error = tessel_strdup("bad range args");
        return -1;
    }
    char line[kRangeLineSize];
    std::snprintf(line, sizeof line, "Range: bytes=%" PRId64 "-%" PRId64, start, end);
    const char *const headers[1] = {line};

    tessel_http_req req{};
    req.size = sizeof(tessel_http_req);
    req.method = "GET";
    req.url = url;
    req.headers = headers;
    req.header_count = 1;
    req.on_header = tessel_collect_header;
    req.on_body = tessel_collect_body;
    req.user = c;

    // A transport may write both out-parameters whatever the caller passed; unwanted ones land
    // here and an unwanted error text is released at once.
    int32_t own_status = 0;
    char *own_error = nullptr;
    const int32_t rc = http->request(http->user, &req, status != nullptr ? status : &own_status,
                                     error != nullptr ? error : &own_error);
    if (own_error != nullptr) {
        if (http->free != nullptr) {
            http->free(http->user, own_error);
        } else {
            std::free(own_error);
        }
    }

    const int32_t got = status != nullptr ? *status : own_status;
    const uint64_t skip = static_cast<uint64_t>(start);
    if (rc == 0 && got == 200 && skip > 0 && c->body.len > skip) {
        // The server ignored the range and sent the resource from its first byte.
        std::memmove(c->body.data, c->body.data + skip, c->body.len - skip);
        c->body.len -= skip;
        c->body.data[c->body.len] = '\0';
    }
    return rc;
}
