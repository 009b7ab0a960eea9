/*
 * kojelly.h - the export surface of the kojelly plug-in, a client for Jellyfin and Emby media
 * servers that a media-player host loads at run time.
 *
 * Loading. dlopen libkojelly.so and call korch_get for the handler table, or call the flat
 * exports. The plug-in has no network code: the host supplies the transport (tessel_http.h),
 * either per call (the handlers' io argument) or once for the flat exports (kojelly_set_io).
 *
 * Settings. Every call carries the server settings as a JSON object text, for example
 *   {"FullUrl":"https://media.example:8920","UserName":"bob","Password":"..."}
 * or with "APIKey" instead of user name and password. The library keeps no configuration.
 *
 * Outcome. Every request reports in three ways at once: a status code (KOJELLY_*); a JSON text
 * in the caller's output buffer (the answer, or {"error":"message"}); and two per-thread slots,
 * read with kojelly_result_json and kojelly_last_error.
 *
 * Threads. Any number of threads may call any export at once. Slot texts are per thread: a
 * thread always reads the outcome of its own last call.
 *
 * Memory. Texts returned as const char * belong to the library and stay valid as stated at each
 * function; never free them. kojelly_device_id returns a heap copy that the caller releases
 * with free().
 *
 * Plain C99; usable from C and C++.
 */
#ifndef KOJELLY_H
#define KOJELLY_H

#include <stdint.h>

#include "tessel_http.h"

