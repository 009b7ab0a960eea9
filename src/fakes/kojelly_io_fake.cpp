// The in-process fake io: constant transport objects, the route table under g_fl, the request
// function that answers from it, the plain io slots built on that function, and the controls.
#include "fakes/kojelly_io_fake.hpp"

#include <atomic>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>

#include "fakes/fake_routes.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_owned.hpp"
#include "util/platform.hpp"

namespace {

constexpr uint32_t kTableSize = 32;
constexpr uint32_t kTableVersion = 1;
constexpr uint32_t kCtxSize = 24;
constexpr uint32_t kReqSize = 112;
constexpr int32_t kMinStatus = 100;
constexpr int32_t kMaxStatus = 599;
constexpr int32_t kUnroutedStatus = 404;
constexpr char kUnroutedReply[] = "Not Found";
constexpr char kNoBody[] = "fake: no body";
constexpr char kOom[] = "oom";
constexpr char kBadRequest[] = "fake: request without method or URL";
constexpr size_t kFirstRoutes = 32;
constexpr uint64_t kFirstSink = 1024;

using Text = kojelly::Malloced<char>;

void fake_free_buf(void *, void *mem) {
    std::free(mem);
}

// The transport objects never change, so they are constant-initialised and read-only: any
// number of threads may select and use them at once without a write to race with.
constinit const tessel_http g_fake_http = {kTableSize, kTableVersion, nullptr,
                                           kojelly::fake_request, fake_free_buf};
constinit const tessel_http_ctx g_fake_ctx = {TESSEL_HTTP_CTX_MAGIC, kCtxSize, &g_fake_http,
                                              nullptr};
constinit const tessel_io g_fake_io = {const_cast<tessel_http_ctx *>(&g_fake_ctx), kojelly::f_get,
                                       kojelly::f_post, kojelly::f_free};

// A reply text shared by its route and the requests delivering it: a page of megabytes is
// neither copied nor scanned on every answer, and a route replaced while a request delivers its
// old reply does not pull the text away from under it. The last holder frees the block.
struct reply_block {
    std::atomic<size_t> holders;
    size_t len;
    // The text follows the header in the same allocation, a cache line further on: requests on
    // other threads read it while the holder count changes.
    static constexpr size_t kTextAt = 64;
    const char *text() const { return reinterpret_cast<const char *>(this) + kTextAt; }
};
static_assert(sizeof(reply_block) <= reply_block::kTextAt);

// A block holding a copy of body, held once; NULL when memory runs out.
reply_block *reply_make(const char *body) {
    const size_t len = std::strlen(body);
    if (len > SIZE_MAX - reply_block::kTextAt - 1) return nullptr;
    void *p = std::malloc(reply_block::kTextAt + len + 1);
    if (!p) return nullptr;
    std::memcpy(static_cast<char *>(p) + reply_block::kTextAt, body, len + 1);
    return new (p) reply_block{{1}, len};
}

reply_block *reply_hold(reply_block *block) {
    block->holders.fetch_add(1, std::memory_order_relaxed);
    return block;
}

void reply_drop(reply_block *block) {
    if (block && block->holders.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        block->~reply_block();
        std::free(block);
    }
}

using ReplyHold = kojelly::Handle<reply_block, reply_drop>;

// One registered answer. reply and failure are never both set; with neither, requests fail
// with "fake: no body".
struct route {
    char *method;
    char *url;
    reply_block *reply;
    char *failure;
    char *configured;  // the reply as last set; survives a later fail
    char *last_body;   // body of the last request that carried one
    int32_t status;
    int32_t calls;
};

// Everything below is guarded by g_fl.
platform::Lock g_fl;
route *g_r = nullptr;
size_t g_n = 0;
size_t g_cap = 0;
int32_t g_total = 0;
// The last request's URL and header lines. The buffers are reused from request to request:
// each thread's own copies, freed later by whichever thread came next, would make every request
// wait on the other thread's allocator.
kojelly_buf g_last_url{};
kojelly_buf g_last_req_headers{};

void bump(int32_t &counter) {
    if (counter < INT32_MAX) ++counter;
}

void replace(char *&slot, char *text) {
    std::free(slot);
    slot = text;
}

void hand_error(char *text, char **error) {
    if (error) {
        *error = text;
    } else {
        std::free(text);
    }
}

route *find_route(const char *method, const char *url) {
    for (size_t i = 0; i < g_n; ++i) {
        if (std::strcmp(g_r[i].method, method) == 0 && std::strcmp(g_r[i].url, url) == 0) {
            return &g_r[i];
        }
    }
    return nullptr;
}

// The route of method+url with its reply and failure cleared, created at the end of the table
// when missing; NULL when it cannot be created, the table's routes then unchanged.
route *open_route(const char *method, const char *url) {
    if (route *r = find_route(method, url)) {
        reply_drop(r->reply);
        r->reply = nullptr;
        replace(r->failure, nullptr);
        return r;
    }
    return tessel::fake::append_route(g_r, g_n, g_cap, kFirstRoutes, method, url);
}

void free_route(route &r) {
    std::free(r.method);
    std::free(r.url);
    reply_drop(r.reply);
    std::free(r.failure);
    std::free(r.configured);
    std::free(r.last_body);
    r = route{};
}

// Empties b (its room kept) and appends text; false, with b empty, when it cannot grow.
bool set_text(kojelly_buf *b, const char *text) {
    b->len = 0;
    if (b->data) b->data[0] = '\0';
    if (kojelly_buf_adds(b, text) == 0) return true;
    if (b->data) b->data[0] = '\0';
    return false;
}

// The request's header lines into b, each ended by "\n" (NULL entries skipped); false, with b
// empty, when b cannot grow.
bool set_lines(kojelly_buf *b, const tessel_http_req *req) {
    if (!set_text(b, "")) return false;
    for (uint64_t i = 0; req->headers && i < req->header_count; ++i) {
        if (!req->headers[i]) continue;
        if (kojelly_buf_adds(b, req->headers[i]) != 0 || kojelly_buf_adds(b, "\n") != 0) {
            set_text(b, "");
            return false;
        }
    }
    return true;
}

// Collects the answer of f_run: a growable text that stays NUL-terminated after every piece.
struct sink {
    char *data;
    uint64_t len;
    uint64_t cap;
    bool oom;
};

int32_t f_on_body(void *user, const void *bytes, uint64_t count) {
    auto *s = static_cast<sink *>(user);
    if (s->oom) return 1;
    if (!bytes) count = 0;
    if (count > UINT64_MAX - s->len - 1) {
        s->oom = true;
        return 1;
    }
    const uint64_t need = s->len + count + 1;
    if (need > s->cap) {
        uint64_t cap = s->cap ? s->cap : kFirstSink;
        while (cap < need) {
            if (cap > UINT64_MAX / 2) {
                s->oom = true;
                return 1;
            }
            cap *= 2;
        }
        void *p = std::realloc(s->data, cap);
        if (!p) {
            s->oom = true;
            return 1;
        }
        s->data = static_cast<char *>(p);
        s->cap = cap;
    }
    if (count) std::memcpy(s->data + s->len, bytes, count);
    s->len += count;
    s->data[s->len] = '\0';
    return 0;
}

int32_t f_run(const char *method, const char *url, const char *body, int32_t *status, char **error,
              char **body_out) {
    if (body_out) *body_out = nullptr;
    sink s{};
    tessel_http_req req{};
    req.size = kReqSize;
    req.method = method;
    req.url = url;
    req.body = body;
    req.body_len = body ? std::strlen(body) : 0;
    req.on_body = f_on_body;
    req.user = &s;
    const int32_t rc = kojelly::fake_request(nullptr, &req, status, error);
    Text data(s.data);
    // An answer that could not be held whole is no answer: handing out a cut or missing body
    // with a success would pass lost data off as the server's reply.
    if (rc == 0 && s.oom) {
        hand_error(kojelly_strdup(kOom), error);
        return -1;
    }
    if (rc == 0 && data && body_out) *body_out = data.release();
    return rc;
}

// Stores a copy of text as this thread's returned text; "" when the copy fails.
const char *keep(const char *text) {
    platform::set_thread_text(platform::ThreadText::fake, kojelly_strdup(text));
    const char *kept = platform::thread_text(platform::ThreadText::fake);
    return kept ? kept : "";
}

}  // namespace

