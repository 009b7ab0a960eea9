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
 * Memory. Every heap block that a function here hands out comes from malloc and is released
 * with free(), except texts that a transport hands out, which are released through that
 * transport's own free slot. Pointers that a function returns into a caller's record stay valid
 * as long as that record stays as it is.
 *
 * Threads. Nothing here keeps global state, except the scripted fake server (tessel_http_fake,
 * tessel_fake_*), which guards its state with one internal lock. Every function may run on any
 * number of threads at once, as long as no two calls work on the same record (buffer, collector,
 * digest context) at the same time; tessel_fake_last_request states its own rule. A function that
 * calls a transport calls it, and the record's callbacks, on the calling thread. No function here
 * writes any slot of kojelly.h.
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
    /* Non-zero when the sender marks the request as carrying credentials. The plug-in leaves it
     * 0 on every request, those with an Authorization line and the login included, and so does
     * tessel_http_range: a transport cannot rely on it. */
    uint64_t credentials;
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

/*
 * The io's request table when the io is http-backed: io->ctx points to a context with the magic
 * and a size of at least 24, whose table has a size of at least 32, version 1 and a request
 * function. Else NULL; io NULL gives NULL. The pointer returned is the context's http member:
 * the caller's own table, valid as long as the caller keeps it. Reads the records, keeps nothing.
 */
const tessel_http *tessel_http_of(const tessel_io *io);
/* The same test, starting at the context; ctx NULL gives NULL. */
const tessel_http *tessel_http_from_ctx(const tessel_http_ctx *ctx);

/* ---- Growable byte buffer ---------------------------------------------------------------- */

/*
 * Zero all three fields to initialise. After every successful append data[len] is NUL. An
 * append may move data: pointers into it (tessel_hdrs_get's among them) are valid only until
 * the buffer next changes. One call per buffer at a time.
 */
typedef struct tessel_buf {
    char *data; /* owned; NULL until the first append; released by tessel_buf_free */
    uint64_t len;
    uint64_t cap;
} tessel_buf;

/*
 * Appends count bytes. The capacity starts at 64 and doubles until the bytes and a NUL fit; an
 * append of 0 bytes to an empty buffer makes data an empty text. 0, or -1 with the buffer
 * unchanged: b NULL, bytes NULL with count above 0, a size past the limit, or no memory.
 */
int tessel_buf_add(tessel_buf *b, const void *bytes, uint64_t count);
/* Appends one byte (the low 8 bits of c). 0, or -1 as tessel_buf_add (b NULL included). */
int tessel_buf_addc(tessel_buf *b, int32_t c);
/* Appends the strlen bytes of text. 0, or -1 as tessel_buf_add; text NULL gives -1. */
int tessel_buf_adds(tessel_buf *b, const char *text);
/* Releases data and zeroes the three fields; the buffer may be used again. b NULL: nothing. */
void tessel_buf_free(tessel_buf *b);

/* A malloc'ed copy of text (release it with free()); NULL for text NULL or when memory runs
 * out. */
char *tessel_strdup(const char *text);
/* A malloc'ed block of count+1 bytes: the count bytes as they are (NUL bytes included) and a
 * NUL (release it with free()). NULL for bytes NULL, count UINT64_MAX, or when memory runs
 * out. */
char *tessel_strndup(const char *bytes, uint64_t count);

/* 1 when method is 1 to 32 HTTP token characters, else 0 (method NULL included). */
int tessel_method_ok(const char *method);

/* ---- Response collector ------------------------------------------------------------------ */

/*
 * A sink for one response: pass tessel_collect_header and tessel_collect_body as a record's
 * callbacks with the collector as user. One request at a time per collector.
 *
 * After the request, truncated and oom tell an answer that was cut short apart from the whole
 * one: truncated when the body went past limit, oom when memory ran out for a piece or a header
 * pair (which was then dropped); both may be set. A transport still returns 0 after a callback
 * asked it to stop, so a caller that must hold the whole answer checks both.
 *
 * The body buffer may be the caller's: between tessel_collect_init and the request, body may be
 * set to a buffer of the caller's own (a block from malloc with cap bytes, len 0 and a NUL at
 * data[0], say one kept from an earlier answer), into which the pieces are then appended; it
 * grows as tessel_buf_add grows it, and limit counts its whole content. tessel_collect_free
 * releases it like any other; a caller that keeps the block takes it out of body first.
 */
typedef struct tessel_collect {
    tessel_buf body;    /* body bytes received so far */
    tessel_buf headers; /* packed pairs: name NUL value NUL, in arrival order; no ":status" */
    int32_t status;     /* from a ":status" pseudo-header; 0 until one arrives */
    uint64_t limit;     /* most body bytes kept; 0 = no limit */
    int32_t truncated;  /* 1 once the body went past limit */
    int32_t oom;        /* 1 once memory ran out for a piece or a header pair */
} tessel_collect;

