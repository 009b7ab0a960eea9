/*
 * tessel_http.h - the transport boundary between a host and the kojelly plug-in, and the
 * small HTTP support library that travels with it (tessel_ names).
 *
 * The plug-in has no network code. A host hands it a tessel_io table; an io whose context is a
 * tessel_http_ctx is "http-backed" and offers the full request interface tessel_http, which
 * receives one tessel_http_req per exchange and answers through the record's callbacks.
 *
 * Layouts are binary interfaces: little-endian, 8-byte pointers, 64-bit sizes. Records built by
 * a caller are zeroed first and then filled.
 *
 * Threads: nothing here keeps global state, except the scripted fake server (tessel_http_fake_*),
 * which guards its state with one internal lock. Every other function may run on any number of
 * threads at once on different records.
 *
 * Plain C99; usable from C and C++.
 */
#ifndef TESSEL_HTTP_H
#define TESSEL_HTTP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- The io table (32 bytes) ------------------------------------------------------------- */

/*
 * get/post return 0 when an HTTP answer arrived (any status): the status goes to *status_out and
 * the body, a NUL-terminated text allocated by the io, to *body_out (release it through free).
 * Non-zero means no answer; *error_out then holds NULL or a malloc'ed text that the receiver
 * releases with the standard free().
 */
typedef struct tessel_io {
    void *ctx; /* first argument of every function below; a tessel_http_ctx when http-backed */
    int32_t (*get)(void *ctx, const char *url, char **body_out, int32_t *status_out,
                   char **error_out);
    int32_t (*post)(void *ctx, const char *url, const char *body, const char *content_type,
                    char **body_out, int32_t *status_out, char **error_out);
    void (*free)(void *ctx, void *mem); /* releases a body returned by get or post */
} tessel_io;

/* ---- The http-request interface ---------------------------------------------------------- */

#define TESSEL_HTTP_CTX_MAGIC 0x4B515456u

struct tessel_http;

/* What an http-backed io's ctx points to: at least 24 bytes. */
typedef struct tessel_http_ctx {
    uint32_t magic; /* TESSEL_HTTP_CTX_MAGIC */
    uint32_t size;  /* size of this record, at least 24 */
    const struct tessel_http *http;
    void *reserved; /* never read by the library; keep it zero */
} tessel_http_ctx;

/* One request: exactly 112 bytes. The record and all it points to belong to the caller and are
 * valid only during the request call. */
typedef struct tessel_http_req {
    uint32_t size; /* 112 */
    uint32_t pad_;
    const char *method;
    const char *url;            /* absolute URL, query included */
    const char *const *headers; /* lines "Name: value", no line end */
    uint64_t header_count;
    const void *body; /* request body or NULL */
    uint64_t body_len;
    uint64_t credentials; /* non-zero when the request carries credentials */
    uint64_t reserved[3]; /* zero */
    /* Response headers, one at a time; texts valid only during the call. 0 = go on. */
    int32_t (*on_header)(void *user, const char *name, const char *value);
    /* Response body in pieces, in order; bytes valid only during the call. 0 = go on. */
    int32_t (*on_body)(void *user, const void *bytes, uint64_t count);
    void *user; /* first argument of both callbacks */
} tessel_http_req;

/*
 * The request table: at least 32 bytes, version 1.
 *
 * request runs the whole exchange before it returns, calling the record's callbacks on the
 * calling thread. A transport may report the status first as the pseudo-header ":status". A
 * callback that returns non-zero asks the transport to stop delivering. request returns 0 when
 * an HTTP answer was obtained (status in *status, whatever it is) and non-zero when none was.
 * *error receives NULL or a text that the caller releases through free(user, text), on success
 * and failure alike.
 */
typedef struct tessel_http {
    uint32_t size;    /* at least 32 */
    uint32_t version; /* 1 */
    void *user;       /* first argument of request and free */
    int32_t (*request)(void *user, const tessel_http_req *req, int32_t *status, char **error);
    void (*free)(void *user, void *mem);
} tessel_http;

/* ---- Acceptance of a transport ----------------------------------------------------------- */

/* The io's request table when the io is http-backed (non-NULL ctx with the magic, a context
 * size above 23, a table of size above 31, version 1 and a request function); else NULL. */
const tessel_http *tessel_http_of(const tessel_io *io);
/* The same test, starting at the context. */
const tessel_http *tessel_http_from_ctx(const tessel_http_ctx *ctx);

/* ---- Growable byte buffer ---------------------------------------------------------------- */

/* Zero all three fields to initialise. After every successful append data[len] is NUL. */
typedef struct tessel_buf {
    char *data; /* owned; NULL until the first append */
    uint64_t len;
    uint64_t cap;
} tessel_buf;

/* Append count bytes. Growth starts at 64 and doubles. 0, or -1 with the buffer unchanged. */
int tessel_buf_add(tessel_buf *b, const void *bytes, uint64_t count);
/* Append one byte (low 8 bits of c). 0 or -1. */
int tessel_buf_addc(tessel_buf *b, int32_t c);
/* Append the strlen bytes of a text. 0 or -1. */
int tessel_buf_adds(tessel_buf *b, const char *text);
/* Release data and zero the three fields; the buffer may be used again. */
void tessel_buf_free(tessel_buf *b);

/* A malloc'ed copy (release with free()); NULL for a NULL text or when memory runs out. */
char *tessel_strdup(const char *text);
/* A malloc'ed block of count+1 bytes: the bytes and a NUL (release with free()); NULL for NULL
 * bytes or when memory runs out. */
char *tessel_strndup(const char *bytes, uint64_t count);

/* 1 when the text is 1 to 32 HTTP token characters, else 0. */
int tessel_method_ok(const char *method);

/* ---- Response collector ------------------------------------------------------------------ */

