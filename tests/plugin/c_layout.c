/* The boundary records keep their byte layouts when compiled as C. */
#include <stddef.h>

#include "kojelly.h"
#include "tessel_http.h"

_Static_assert(sizeof(tessel_io) == 32, "tessel_io");
_Static_assert(offsetof(tessel_io, ctx) == 0, "tessel_io.ctx");
_Static_assert(offsetof(tessel_io, get) == 8, "tessel_io.get");
_Static_assert(offsetof(tessel_io, post) == 16, "tessel_io.post");
_Static_assert(offsetof(tessel_io, free) == 24, "tessel_io.free");

_Static_assert(sizeof(tessel_http_ctx) == 24, "tessel_http_ctx");
_Static_assert(offsetof(tessel_http_ctx, magic) == 0, "ctx.magic");
_Static_assert(offsetof(tessel_http_ctx, size) == 4, "ctx.size");
_Static_assert(offsetof(tessel_http_ctx, http) == 8, "ctx.http");
_Static_assert(offsetof(tessel_http_ctx, reserved) == 16, "ctx.reserved");

_Static_assert(sizeof(tessel_http) == 32, "tessel_http");
_Static_assert(offsetof(tessel_http, size) == 0, "http.size");
_Static_assert(offsetof(tessel_http, version) == 4, "http.version");
_Static_assert(offsetof(tessel_http, user) == 8, "http.user");
_Static_assert(offsetof(tessel_http, request) == 16, "http.request");
_Static_assert(offsetof(tessel_http, free) == 24, "http.free");

_Static_assert(sizeof(tessel_http_req) == 112, "tessel_http_req");
_Static_assert(offsetof(tessel_http_req, method) == 8, "req.method");
_Static_assert(offsetof(tessel_http_req, url) == 16, "req.url");
_Static_assert(offsetof(tessel_http_req, headers) == 24, "req.headers");
_Static_assert(offsetof(tessel_http_req, header_count) == 32, "req.header_count");
_Static_assert(offsetof(tessel_http_req, body) == 40, "req.body");
_Static_assert(offsetof(tessel_http_req, body_len) == 48, "req.body_len");
_Static_assert(offsetof(tessel_http_req, credentials) == 56, "req.credentials");
_Static_assert(offsetof(tessel_http_req, reserved) == 64, "req.reserved");
_Static_assert(offsetof(tessel_http_req, on_header) == 88, "req.on_header");
_Static_assert(offsetof(tessel_http_req, on_body) == 96, "req.on_body");
_Static_assert(offsetof(tessel_http_req, user) == 104, "req.user");

_Static_assert(sizeof(kojelly_handler_table) == 64, "handler table");
_Static_assert(offsetof(kojelly_handler_table, caps) == 8, "table.caps");
_Static_assert(offsetof(kojelly_handler_table, validate) == 16, "table.validate");
_Static_assert(offsetof(kojelly_handler_table, list) == 24, "table.list");
_Static_assert(offsetof(kojelly_handler_table, stream_url) == 32, "table.stream_url");
_Static_assert(offsetof(kojelly_handler_table, download) == 40, "table.download");
_Static_assert(offsetof(kojelly_handler_table, reserved) == 48, "table.reserved");

/* The capability bits belong to the binary interface: a host tests them by value. */
_Static_assert(KOJELLY_CAP_VALIDATE == 0x01, "cap validate");
_Static_assert(KOJELLY_CAP_LIST == 0x02, "cap list");
_Static_assert(KOJELLY_CAP_DOWNLOAD == 0x04, "cap download");
_Static_assert(KOJELLY_CAP_WRITE == 0x08, "cap write");
_Static_assert(KOJELLY_CAP_STREAM_URL == 0x10, "cap stream url");
_Static_assert(KOJELLY_CAP_STREAM_HEADERS == 0x20, "cap stream headers");
_Static_assert(KOJELLY_CAPS == 51, "caps");

int main(void) { return 0; }
