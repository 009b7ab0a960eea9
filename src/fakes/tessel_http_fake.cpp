// The scripted fake HTTP server: an in-process tessel_http request function that answers from
// registered routes (canned answers, files served with byte ranges and HEAD, slow bodies, and
// transport failures) and keeps process-wide counters and a JSON record of the last request.
// All state sits behind one lock, which is held only while counting, recording, looking up and
// copying: every answer is copied out first and delivered without the lock, so callbacks may
// call the controls and other requests run while a slow body pauses.
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "fakes/fake_routes.hpp"
#include "http/tessel_http_util.hpp"
#include "http/tessel_lock.hpp"
#include "http/tessel_owned.hpp"

namespace {

using namespace std::chrono_literals;

constexpr size_t kFirstRoutes = 16;
constexpr size_t kMaxRoutes = 256;
constexpr uint32_t kMinReqSize = 112;
constexpr uint64_t kPiece = 65536;   // largest body piece handed to on_body
constexpr uint64_t kDripPiece = 64;  // piece of a slow body
constexpr auto kDripPause = 10ms;    // pause after each slow piece
constexpr size_t kMaxHeaderName = 127;
constexpr size_t kMaxHeaderValue = 511;
constexpr size_t kFileHeaderSize = 192;  // room for the longest generated file header text
constexpr size_t kRangeNameLen = 5;      // "Range"

constexpr int32_t kCanned = 0;
constexpr int32_t kFile = 1;
constexpr int32_t kFailure = 2;
constexpr int32_t kDrip = 3;

constexpr int32_t kRangeIgnore = 0;
constexpr int32_t kRangeStrict = 2;

constexpr char kDripHeaders[] = "Content-Type: application/octet-stream\n";
constexpr char kDefaultFailure[] = "fake: transport failure";
constexpr const char *kWriteMethods[] = {"PUT",       "MKCOL", "DELETE", "MOVE", "COPY",
                                         "PROPPATCH", "LOCK",  "UNLOCK", "POST"};

struct Route {
    char *method;
    char *url;
    int32_t kind;
    int32_t status;
    char *headers;
    char *body;
    uint64_t size;
    int32_t range_mode;
    int32_t drip_chunks;
    char *failure;
    int32_t calls;
};

using Text = tessel::Malloced<char>;

tessel::Lock g_l;
Route *g_routes = nullptr;
size_t g_n = 0;
size_t g_cap = 0;
int32_t g_total = 0;
int32_t g_writes = 0;
char *g_last_req = nullptr;

// ---- Route table (every function here runs under g_l) ----------------------------------------

char *copy_bytes(const void *bytes, uint64_t size) {
    if (size == 0) return nullptr;
    char *copy = static_cast<char *>(std::malloc(size));
    if (copy != nullptr) std::memcpy(copy, bytes, size);
    return copy;
}

Route *find(const char *method, const char *url) {
    for (size_t i = 0; i < g_n; ++i) {
        if (std::strcmp(g_routes[i].method, method) == 0 && std::strcmp(g_routes[i].url, url) == 0)
            return &g_routes[i];
    }
    return nullptr;
}

void drop_answer(Route &r) {
    std::free(r.headers);
    std::free(r.body);
    std::free(r.failure);
    r.headers = r.body = r.failure = nullptr;
    r.size = 0;
}

// The (method, url) route with its answer texts dropped, or a new zeroed one (then *created is
// set); NULL when the table is full or memory runs out. The pointer is valid only until the
// table next grows.
Route *upsert(const char *method, const char *url, bool *created) {
    *created = false;
    if (Route *r = find(method, url)) {
        drop_answer(*r);
        return r;
    }
    if (g_n >= kMaxRoutes) return nullptr;
    Route *r = tessel::fake::append_route(g_routes, g_n, g_cap, kFirstRoutes, method, url);
    *created = r != nullptr;
    return r;
}

// Ends a registration: a route created by a registration that then failed is taken out again,
// so that a call answering -1 never leaves a new route that answers requests.
[[nodiscard]] int finish(Route *r, bool created, bool ok) {
    if (!ok && created) {
        drop_answer(*r);
        std::free(r->method);
        std::free(r->url);
        --g_n;  // the route created last is the table's last entry
    }
    return ok ? 0 : -1;
}

// ---- Last-request record ---------------------------------------------------------------------

[[nodiscard]] int json_escape(tessel_buf *b, const char *text) {
    for (const char *p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        int rc;
        if (c == '"' || c == '\\') {
            rc = tessel_buf_addc(b, '\\') == 0 ? tessel_buf_addc(b, c) : -1;
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\u%04x", static_cast<unsigned>(c));
            rc = tessel_buf_adds(b, esc);
        } else {
            rc = tessel_buf_addc(b, c);
        }
        if (rc != 0) return -1;
    }
    return 0;
}

// The JSON record of a request as a heap text, or NULL when memory runs out.
char *last_request_json(const tessel_http_req *req) {
    tessel_buf b{};
    bool ok = tessel_buf_adds(&b, "{\"method\":\"") == 0 && json_escape(&b, req->method) == 0 &&
              tessel_buf_adds(&b, "\",\"url\":\"") == 0 && json_escape(&b, req->url) == 0 &&
              tessel_buf_adds(&b, "\",\"headers\":[") == 0;
    // A null array with a count above 0 is recorded as no headers rather than read.
    const uint64_t count = req->headers != nullptr ? req->header_count : 0;
    for (uint64_t i = 0; ok && i < count; ++i) {
        const char *line = req->headers[i];
        ok = (i == 0 || tessel_buf_addc(&b, ',') == 0) && tessel_buf_addc(&b, '"') == 0 &&
             (line == nullptr || json_escape(&b, line) == 0) && tessel_buf_addc(&b, '"') == 0;
    }
    char tail[96];
    std::snprintf(tail, sizeof tail, "],\"body_len\":%" PRIu64 ",\"credentials\":%s}",
                  req->body_len, req->credentials != 0 ? "true" : "false");
    if (!ok || tessel_buf_adds(&b, tail) != 0) {
        tessel_buf_free(&b);
        return nullptr;
    }
    return b.data;
}

bool is_write(const char *method) {
    for (const char *w : kWriteMethods) {
        if (std::strcmp(method, w) == 0) return true;
    }
    return false;
}

// ---- File answers ----------------------------------------------------------------------------

// The value of the request's first Range line, past the colon and any spaces; NULL if none.
const char *range_value(const tessel_http_req *req) {
    if (req->headers == nullptr) return nullptr;
    for (uint64_t i = 0; i < req->header_count; ++i) {
        const char *line = req->headers[i];
        if (line == nullptr || !tessel::fold_prefix(line, "Range", kRangeNameLen) ||
            line[kRangeNameLen] != ':')
            continue;
        const char *v = line + kRangeNameLen + 1;
        while (*v == ' ') ++v;
        return v;
    }
    return nullptr;
}

struct FileAnswer {
    int32_t status;
    char headers[kFileHeaderSize];
    uint64_t first;  // slice of the file to send
    uint64_t count;
};

// The answer to a request for a file route: the bytes its Range line asks for, read loosely,
// only the first range served, an empty suffix refused, and with range_mode 2 an end past the
// file refused too (see tessel_fake_file).
void choose_file_answer(const Route &r, const tessel_http_req *req, FileAnswer &a) {
    const uint64_t size = r.size;
    const char *v = r.range_mode == kRangeIgnore ? nullptr : range_value(req);
    const uint32_t rules = TESSEL_RANGE_LOOSE | TESSEL_RANGE_FIRST_ONLY |
                           TESSEL_RANGE_EMPTY_REFUSED |
                           (r.range_mode == kRangeStrict ? TESSEL_RANGE_END_INSIDE : 0u);
    a.status = tessel_range_slice(v, size, rules, &a.first, &a.count);
    if (a.status == 200) {
        std::snprintf(a.headers, sizeof a.headers,
                      "Content-Length: %" PRIu64 "\nAccept-Ranges: bytes\n", size);
    } else if (a.status == 416) {
        std::snprintf(a.headers, sizeof a.headers, "Content-Range: bytes */%" PRIu64 "\n", size);
    } else {
        std::snprintf(a.headers, sizeof a.headers,
                      "Content-Range: bytes %" PRIu64 "-%" PRIu64 "/%" PRIu64
                      "\nContent-Length: %" PRIu64 "\n",
                      a.first, a.first + a.count - 1, size, a.count);
    }
}

// ---- Answers ---------------------------------------------------------------------------------

enum class Act { kNotFound, kFail, kDeliver, kDrip };

// Everything a request needs after the lock is released.
struct Answer {
    Act act = Act::kNotFound;
    int32_t status = 404;
    Text headers;
    Text body;
    uint64_t body_len = 0;
    int32_t drip_chunks = 0;
    Text failure;
};

// Counts, records and copies the answer under the lock.
void prepare(const tessel_http_req *req, Answer &a) {
    tessel::LockGuard lock(g_l);
    ++g_total;
    if (is_write(req->method)) ++g_writes;
    // A record that cannot be built is dropped rather than left describing an older request.
    std::free(g_last_req);
    g_last_req = last_request_json(req);

    const bool head = std::strcmp(req->method, "HEAD") == 0;
    Route *r = find(req->method, req->url);
    if (r == nullptr && head) r = find("GET", req->url);
    if (r == nullptr) return;
    ++r->calls;

    switch (r->kind) {
        case kFailure:
            a.act = Act::kFail;
            a.failure.reset(tessel_strdup(r->failure != nullptr ? r->failure : kDefaultFailure));
            return;
        case kFile: {
            FileAnswer f{};
            choose_file_answer(*r, req, f);
            a.act = Act::kDeliver;
            a.status = f.status;
            a.headers.reset(tessel_strdup(f.headers));
            if (!head && f.count > 0) {
                a.body.reset(copy_bytes(r->body + f.first, f.count));
                if (a.body) a.body_len = f.count;
            }
            return;
        }
        case kDrip:
            a.act = Act::kDrip;
            a.drip_chunks = r->drip_chunks;
            break;
        default:
            a.act = Act::kDeliver;
            break;
    }
    a.status = r->status;
    a.headers.reset(tessel_strdup(r->headers != nullptr ? r->headers : ""));
    if (r->size > 0) {
        a.body.reset(copy_bytes(r->body, r->size));
        if (a.body) a.body_len = r->size;
    }
}

// Passes one "Name: value" line (len bytes, no line end) to on_header. 1 when asked to stop.
[[nodiscard]] int deliver_line(const tessel_http_req *req, const char *line, size_t len) {
    const char *colon = static_cast<const char *>(std::memchr(line, ':', len));
    if (colon == nullptr) return 0;
    const size_t name_len = static_cast<size_t>(colon - line);
    const char *end = line + len;
    const char *v = colon + 1;
    while (v < end && *v == ' ') ++v;
    size_t value_len = static_cast<size_t>(end - v);
    if (value_len > 0 && v[value_len - 1] == '\r') --value_len;
    if (name_len > kMaxHeaderName || value_len > kMaxHeaderValue) return 0;
    char name[kMaxHeaderName + 1];
    char value[kMaxHeaderValue + 1];
    std::memcpy(name, line, name_len);
    name[name_len] = '\0';
    std::memcpy(value, v, value_len);
    value[value_len] = '\0';
    if (req->on_header == nullptr) return 0;
    return req->on_header(req->user, name, value) != 0 ? 1 : 0;
}

// Hands status, header lines and body to the callbacks; 1 when a callback asked to stop.
[[nodiscard]] int deliver(const tessel_http_req *req, int32_t status, const char *headers,
                          const char *body, uint64_t len) {
    char code[16];
    std::snprintf(code, sizeof code, "%ld", static_cast<long>(status));
    if (req->on_header != nullptr && req->on_header(req->user, ":status", code) != 0) return 1;
    for (const char *p = headers; p != nullptr && *p != '\0';) {
        const char *eol = std::strchr(p, '\n');
        const size_t n = eol != nullptr ? static_cast<size_t>(eol - p) : std::strlen(p);
        if (deliver_line(req, p, n) != 0) return 1;
        p = eol != nullptr ? eol + 1 : p + n;
    }
    if (req->on_body == nullptr) return 0;
    for (uint64_t off = 0; off < len;) {
        const uint64_t n = len - off < kPiece ? len - off : kPiece;
        if (req->on_body(req->user, body + off, n) != 0) return 1;
        off += n;
    }
    return 0;
}

void drip(const tessel_http_req *req, const char *body, uint64_t len, int32_t limit) {
    if (body == nullptr) return;
    int32_t pieces = 0;
    for (uint64_t off = 0; off < len;) {
        const uint64_t n = len - off < kDripPiece ? len - off : kDripPiece;
        if (req->on_body != nullptr && req->on_body(req->user, body + off, n) != 0) return;
        off += n;
        ++pieces;
        if (limit >= 1 && pieces >= limit) return;
        std::this_thread::sleep_for(kDripPause);
    }
}

int32_t fake_request(void *, const tessel_http_req *req, int32_t *status, char **error) {
    if (status != nullptr) *status = 0;
    if (error != nullptr) *error = nullptr;
    auto refuse = [error](const char *text) {
        if (error != nullptr) *error = tessel_strdup(text);
        return -1;
    };
    if (req == nullptr || req->size < kMinReqSize || req->method == nullptr || req->url == nullptr)
        return refuse("fake: bad request");
    if (tessel_method_ok(req->method) == 0) return refuse("fake: bad method");

    Answer a;
    prepare(req, a);
    switch (a.act) {
        case Act::kFail:
            if (error != nullptr) *error = a.failure.release();
            return -1;
        case Act::kNotFound:
            (void)deliver(req, a.status, nullptr, nullptr, 0);
            break;
        case Act::kDeliver:
            (void)deliver(req, a.status, a.headers.get(), a.body.get(), a.body_len);
            break;
        case Act::kDrip:
            // A callback that stopped the headers has asked for nothing more, body included.
            if (deliver(req, a.status, a.headers.get(), nullptr, 0) == 0)
                drip(req, a.body.get(), a.body_len, a.drip_chunks);
            break;
    }
    if (status != nullptr) *status = a.status;
    return 0;
}

void fake_free(void *, void *mem) {
    std::free(mem);
}

constexpr tessel_http g_fake_http = {sizeof(tessel_http), 1, nullptr, fake_request, fake_free};

}  // namespace

