// The server request wrapper: transport selection, the Authorization header, one request with
// its collectors, and the bare-io adaptor.
#include "request/kojelly_http.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http/tessel_http_util.hpp"
#include "kojelly.h"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_msg.hpp"
#include "util/kojelly_redact.hpp"

static_assert(sizeof(tessel_http_req) == 112);
static_assert(sizeof(kojelly_resp) == 32);
static_assert(offsetof(kojelly_resp, status) == 0);
static_assert(offsetof(kojelly_resp, body) == 8);
static_assert(offsetof(kojelly_resp, body_len) == 16);
static_assert(offsetof(kojelly_resp, headers) == 24);

namespace {

using namespace std::string_view_literals;

constexpr std::string_view kAuthPrefix = "Authorization: "sv;
static_assert(kAuthPrefix.size() + kojelly::kMaxAuthValue + 1 == kojelly::kAuthLineSize);

constexpr char kJsonType[] = "application/json";
constexpr char kContentTypeLine[] = "Content-Type: application/json";
constexpr std::string_view kContentTypeName = "Content-Type:"sv;
constexpr char kTransportFailure[] = "transport failure";
constexpr char kBareTransportRefused[] =
    "the transport must carry request headers: install a tessel_http-backed io "
    "(tessel_io_over_http) or call kojelly_use_curl/kojelly_use_fake; a bare tessel_io cannot "
    "authenticate to Jellyfin 12";
constexpr uint32_t kTableSize = 32;
constexpr uint32_t kTableVersion = 1;

// The content type a bare io's post receives. The record's first line is the Authorization line
// for every request kojelly_http builds; handing it on would put the session token where a
// media type belongs, so only a real Content-Type line counts.
const char *content_type_of(const tessel_http_req *req) {
    if (!req->headers) return kJsonType;
    for (uint64_t i = 0; i < req->header_count; ++i) {
        const char *line = req->headers[i];
        if (!line || !tessel::fold_starts(line, kContentTypeName)) continue;
        const char *value = line + kContentTypeName.size();
        while (*value == ' ' || *value == '\t') ++value;
        if (*value) return value;
    }
    return kJsonType;
}

// Hands an error text to the caller, or releases it when the caller takes none.
void hand_error(char *text, char **error) {
    if (error) {
        *error = text;
    } else {
        std::free(text);
    }
}

// Releases an error text of a transport through its table, which allocated it. A table that
// hands out texts without a free slot breaks its contract; its text is left alone rather than
// released with an allocator that may not be its own.
void release_error(const tessel_http *t, char *error) {
    if (error && t->free) t->free(t->user, error);
}

}  // namespace

int32_t kojelly_transport_get(const tessel_io *io, kojelly_transport *out, kojelly::Error &err) {
    if (!out) return err.fail(KOJELLY_EUNSUPPORTED, "%s", kBareTransportRefused);
    out->http = nullptr;
    out->adaptor = tessel_http{};
    out->io = tessel_io{};
    if (!io) return err.fail(KOJELLY_EUNSUPPORTED, "%s", kBareTransportRefused);
    if (const tessel_http *t = tessel_http_of(io)) {
        out->http = t;
        return 0;
    }
    if (!io->get && !io->post) return err.fail(KOJELLY_EUNSUPPORTED, "%s", kBareTransportRefused);
    out->io = *io;
    out->adaptor.size = kTableSize;
    out->adaptor.version = kTableVersion;
    out->adaptor.user = &out->io;
    out->adaptor.request = kojelly::bare_request;
    out->adaptor.free = kojelly::bare_free_buf;
    out->http = &out->adaptor;
    return 0;
}

int kojelly_auth_header(const kojelly_cfg *cfg, const char *token, char *out, size_t size) {
    if (!out || size == 0) return -1;
    const char *device = cfg && cfg->device_id ? cfg->device_id : "";
    int n;
    if (token && *token) {
        n = std::snprintf(out, size,
                          "MediaBrowser Client=\"%s\", Device=\"%s\", DeviceId=\"%s\", "
                          "Version=\"%s\", Token=\"%s\"",
                          kojelly::kClientId, "NativeClient", device, "1.0", token);
    } else {
        n = std::snprintf(out, size,
                          "MediaBrowser Client=\"%s\", Device=\"%s\", DeviceId=\"%s\", "
                          "Version=\"%s\"",
                          kojelly::kClientId, "NativeClient", device, "1.0");
    }
    if (n < 0 || static_cast<size_t>(n) >= size) {
        out[0] = '\0';
        return -1;
    }
    return 0;
}

