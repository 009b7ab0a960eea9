// The in-process fake io: an http-backed tessel_io with canned answers, so that every server
// operation can run without a server. Answers are registered by exact method and URL; a request
// without a route answers 404 "Not Found". The module owns the route table, the request counters
// and the records of the last request, all process-wide under the one lock g_fl, and the
// per-thread copies that the inspection getters hand out. The io, its context and its request
// table are constant static objects.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tessel_http.h"

// The fake io: ctx is the fake's tessel_http_ctx, get/post/free are f_get/f_post/f_free. A
// static object, valid for the life of the process; every call returns the same one and leaves
// the routes alone.
const tessel_io *kojelly_io_fake();
// The fake's request table (size 32, version 1, request = fake_request): the table that
// tessel_http_of finds behind kojelly_io_fake(). Static, like the io.
const tessel_http *kojelly_http_fake();

namespace kojelly {

// The request function of the fake's table: counts the request, records its URL and header
// lines, and answers from the route table (404 "Not Found" without a route). 0 with *status set
// and the reply passed once to on_body (even when empty); -1 with the route's failure text,
// "fake: no body" or "oom" in *error (release it with free). A record without method or URL is
// refused with -1.
int32_t fake_request(void *user, const tessel_http_req *req, int32_t *status, char **error);

// The io's plain slots, built on fake_request. A body handed out is a NUL-terminated text
// released with f_free (or free); an error text is released with free.
int32_t f_get(void *ctx, const char *url, char **body_out, int32_t *status_out, char **error_out);
int32_t f_post(void *ctx, const char *url, const char *body, const char *content_type,
               char **body_out, int32_t *status_out, char **error_out);
void f_free(void *ctx, void *mem);

// Removes every route and clears the counters and the last-request records. The texts that the
// getters returned on each thread stay valid.
void fake_reset_impl();
// Answers method+url with status (100 to 599) and body ("" for NULL). Registering a route again
// updates it in place; its call count and last received body stay. 0; -8 for a NULL method or
// URL or a status out of range; -5 when the route cannot be created.
int32_t fake_set_impl(const char *method, const char *url, int32_t status, const char *body);
// Makes every request to method+url fail with a copy of error. 0, -8 (a NULL argument) or -5.
int32_t fake_fail_impl(const char *method, const char *url, const char *error);
// Requests that reached method+url since the last reset (0 without that route); with either
// argument NULL, every request since the last reset, routed or not.
int32_t fake_calls_impl(const char *method, const char *url);

// The inspection getters. Each returns a copy owned by the calling thread, never NULL, valid
// until the same thread calls any of the three again; other threads never change it.
//
// The body of the last request to the POST route of url, or the text the route was set with
// while it has received none; "" without such a route.
const char *fake_last_body_impl(const char *url);
// The URL of the last request; "" when there was none.
const char *fake_last_url_impl();
// The header lines of the last request, each followed by "\n"; "" when it had none.
const char *fake_last_headers_impl();

}  // namespace kojelly