const tessel_http *tessel_http_fake(void) {
    return &g_fake_http;
}

void tessel_fake_reset(void) {
    tessel::LockGuard lock(g_l);
    for (size_t i = 0; i < g_n; ++i) {
        drop_answer(g_routes[i]);
        std::free(g_routes[i].method);
        std::free(g_routes[i].url);
    }
    std::free(g_routes);
    g_routes = nullptr;
    g_n = g_cap = 0;
    g_total = g_writes = 0;
    std::free(g_last_req);
    g_last_req = nullptr;
}

int tessel_fake_set(const char *method, const char *url, int32_t status, const char *headers,
                    const void *body, uint64_t size) {
    if (method == nullptr || url == nullptr || tessel_method_ok(method) == 0) return -1;
    if (body == nullptr && size > 0) return -1;
    tessel::LockGuard lock(g_l);
    bool created = false;
    Route *r = upsert(method, url, &created);
    if (r == nullptr) return -1;
    r->kind = kCanned;
    r->status = status;
    r->headers = tessel_strdup(headers != nullptr ? headers : "");
    r->body = copy_bytes(body, size);  // without memory the route answers with no body
    if (r->body != nullptr) r->size = size;
    return finish(r, created, r->headers != nullptr);
}

int tessel_fake_file(const char *url, const void *contents, uint64_t size, int32_t range_mode) {
    if (url == nullptr || (contents == nullptr && size > 0)) return -1;
    tessel::LockGuard lock(g_l);
    bool created = false;
    Route *r = upsert("GET", url, &created);
    if (r == nullptr) return -1;
    r->range_mode = range_mode;
    r->kind = kFile;
    r->status = 200;
    r->body = copy_bytes(contents, size);
    if (r->body != nullptr) r->size = size;
    return finish(r, created, size == 0 || r->body != nullptr);
}