#ifdef __cplusplus
extern "C" {
#endif

#if defined(KOJELLY_BUILDING)
#define KOJELLY_API __attribute__((visibility("default")))
#else
#define KOJELLY_API
#endif

/* No export lets an exception out. */
#ifdef __cplusplus
#define KOJELLY_NOEXCEPT noexcept
#else
#define KOJELLY_NOEXCEPT
#endif

/* ---- Status codes ------------------------------------------------------------------------ */

enum {
    KOJELLY_OK = 0,
    KOJELLY_EAUTH = -1,        /* the server refused the credentials (HTTP 401/403) */
    KOJELLY_ENOTFOUND = -2,    /* no such item or folder, or not of the kind needed */
    KOJELLY_ETHROTTLED = -3,   /* HTTP 429 */
    KOJELLY_ETRANSPORT = -4,   /* no transport, request not completed, server failure */
    KOJELLY_EFAIL = -5,        /* unexpected status, malformed answer, limit, out of memory */
    KOJELLY_EUNSUPPORTED = -6, /* operation or transport not available */
    KOJELLY_EINVAL = -8,       /* settings or arguments invalid */
    KOJELLY_ETOOSMALL = -9     /* answer does not fit; the whole answer is in the result slot */
};

/* ---- Capability bits --------------------------------------------------------------------- */

/* The bits of kojelly_handler_table.caps and of kojelly_caps(). A set bit is an operation the
 * plug-in offers; a clear bit one it does not. */
enum {
    KOJELLY_CAP_VALIDATE = 0x01,       /* validates a server configuration (validate) */
    KOJELLY_CAP_LIST = 0x02,           /* browses folders (list) */
    KOJELLY_CAP_DOWNLOAD = 0x04,       /* downloads files: not offered (download is always -6) */
    KOJELLY_CAP_WRITE = 0x08,          /* write operations: not offered (kojelly_allow_writes) */
    KOJELLY_CAP_STREAM_URL = 0x10,     /* resolves an item to a stream URL (stream_url) */
    KOJELLY_CAP_STREAM_HEADERS = 0x20, /* the stream answer carries headers the player must send */
    /* What this plug-in offers: 0x33 = 51. */
    KOJELLY_CAPS = KOJELLY_CAP_VALIDATE | KOJELLY_CAP_LIST | KOJELLY_CAP_STREAM_URL |
                   KOJELLY_CAP_STREAM_HEADERS
};

/* ---- Handler table ----------------------------------------------------------------------- */

/* out may be NULL and out_len 0 or less (no buffer). io may be NULL (then -4 "no transport"). */
typedef int32_t (*kojelly_validate_fn)(const tessel_io *io, const char *settings, char *out,
                                       int32_t out_len);
typedef int32_t (*kojelly_request_fn)(const tessel_io *io, const char *settings,
                                      const char *arg, char *out, int32_t out_len);

typedef struct kojelly_handler_table {
    const char *runtime_type;       /* "JELLYFIN" */
    int32_t caps;                   /* KOJELLY_CAPS */
    kojelly_validate_fn validate;   /* check a server configuration */
    kojelly_request_fn list;        /* arg: folder id; NULL or "" for the root */
    kojelly_request_fn stream_url;  /* arg: entry JSON naming an item */
    kojelly_request_fn download;    /* always -6 */
    kojelly_request_fn reserved[2]; /* NULL: absent handlers */
} kojelly_handler_table;

/* The constant handler table; valid for the life of the loaded library. */
KOJELLY_API const kojelly_handler_table *korch_get(void) KOJELLY_NOEXCEPT;

/* ---- Identity and slots ------------------------------------------------------------------ */

KOJELLY_API const char *kojelly_version(void) KOJELLY_NOEXCEPT;      /* constant "1.0.0" */
KOJELLY_API const char *kojelly_runtime_type(void) KOJELLY_NOEXCEPT; /* constant "JELLYFIN" */
KOJELLY_API int32_t kojelly_caps(void) KOJELLY_NOEXCEPT;             /* KOJELLY_CAPS */

/* The calling thread's last result text, "" when none. Owned by the library; valid until the
 * next call on the same thread that publishes a result. Never NULL. */
KOJELLY_API const char *kojelly_result_json(void) KOJELLY_NOEXCEPT;
/* The calling thread's last error message, "" after a success. Same ownership. Never NULL. */
KOJELLY_API const char *kojelly_last_error(void) KOJELLY_NOEXCEPT;

/* Always -6: the plug-in has no downloads. Writes {"error":"JELLYFIN does not download"} when
 * out_len is 39 or more, else an empty text. */
KOJELLY_API int32_t kojelly_download(const char *settings, const char *arg, char *out,
                                     int32_t out_len) KOJELLY_NOEXCEPT;
/* -6 when flag is non-zero (there are no write operations), else 0. */
KOJELLY_API int32_t kojelly_allow_writes(int32_t flag) KOJELLY_NOEXCEPT;

/* ---- Transport selection for the flat exports -------------------------------------------- */

/* Select the host's http-backed io for the flat exports; the library copies the four-slot
 * table, but what it points to must stay valid while selected. NULL restores the default (no
 * transport). 0, or -6 when the io is not http-backed (nothing changes). */
KOJELLY_API int32_t kojelly_set_io(const tessel_io *io) KOJELLY_NOEXCEPT;
/* Always -6: the plug-in carries no network backend of its own; the selection stays. */
KOJELLY_API int32_t kojelly_use_curl(void) KOJELLY_NOEXCEPT;
/* Select the in-process fake transport (see kojelly_fake_*). Returns 0. */
KOJELLY_API int32_t kojelly_use_fake(void) KOJELLY_NOEXCEPT;

/* ---- Flat exports: the handlers over the selected transport ------------------------------ */
/*
 * Each returns the handler's status code and leaves its outcome in the per-thread slots. With
 * out NULL or out_len <= 0 a success returns 0 and the answer is read with kojelly_result_json.
 * With a buffer too small for a successful answer: -9, an empty text in out, and the whole
 * answer in the result slot.
 */
KOJELLY_API int32_t kojelly_validate(const char *settings, char *out, int32_t out_len) KOJELLY_NOEXCEPT;
KOJELLY_API int32_t kojelly_list(const char *settings, const char *folder_id, char *out,
                                 int32_t out_len) KOJELLY_NOEXCEPT;
KOJELLY_API int32_t kojelly_stream_url(const char *settings, const char *entry, char *out,
                                       int32_t out_len) KOJELLY_NOEXCEPT;

/* ---- Utilities --------------------------------------------------------------------------- */

/* The normalised server URL of the settings (credentials not needed), or NULL with the reason
 * in kojelly_last_error. Owned by the library; valid until the next kojelly_full_url or
 * kojelly_redact on the same thread. */
KOJELLY_API const char *kojelly_full_url(const char *settings) KOJELLY_NOEXCEPT;
/* The settings' "DeviceId", or the process's generated one; NULL when the settings are
 * invalid. A heap copy: release it with free(). */
KOJELLY_API char *kojelly_device_id(const char *settings) KOJELLY_NOEXCEPT;
/* The listing JSON of an /Items answer that the host fetched itself, into out and the result
 * slot (same buffer rules as the flat exports). */
KOJELLY_API int32_t kojelly_parse_items(const char *body, char *out, int32_t out_len) KOJELLY_NOEXCEPT;
/* A copy of text with URL user information and credential query values replaced by "***".
 * Never NULL. Owned by the library; valid until the next kojelly_redact or kojelly_full_url on
 * the same thread. */
KOJELLY_API const char *kojelly_redact(const char *text) KOJELLY_NOEXCEPT;
/* Forget every cached login: the next request with user name and password logs in again. */
KOJELLY_API void kojelly_forget_tokens(void) KOJELLY_NOEXCEPT;

/* ---- The fake transport's controls (for tests of a host) --------------------------------- */

/* Remove every route and reset all counters and records. */
KOJELLY_API void kojelly_fake_reset(void) KOJELLY_NOEXCEPT;
/* Answer method+url with status (100 to 599) and body. 0; -8 for bad arguments; -5 no memory. */
KOJELLY_API int32_t kojelly_fake_set(const char *method, const char *url, int32_t status,
                                     const char *body) KOJELLY_NOEXCEPT;
/* Make every request to method+url fail with the error text. 0, -8 or -5. */
KOJELLY_API int32_t kojelly_fake_fail(const char *method, const char *url, const char *error) KOJELLY_NOEXCEPT;
/* Requests that reached method+url; with both NULL, every request since the last reset. */
KOJELLY_API int32_t kojelly_fake_calls(const char *method, const char *url) KOJELLY_NOEXCEPT;
/* The three getters return a per-thread copy owned by the library, valid until the next call of
 * any of the three on the same thread; never NULL. */
KOJELLY_API const char *kojelly_fake_last_body(const char *url) KOJELLY_NOEXCEPT;
KOJELLY_API const char *kojelly_fake_last_url(void) KOJELLY_NOEXCEPT;
KOJELLY_API const char *kojelly_fake_last_headers(void) KOJELLY_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif /* KOJELLY_H */