/* Sets both buffers empty, status, truncated and oom to 0, and limit. Releases nothing the
 * buffers held: call it on a new collector or after tessel_collect_free. c NULL: nothing. */
void tessel_collect_init(tessel_collect *c, uint64_t limit);
/*
 * on_body callback (user = the collector). Appends the piece and returns 0 to go on. Returns 1
 * to stop when the piece would take the body past limit (the body then keeps its first limit
 * bytes, as far as memory allows, and truncated becomes 1), when memory runs out (the piece is
 * then dropped and oom becomes 1; also when the first limit bytes do not fit), when bytes is
 * NULL with count above 0 (the piece is dropped, no flag is set), and when collector is NULL.
 */
int32_t tessel_collect_body(void *collector, const void *bytes, uint64_t count);
/*
 * on_header callback (user = the collector). ":status" sets status (from its decimal value) and
 * is not stored; any other pair is appended (value NULL as ""). 0 to go on, also for name NULL,
 * which is ignored; 1 to stop when memory runs out (oom becomes 1, and the refused pair leaves
 * nothing behind) or collector is NULL.
 */
int32_t tessel_collect_header(void *collector, const char *name, const char *value);
/* Releases and zeroes both buffers; status, limit, truncated and oom keep their values. c NULL:
 * nothing. */
void tessel_collect_free(tessel_collect *c);

/* ---- MD5 digest (RFC 1321) --------------------------------------------------------------- */

/* The running state of one digest; holds no pointers, so it may live on the stack. */
typedef struct tessel_md5_ctx {
    uint32_t state[4];       /* chaining values A, B, C, D */
    uint64_t total;          /* bytes added so far */
    unsigned char block[64]; /* the partial input block */
    uint64_t used;           /* bytes held in block, 0 to 63 between calls */
} tessel_md5_ctx;

/* Starts a digest. Must be called again before reusing a context after tessel_md5_final. c
 * NULL: nothing. */
void tessel_md5_init(tessel_md5_ctx *c);
/* Adds count bytes. c NULL, bytes NULL or count 0: nothing is added. */
void tessel_md5_update(tessel_md5_ctx *c, const void *bytes, uint64_t count);
/* Writes the 16 raw digest bytes of everything added since tessel_md5_init into out; the context
 * is spent. c or out NULL: nothing. */
void tessel_md5_final(tessel_md5_ctx *c, unsigned char out[16]);
/* The digest of count bytes in one call; bytes NULL digests no bytes, out NULL writes nothing. */
void tessel_md5(const void *bytes, uint64_t count, unsigned char out[16]);

/* ---- Header functions and Range GET ------------------------------------------------------ */

/*
 * Writes "name: value" and its NUL into out (size bytes). 0, or -1 when name is NULL, empty or
 * not an HTTP token, when value (NULL = empty) holds a byte below 0x20 (tab included) or 0x7F,
 * when out is NULL or size below 4, or when the line does not fit. After -1 out holds nothing
 * usable.
 */
int tessel_header_line(const char *name, const char *value, char *out, size_t size);
/*
 * The value of the first request header line named name (ASCII case-insensitive, the colon
 * right after the name), spaces and tabs after the colon skipped. It points into the caller's
 * line and is valid as long as that line. NULL when there is none, and for req NULL, name NULL
 * or empty, or req->headers NULL; NULL entries of the array are skipped.
 */
const char *tessel_header_get(const tessel_http_req *req, const char *name);
/* The value of the first collected header named name (whole name, ASCII case-insensitive) in a
 * collector's headers buffer; it points into the buffer and is valid until the buffer next
 * changes. NULL when there is none, and for headers NULL, name NULL or an empty buffer. */
const char *tessel_hdrs_get(const tessel_buf *headers, const char *name);
/*
 * Parses a Content-Range value such as "bytes 0-99/1000": "bytes" (lower case) and optional
 * spaces, then either nothing, or "first-last", "first-*" or "*", optionally followed by a
 * slash and the total or "*". A "*" or a missing number reads as -1. Numbers are read as strtoimax
 * reads decimals, so blanks or a '+' before a number pass. 0, or -1 for text NULL, a text of
 * another shape, a negative number or one out of range, last before first, or first past total (a
 * last past total is accepted). Each out-value (any may be NULL) is written on both outcomes, all
 * three -1 on failure.
 */