const tessel_io *kojelly_io_fake() {
    return &g_fake_io;
}

const tessel_http *kojelly_http_fake() {
    return &g_fake_http;
}

namespace kojelly {

int32_t fake_request(void *, const tessel_http_req *req, int32_t *status, char **error) {
    if (error) *error = nullptr;
    if (!req || !req->method || !req->url) {
        hand_error(kojelly_strdup(kBadRequest), error);
        return -1;
    }
    bool failed = false;
    int32_t answer_status = kUnroutedStatus;
    const char *reply = kUnroutedReply;
    size_t reply_len = sizeof kUnroutedReply - 1;
    Text owned;      // the error text copied out of the route
    ReplyHold held;  // the route's reply, held while it is delivered
    {
        platform::LockGuard lock(g_fl);
        bump(g_total);
        (void)set_text(&g_last_url, req->url);  // an URL that cannot be kept reads as ""
        if (!set_lines(&g_last_req_headers, req)) {
            failed = true;
            owned.reset(kojelly_strdup(kOom));
        } else if (route *r = find_route(req->method, req->url)) {
            if (req->body) {
                replace(r->last_body,
                        kojelly_strndup(static_cast<const char *>(req->body), req->body_len));
            }
            bump(r->calls);
            if (r->failure) {
                failed = true;
                owned.reset(kojelly_strdup(r->failure));
            } else if (!r->reply) {
                failed = true;
                owned.reset(kojelly_strdup(kNoBody));
            } else {
                answer_status = r->status;
                held.reset(reply_hold(r->reply));
                reply = held->text();
                reply_len = held->len;
            }
        }
    }

    if (failed) {
        hand_error(owned.release(), error);
        return -1;
    }
    if (status) *status = answer_status;
    if (req->on_body) (void)req->on_body(req->user, reply, reply_len);
    return 0;
}

int32_t f_get(void *, const char *url, char **body_out, int32_t *status_out, char **error_out) {
    return f_run("GET", url, nullptr, status_out, error_out, body_out);
}

int32_t f_post(void *, const char *url, const char *body, const char *, char **body_out,
               int32_t *status_out, char **error_out) {
    return f_run("POST", url, body ? body : "", status_out, error_out, body_out);
}

void f_free(void *, void *mem) {
    std::free(mem);
}

void fake_reset_impl() {
    platform::LockGuard lock(g_fl);
    for (size_t i = 0; i < g_n; ++i) free_route(g_r[i]);
    std::free(g_r);
    g_r = nullptr;
    g_n = 0;
    g_cap = 0;
    g_total = 0;
    kojelly_buf_free(&g_last_url);
    kojelly_buf_free(&g_last_req_headers);
}

int32_t fake_set_impl(const char *method, const char *url, int32_t status, const char *body) {
    if (!method || !url || status < kMinStatus || status > kMaxStatus) return KOJELLY_EINVAL;
    if (!body) body = "";
    platform::LockGuard lock(g_fl);
    route *r = open_route(method, url);
    if (!r) return KOJELLY_EFAIL;
    // A copy that fails leaves the route without a reply; its requests then fail with
    // "fake: no body", which is how a test notices.
    replace(r->configured, kojelly_strdup(body));
    r->reply = reply_make(body);
    r->status = status;
    return KOJELLY_OK;
}

int32_t fake_fail_impl(const char *method, const char *url, const char *error) {
    if (!method || !url || !error) return KOJELLY_EINVAL;
    platform::LockGuard lock(g_fl);
    route *r = open_route(method, url);
    if (!r) return KOJELLY_EFAIL;
    r->failure = kojelly_strdup(error);
    r->status = 0;
    return KOJELLY_OK;
}

int32_t fake_calls_impl(const char *method, const char *url) {
    platform::LockGuard lock(g_fl);
    if (!method || !url) return g_total;
    const route *r = find_route(method, url);
    return r ? r->calls : 0;
}

const char *fake_last_body_impl(const char *url) {
    platform::LockGuard lock(g_fl);
    platform::set_thread_text(platform::ThreadText::fake, nullptr);
    if (!url) return "";
    for (size_t i = 0; i < g_n; ++i) {
        const route &r = g_r[i];
        if (std::strcmp(r.method, "POST") != 0 || std::strcmp(r.url, url) != 0) continue;
        if (!r.last_body && !r.configured) continue;
        return keep(r.last_body ? r.last_body : r.configured);
    }
    return "";
}

const char *fake_last_url_impl() {
    platform::LockGuard lock(g_fl);
    return keep(g_last_url.data ? g_last_url.data : "");
}

const char *fake_last_headers_impl() {
    platform::LockGuard lock(g_fl);
    return keep(g_last_req_headers.data ? g_last_req_headers.data : "");
}

}  // namespace kojelly