int tessel_fake_drip(const char *url, int32_t status, const void *contents, uint64_t size,
                     int32_t piece_limit) {
    if (url == nullptr || (contents == nullptr && size > 0)) return -1;
    tessel::LockGuard lock(g_l);
    bool created = false;
    Route *r = upsert("GET", url, &created);
    if (r == nullptr) return -1;
    r->status = status;
    r->kind = kDrip;
    r->drip_chunks = piece_limit;
    r->headers = tessel_strdup(kDripHeaders);
    r->body = copy_bytes(contents, size);
    if (r->body != nullptr) r->size = size;
    return finish(r, created, r->headers != nullptr);
}

int tessel_fake_fail(const char *method, const char *url, const char *error) {
    if (method == nullptr || url == nullptr) return -1;
    tessel::LockGuard lock(g_l);
    bool created = false;
    Route *r = upsert(method, url, &created);
    if (r == nullptr) return -1;
    r->kind = kFailure;
    r->failure = tessel_strdup(error != nullptr ? error : kDefaultFailure);
    return finish(r, created, r->failure != nullptr);
}

int32_t tessel_fake_calls(const char *method, const char *url) {
    tessel::LockGuard lock(g_l);
    if (method == nullptr || url == nullptr) return g_total;
    const Route *r = find(method, url);
    return r != nullptr ? r->calls : 0;
}

int32_t tessel_fake_writes_sent(void) {
    tessel::LockGuard lock(g_l);
    return g_writes;
}

const char *tessel_fake_last_request(void) {
    // The lock orders this read after the request that wrote the record; the text itself stays
    // the caller's to protect (see the header).
    tessel::LockGuard lock(g_l);
    return g_last_req;
}