int tessel_content_range(const char *text, int64_t *start, int64_t *end, int64_t *total);
/*
 * GETs url with the one header line "Range: bytes=start-end" (end inclusive) through
 * http->request on the calling thread, into the collector c, which the caller has initialised
 * (empty) and frees afterwards. The record sent has method "GET", url as given, that one header
 * line and nothing else (no Authorization, no body, credentials 0), and c's collector callbacks.
 * Returns what request returned; *status and *error are what it wrote (they are not cleared
 * first). A transport's error text in *error is the caller's to release through http->free.
 * status and error may be NULL; a transport's error text is then released here, through
 * http->free (free() when the table has none).
 *
 * A 200 answer to start above 0 whose collected body is longer than start bytes is trimmed to
 * begin at start (c's limit applies before the trim); a 200 body of start bytes or fewer is left
 * as it came.
 *
 * http NULL or without request, url NULL, c NULL, start below 0 or end below start: -1,
 * nothing is sent, *status is left alone and *error receives a malloc'ed "bad range args"
 * (NULL when memory runs out), which the caller releases with free(), not http->free.
 *
 * Other headers. There is no argument for more header lines, so a server that wants the token
 * in the Authorization header (as the answer of kojelly_stream_url gives it) answers 401 unless
 * the caller adds that line. To add lines, pass a wrapping table: a tessel_http whose user points
 * to the caller's real table and the extra lines ("Authorization: MediaBrowser ...", built with
 * tessel_header_line); whose request copies the record it receives, points the copy's headers
 * at an array of the record's lines followed by the extra ones (header_count to match; set
 * credentials to 1 when a credential is among them), calls the real table's request with the
 * copy and returns what that returned; and whose free calls the real table's free, since error
 * texts come from the real table.
 */
int32_t tessel_http_range(const tessel_http *http, const char *url, int64_t start, int64_t end,
                          tessel_collect *c, int32_t *status, char **error);

/* ---- Byte ranges of a file server -------------------------------------------------------- */

/* Rules of tessel_range_slice, or-ed together; 0 reads the value as HTTP writes it and answers
 * as a current media server does. */
#define TESSEL_RANGE_FIRST_ONLY 1u    /* several ranges: the first is served (0: the whole file) */
#define TESSEL_RANGE_EMPTY_REFUSED 2u /* a suffix of no bytes ("-0"): 416 (0: the whole file) */
#define TESSEL_RANGE_END_INSIDE 4u    /* a last byte past the end: 416 (0: cut to the end) */
#define TESSEL_RANGE_LOOSE 8u         /* the loose reading below (0: the strict one) */

/*
 * The part of a file of size bytes that a server sends for a request whose Range header has the
 * value given (NULL: no Range header). Returns the status: 200 with the whole file (*first 0,
 * *count size), 206 with the *count bytes from *first on (*count at least 1), or 416 with none
 * (*first and *count 0). first and count may be NULL.
 *
 * A value that does not start with "bytes=" (lower case) is ignored: 200. What follows is read
 * into ranges, "F-L" (positions F to L), "F-" (F to the end) and "-N" (the last N bytes):
 *  - strictly (rules without TESSEL_RANGE_LOOSE): a list of such ranges of decimal digits,
 *    separated by commas, with spaces and tabs allowed around each one. Any other text is
 *    ignored (200). A number too large for 64 bits reads as INT64_MAX.
 *  - loosely (TESSEL_RANGE_LOOSE): only the first range is read and whatever follows it is
 *    passed over. After optional blanks, a '-' and a digit start a suffix. Otherwise F is read as
 *    strtoimax reads a decimal (blanks or a '+' before it pass, no digits read as 0, a number too
 *    large as INTMAX_MAX), and when a '-' follows it with more text behind, L is read in the
 *    same way from that text; without a '-' ("bytes=5"), or with a '-' that ends the value, the
 *    range runs to the end. The value names several ranges when it holds a ','.
 *
 * Then: several ranges give 200, or with TESSEL_RANGE_FIRST_ONLY the answer to the first one. A
 * suffix gives the last N bytes, the whole file as 206 when N is larger; N = 0 gives 200, or 416
 * with TESSEL_RANGE_EMPTY_REFUSED; any other suffix of an empty file gives 416. A range whose L
 * lies before its F is ignored (200). An F at or past the end gives 416. An L past the end is
 * cut to the end, or gives 416 with TESSEL_RANGE_END_INSIDE.
 */
int32_t tessel_range_slice(const char *value, uint64_t size, uint32_t rules, uint64_t *first,
                           uint64_t *count);

/* ---- Scripted fake HTTP server ----------------------------------------------------------- */

