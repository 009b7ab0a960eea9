// The server request wrapper: every exchange with the media server passes through kojelly_http,
// which sends one GET (or one POST of a JSON body) carrying the MediaBrowser Authorization
// header through the host's transport, collects status, headers and body into a kojelly_resp,
// and words every failure as one line in which the URL is redacted. Beside it stand the
// selection of a call's transport (the host's http-backed table, or an adaptor over a bare io's
// plain get/post slots) and the formatting of the Authorization header value. No state lives
// here between calls; a listing's body blocks are kept in a BodyRoom (kojelly_body_room.hpp).
#pragma once

#include <cstddef>
#include <cstdint>

#include "request/kojelly_body_room.hpp"
#include "tessel_http.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"

struct kojelly_cfg;

namespace kojelly {

// Longest request URL sent, in bytes (8 KiB).
inline constexpr size_t kMaxUrl = 8192;
// Area of the "Authorization: " line: the prefix, the value and a NUL.
inline constexpr size_t kAuthLineSize = 512;
// Longest Authorization header value: what the line area leaves after the prefix and the NUL.
inline constexpr size_t kMaxAuthValue = 496;
// Most body bytes collected from one answer (32 MiB).
inline constexpr uint64_t kMaxBody = uint64_t{32} * 1024 * 1024;
// Areas for the redacted URL and the transport's error line quoted in a failure message.
inline constexpr size_t kUrlQuoteSize = 512;
inline constexpr size_t kErrorLineSize = 200;
// The client identifier that the server sees in the Authorization header.
inline constexpr char kClientId[] = "org.kojelly.plugin";

}  // namespace kojelly

// One HTTP answer. The caller owns the record; the texts belong to it and are released by
// kojelly_resp_free. After a successful kojelly_http both texts are allocated (possibly empty).
struct kojelly_resp {
    int32_t status;     // the status that the transport reported
    char *body;         // body_len bytes and a NUL; "" for an answer without body
    uint64_t body_len;  // body length in bytes (the body may hold NUL bytes of its own)
    char *headers;      // "name\0value\0" pairs in arrival order and one more NUL; "" when none
};

// The transport of one host call, owned by the caller (typically a local of the request
// driver). `http` is the table to hand to kojelly_http: the host's own table for an http-backed
// io, or `adaptor` inside this very record for a bare io, whose user points at the copy `io` of
// that io. Because the record refers into itself it must stay where kojelly_transport_get
// filled it for as long as `http` is used, and it is not copyable. Each call owns its adaptor,
// so concurrent calls with different bare ios never send through each other's io.
struct kojelly_transport {
    kojelly_transport() = default;
    kojelly_transport(const kojelly_transport &) = delete;
    kojelly_transport &operator=(const kojelly_transport &) = delete;

    const tessel_http *http = nullptr;
    tessel_http adaptor{};
    tessel_io io{};
};

// Selects the transport of a call: 0 with out->http set, or -6 with err recorded and out->http
// NULL when io is NULL or neither http-backed nor carrying a get or post slot. For a bare io the
// adaptor keeps a copy of the four slots, not of what they point to: the io's context must stay
// valid while out->http is used.
[[nodiscard]] int32_t kojelly_transport_get(const tessel_io *io, kojelly_transport *out,
                                            kojelly::Error &err);

// Writes the MediaBrowser Authorization header value, with the Token part when token is neither
// NULL nor empty. A NULL cfg or device id counts as an empty device id. 0, or -1 when the value
// does not fit into size - 1 characters (out then holds no usable value).
[[nodiscard]] int kojelly_auth_header(const kojelly_cfg *cfg, const char *token, char *out,
                                      size_t size);

namespace kojelly {

// One request to the server: a GET of url, or a POST of body when body is not NULL.
struct Request {
    const char *url;              // the full URL
    const char *body = nullptr;   // a JSON text to POST
    const char *token = nullptr;  // the Token part of the Authorization header; NULL for none
};

}  // namespace kojelly

// Sends one request through *http with the Authorization header built from cfg and the
// request's token. 0 whenever the transport delivered an answer, whatever its status, with the
// answer in out; -4 with one line in err (the URL redacted) and out empty otherwise. Mapping
// the status is the caller's affair. With a loan, the body is collected into a block that its
// room lends and the loan records the block's capacity; see BodyRoom.
[[nodiscard]] int32_t kojelly_http(const tessel_http *const *http, const kojelly_cfg *cfg,
                                   const kojelly::Request &req, kojelly_resp *out,
                                   kojelly::Error &err, kojelly::BodyRoom::Loan *loan = nullptr);

// Frees body and headers and zeroes the record; harmless on an empty or freed record.
void kojelly_resp_free(kojelly_resp *resp);
// As kojelly_resp_free, after overwriting the body with zeros: for an answer that carries a
// secret (a login's access token).
void kojelly_resp_free_secret(kojelly_resp *resp);

namespace kojelly {

// A response owned by one scope.
using OwnedResp = Owned<kojelly_resp, kojelly_resp_free>;

// The bare adaptor's request function (user = the tessel_io copy in a kojelly_transport). Maps
// the record onto the io's plain slots: a POST when the record has a non-empty body, else a
// GET; header lines are lost, except that a "Content-Type:" line gives the POST's content type
// ("application/json" without one). The body must be a text of body_len bytes followed by a
// NUL, as kojelly_http sends it. The io's body text reaches on_body in one piece.
int32_t bare_request(void *user, const tessel_http_req *req, int32_t *status, char **error);
// The adaptor's free: releases an error text with the standard free.
void bare_free_buf(void *user, void *mem);

}  // namespace kojelly