typedef struct tessel_collect {
    tessel_buf body;    /* body bytes received so far */
    tessel_buf headers; /* packed pairs: name NUL value NUL, in arrival order; no ":status" */
    int32_t status;     /* from a ":status" pseudo-header; 0 until one arrives */
    uint64_t limit;     /* most body bytes kept; 0 = no limit */
    int32_t truncated;  /* 1 once the body went past limit */
} tessel_collect;

/* Empty both buffers, status and truncated 0, limit set. */
void tessel_collect_init(tessel_collect *c, uint64_t limit);
/* on_body callback (user = the collector): 0 to go on, 1 to stop (limit passed, or no memory). */
int32_t tessel_collect_body(void *collector, const void *bytes, uint64_t count);
/* on_header callback (user = the collector): 0 to go on, 1 to stop (no memory; the refused pair
 * leaves nothing behind). ":status" sets status and is not stored. */
int32_t tessel_collect_header(void *collector, const char *name, const char *value);
/* Release and zero both buffers; status, limit and truncated keep their values. */
void tessel_collect_free(tessel_collect *c);

/* ---- MD5 digest (RFC 1321) --------------------------------------------------------------- */

/* The running state of one digest; holds no pointers, so it may live on the stack. */
typedef struct tessel_md5_ctx {
    uint32_t state[4];       /* chaining values A, B, C, D */
    uint64_t total;          /* bytes added so far */
    unsigned char block[64]; /* the partial input block */
    uint64_t used;           /* bytes held in block, 0 to 63 between calls */
} tessel_md5_ctx;

/* Start a digest. Must be called again before reusing a context after tessel_md5_final. */
void tessel_md5_init(tessel_md5_ctx *c);
/* Add count bytes (bytes may be NULL when count is 0). */
void tessel_md5_update(tessel_md5_ctx *c, const void *bytes, uint64_t count);
/* Write the 16 raw digest bytes of everything added since tessel_md5_init into out. */
void tessel_md5_final(tessel_md5_ctx *c, unsigned char out[16]);
/* The digest of count bytes in one call. */
void tessel_md5(const void *bytes, uint64_t count, unsigned char out[16]);

/* ---- Header functions and Range GET ------------------------------------------------------ */

/* Write "name: value" and its NUL into out (size bytes). The name must be a non-empty token,
 * the value (NULL = empty) free of control bytes. 0, or -1 when invalid or too long. */
int tessel_header_line(const char *name, const char *value, char *out, size_t size);
/* The value of the first request header line named name (ASCII case-insensitive), leading
 * blanks skipped; it points into the caller's line. NULL when there is none. */
const char *tessel_header_get(const tessel_http_req *req, const char *name);
/* The value of the first collected header named name (ASCII case-insensitive) in a collector's
 * headers buffer; it points into the buffer and is valid until the buffer next changes. */
const char *tessel_hdrs_get(const tessel_buf *headers, const char *name);
/* Parse a Content-Range value such as "bytes 0-99/1000"; "*" stands for an unknown range or
 * total. 0 or -1; each out-value (any may be NULL) is -1 where absent and all are -1 on failure. */
int tessel_content_range(const char *text, int64_t *start, int64_t *end, int64_t *total);
/* GET url with "Range: bytes=start-end" (end inclusive) into the collector c, which the caller
 * has initialised and later frees. A 200 answer to start > 0 is trimmed to begin at start.
 * Returns the transport's result, or -1 with *error = malloc'ed "bad range args" when the
 * arguments are unusable (nothing sent). *error, when set, is released through http->free. */
int32_t tessel_http_range(const tessel_http *http, const char *url, int64_t start, int64_t end,
                          tessel_collect *c, int32_t *status, char **error);

/* ---- Scripted fake HTTP server ----------------------------------------------------------- */

/* Routes, counters and the last-request record are process-wide, guarded by one internal lock
 * that is never held while a callback runs or a slow body pauses; callbacks may call these
 * controls. Registration copies every text and body it is given. */

/* The server's constant request table (static storage; never released). */
const tessel_http *tessel_http_fake(void);
/* Drop every route, the counters and the last-request record. */
void tessel_fake_reset(void);
/* Canned answer for (method, url): status, header lines separated by "\n" (NULL = none) and
 * size body bytes. Replaces an existing route in place. 0, or -1 (bad arguments, 256 routes
 * already, no memory). */
int tessel_fake_set(const char *method, const char *url, int32_t status, const char *headers,
                    const void *body, uint64_t size);
/* A file for GET (and HEAD) url, served with byte ranges: range_mode 0 ignores Range, 2 answers
 * 416 for a range reaching past the end, any other value clamps it. 0 or -1. */
int tessel_fake_file(const char *url, const void *contents, uint64_t size, int32_t range_mode);
/* A slow body for GET url: 64-byte pieces 10 ms apart, at most piece_limit pieces when that is
 * above 0. 0 or -1. */
int tessel_fake_drip(const char *url, int32_t status, const void *contents, uint64_t size,
                     int32_t piece_limit);
/* (method, url) fails as a transport failure with the error text (NULL = a default). 0 or -1. */
int tessel_fake_fail(const char *method, const char *url, const char *error);
/* Requests that reached the (method, url) route since the last reset (0 for no route); with
 * either argument NULL, every valid request since the last reset. */
int32_t tessel_fake_calls(const char *method, const char *url);
/* Valid requests with a write method (PUT, POST, DELETE, ...) since the last reset. */
int32_t tessel_fake_writes_sent(void);
/* The JSON record of the last valid request, or NULL. The text belongs to the server and stays
 * valid until the next request or reset; let no request run while reading it. */
const char *tessel_fake_last_request(void);

#ifdef __cplusplus
}
#endif

#endif /* TESSEL_HTTP_H */