/*
 * Routes, counters and the last-request record are process-wide, guarded by one internal lock
 * that is never held while a callback runs or a slow body pauses; callbacks may call these
 * controls, and every control may run on any thread, at once, also while requests run, except
 * where tessel_fake_last_request says otherwise. Registration copies every text and body it is
 * given.
 *
 * The request function answers a record by exact method and URL. It refuses (-1, not counted,
 * not recorded) a record of size below 112, without method or URL, or whose method is not an
 * HTTP token; *error then receives "fake: bad request" or "fake: bad method". Every other
 * request is valid: it is counted and recorded, and a HEAD request without a route of its own
 * takes the GET route of its URL. Without a route the answer is 404 with neither header lines
 * nor body. An answer goes out as the pseudo-header ":status", then the header lines, then the body
 * in pieces of at most 64 KiB; a callback's non-zero return ends the delivery, and request
 * still returns 0 with the status. *status is 0 until an answer is given; status and error may
 * be NULL. An answer whose copy runs out of memory is delivered without its body or headers.
 */

/* The server's constant request table (static storage, never released; user NULL, free is the
 * standard free). Wrap it in a tessel_http_ctx to make an http-backed io. */
const tessel_http *tessel_http_fake(void);
/* Drops every route, the counters and the last-request record. A request running meanwhile
 * finishes with the answer it already copied. */
void tessel_fake_reset(void);
/*
 * Canned answer for (method, url): status (any value, not checked), header lines "Name: value"
 * separated by "\n" (NULL = none; a line without a colon, with a name over 127 bytes or a value
 * over 511 is not delivered) and size body bytes, sent as registered to every request, a HEAD
 * that takes this route included. Replaces an existing route's answer in place; its call count
 * stays. 0, or -1 for method NULL or not a token, url NULL, body NULL with size above 0, a new
 * route when 256 exist already, or no memory. When only the body cannot be copied the route is
 * registered and answers without a body (0). After -1 no new route is left behind, but an
 * existing route may have lost its former answer.
 */
int tessel_fake_set(const char *method, const char *url, int32_t status, const char *headers,
                    const void *body, uint64_t size);
/*
 * A file of size bytes for GET url, served with byte ranges; a HEAD request gets the same
 * status and headers without the body. Without a Range line (or with range_mode 0, or a unit
 * other than "bytes="): 200 with Content-Length and "Accept-Ranges: bytes". Otherwise the first
 * range only ("first-last", "first-", or "-suffix" for the last bytes): 206 with Content-Range
 * and Content-Length; 416 with a Content-Range that names only the size for a first at or past
 * the end, an empty suffix, or a suffix of an empty file; a range whose last lies before its
 * first is served as one without Range. A last past the end is cut to the end, except that
 * range_mode 2 answers 416. These are the answers of tessel_range_slice with TESSEL_RANGE_LOOSE,
 * TESSEL_RANGE_FIRST_ONLY and TESSEL_RANGE_EMPTY_REFUSED, and for range_mode 2
 * TESSEL_RANGE_END_INSIDE as well. 0, or -1 for url NULL, contents NULL with size above 0, a new
 * route when 256 exist already, or no memory.
 */
int tessel_fake_file(const char *url, const void *contents, uint64_t size, int32_t range_mode);
/*
 * A slow body for GET url: status (not checked), the header "Content-Type:
 * application/octet-stream", and the size bytes in 64-byte pieces, each followed by a 10 ms
 * pause, at most piece_limit pieces when that is above 0 (the delivery then ends at once, and
 * request returns 0 with the status and the body cut short). 0, or -1 as tessel_fake_file; when
 * only the body cannot be copied the route is registered and answers without a body (0).
 */
int tessel_fake_drip(const char *url, int32_t status, const void *contents, uint64_t size,
                     int32_t piece_limit);
/* (method, url) fails as a transport failure: request returns -1 with a copy of error (NULL =
 * "fake: transport failure") in *error, released through the table's free, and delivers nothing.
 * 0, or -1 for method or url NULL, a new route when 256 exist already, or no memory. */
int tessel_fake_fail(const char *method, const char *url, const char *error);
/* Requests that reached the (method, url) route since the last reset (a HEAD served by a GET
 * route counts for the GET route; 0 for no route); with either argument NULL, every valid
 * request since the last reset, routed or not. */
int32_t tessel_fake_calls(const char *method, const char *url);
/* Valid requests since the last reset whose method is exactly PUT, POST, DELETE, MKCOL, MOVE,
 * COPY, PROPPATCH, LOCK or UNLOCK. */
int32_t tessel_fake_writes_sent(void);
/*
 * The JSON record of the last valid request from any thread, e.g.
 *   {"method":"GET","url":"/a","headers":["Accept: x"],"body_len":0,"credentials":false}
 * or NULL when there was none since the last reset or its record could not be allocated. The
 * text belongs to the server and stays valid until the next valid request (on any thread) or
 * reset. Unlike every other function here, it must not be used while a request may run: let no
 * request run from the call until the text has been read.
 */
const char *tessel_fake_last_request(void);

#ifdef __cplusplus
}
#endif

#endif /* TESSEL_HTTP_H */