int32_t kojelly_http(const tessel_http *const *http, const kojelly_cfg *cfg,
                     const kojelly::Request &request, kojelly_resp *out, kojelly::Error &err,
                     kojelly::BodyRoom::Loan *loan) {
    constexpr int32_t kFailed = KOJELLY_ETRANSPORT;
    if (out) *out = kojelly_resp{};
    if (!http || !*http || !(*http)->request) return err.fail(kFailed, "no transport");
    const char *url = request.url;
    const char *body = request.body;
    if (!url || !out) return err.fail(kFailed, "no request URL or response record");
    if (strnlen(url, kojelly::kMaxUrl + 1) > kojelly::kMaxUrl)
        return err.fail(kFailed, "request URL longer than 8 KiB");

    char auth_line[kojelly::kAuthLineSize];
    std::memcpy(auth_line, kAuthPrefix.data(), kAuthPrefix.size());
    if (kojelly_auth_header(cfg, request.token, auth_line + kAuthPrefix.size(),
                            sizeof auth_line - kAuthPrefix.size()) != 0)
        return err.fail(kFailed, "auth header overflow");

    const char *method = body ? "POST" : "GET";
    const char *lines[2] = {auth_line, kContentTypeLine};
    kojelly::Owned<tessel_collect, tessel_collect_free> col;
    tessel_collect_init(col.get(), kojelly::kMaxBody);
    if (loan && loan->room) col->body = loan->room->lend();
    tessel_http_req req{};
    req.size = sizeof req;
    req.method = method;
    req.url = url;
    req.headers = lines;
    req.header_count = body ? 2 : 1;
    req.body = body;
    req.body_len = body ? std::strlen(body) : 0;
    req.on_header = tessel_collect_header;
    req.on_body = tessel_collect_body;
    req.user = col.get();

    const tessel_http *t = *http;
    int32_t status = 0;
    char *error = nullptr;
    const int32_t rc = t->request(t->user, &req, &status, &error);

    if (rc != 0) {
        char where[kojelly::kUrlQuoteSize];
        char line[kojelly::kErrorLineSize];
        kojelly_redact_into(url, where, sizeof where);
        kojelly_body_line(error, line, sizeof line);
        // An error text without a printable first line says nothing; fall back to the
        // generic wording rather than end the message on ": ".
        err.fail(kFailed, "%s %s: %s", method, where, line[0] ? line : kTransportFailure);
        release_error(t, error);
        return kFailed;
    }
    release_error(t, error);

    if (col->truncated) {
        char where[kojelly::kUrlQuoteSize];
        kojelly_redact_into(url, where, sizeof where);
        return err.fail(kFailed, "%s %s: response too large", method, where);
    }
    // A collector that ran out of memory asked the transport to stop; a transport that still
    // reports success has delivered an answer that we hold only in part.
    if (col->oom) return err.fail(kFailed, "%s", kojelly::kOutOfMemory);

    // The record takes the collected texts over; an empty one is still a text.
    kojelly_buf &b = col->body;
    kojelly_buf &h = col->headers;
    if ((!b.data && kojelly_buf_add(&b, "", 0) != 0) ||
        (!h.data && kojelly_buf_add(&h, "", 0) != 0))
        return err.fail(kFailed, "%s", kojelly::kOutOfMemory);
    out->status = status;
    out->body_len = b.len;
    if (loan && loan->room) {
        // The block goes over with its spare room, which the loan records for its way back.
        loan->cap = b.cap;
        out->body = b.data;
        b = kojelly_buf{};
    } else {
        out->body = kojelly_buf_take(&b);
    }
    out->headers = kojelly_buf_take(&h);
    return 0;
}

void kojelly_resp_free_secret(kojelly_resp *resp) {
    if (resp && resp->body) kojelly_wipe(resp->body, resp->body_len);
    kojelly_resp_free(resp);
}

void kojelly_resp_free(kojelly_resp *resp) {
    if (!resp) return;
    std::free(resp->body);
    std::free(resp->headers);
    *resp = kojelly_resp{};
}

namespace kojelly {

int32_t bare_request(void *user, const tessel_http_req *req, int32_t *status, char **error) {
    const auto *io = static_cast<const tessel_io *>(user);
    if (error) *error = nullptr;
    int32_t local_status = 0;
    if (!status) status = &local_status;

    char *answer = nullptr;
    char *io_error = nullptr;
    int32_t rc;
    if (req->body && req->body_len != 0) {
        if (!io->post) {
            hand_error(kojelly_strdup("the io offers no POST"), error);
            return -1;
        }
        rc = io->post(io->ctx, req->url, static_cast<const char *>(req->body), content_type_of(req),
                      &answer, status, &io_error);
    } else {
        if (!io->get) {
            hand_error(kojelly_strdup("the io offers no GET"), error);
            return -1;
        }
        rc = io->get(io->ctx, req->url, &answer, status, &io_error);
    }

    if (rc == 0 && answer && req->on_body) {
        (void)req->on_body(req->user, answer, std::strlen(answer));
    }
    if (answer) {
        if (io->free) {
            io->free(io->ctx, answer);
        } else {
            std::free(answer);
        }
    }
    hand_error(io_error, error);
    return rc;
}

void bare_free_buf(void *, void *mem) {
    std::free(mem);
}

}  // namespace kojelly
