/*
 * kojelly.h - the export surface of the kojelly plug-in, a client for Jellyfin and Emby media
 * servers that a media-player host loads at run time.
 *
 * Loading. dlopen libkojelly.so.1, its soname (on Windows, LoadLibrary kojelly.dll), and call
 * korch_get for the handler table, or call the flat exports; the kojelly_pfn_ types at the end
 * are their pointer types. libkojelly.so without the number is the link-time name, installed
 * for development only. The plug-in has no network code: the host supplies the transport
 * (tessel_http.h), either per call (the handlers' io argument) or once for the flat exports
 * (kojelly_set_io).
 *
 * Windows. kojelly.dll is 64-bit and exports korch_get and the kojelly_ functions by their plain
 * names, in the x64 calling convention (the only one there; no __stdcall decoration). It needs
 * no runtime beside Windows: it imports only KERNEL32.dll and msvcrt.dll, the system C runtime,
 * whose malloc makes the one heap text the library hands over (kojelly_device_id). Link
 * libkojelly.dll.a (MinGW) or an import library made from kojelly.def (MSVC: lib /def), or
 * resolve the exports with GetProcAddress. Define KOJELLY_STATIC only when compiling the
 * library's sources into the host itself.
 *
 * Settings. Every call carries the server settings as a JSON object text, for example
 *   {"FullUrl":"https://media.example:8920","UserName":"bob","Password":"..."}
 * or with "APIKey" instead of user name and password. The library keeps no configuration.
 * "ParallelPages" (a whole number from 1 to 16 as a string or an integer; default 1) is how
 * many pages of a folder listing may be fetched at once; any other text is KOJELLY_EINVAL
 * "ParallelPages is not a whole number from 1 to 16". See Threads.
 * Wherever settings are read (kojelly_download reads none), NULL settings give KOJELLY_EINVAL
 * with the message "settings are NULL".
 *
 * Outcome. Every request (validate, list, stream URL, download) reports in three ways at once: a
 * status code (KOJELLY_*); a JSON text in the caller's output buffer (the answer, or
 * {"error":"message"}); and the calling thread's result and error slots, read with
 * kojelly_result_json and kojelly_last_error. What each answer holds is described in
 * docs/answers.md.
 *
 * Output buffers. A request takes out and out_len, the buffer's size in bytes with room for the
 * NUL. The same rules hold for every handler and flat export that has them:
 *   - A success copies the answer and its NUL into out when they fit. When they do not, out[0]
 *     becomes NUL and the call returns KOJELLY_ETOOSMALL with "output buffer too small" in the
 *     error slot. The result slot holds the whole answer in both cases.
 *   - A failure copies {"error":"message"} into out when it fits, else sets out[0] to NUL; the
 *     code stays that of the failure, never KOJELLY_ETOOSMALL. When memory runs out while that
 *     text is built, out is left as it was. The message is in the error slot and the result
 *     slot is "".
 *   - out NULL or out_len <= 0 means no buffer: nothing is written to out. A flat export then
 *     returns KOJELLY_OK for a success, with the answer in the result slot and "" in the error
 *     slot; a handler of the table returns KOJELLY_ETOOSMALL as for a buffer too small.
 *
 * Per-thread slots. The library keeps texts per thread, each a heap text that it owns, reads as
 * "" when empty (or when its copy could not be allocated) and releases when the thread ends:
 *   - the result slot (kojelly_result_json) and the error slot (kojelly_last_error), which are
 *     always written together;
 *   - the text slot, which holds what kojelly_full_url and kojelly_redact return;
 *   - the fake slot, which holds what kojelly_fake_last_body, kojelly_fake_last_url and
 *     kojelly_fake_last_headers return.
 * Each function below says which slots it writes ("Writes:"); a slot changes only when its own
 * thread calls such a function, never because of another thread. A pointer into a slot stays
 * valid until then. Functions whose comment names no slot write none.
 *
 * Threads. Every function may be called from any thread, and from any number of threads at
 * once; kojelly_set_io states how long the records of a replaced io must outlive the calls that
 * use them. A function that calls the host's transport calls it on the calling thread, so the
 * transport may run on several threads at once. The one exception is a folder listing whose
 * settings carry "ParallelPages" N above 1: once its first page is full and reports a total,
 * the pages after it are fetched by threads that the library starts, up to N requests at once,
 * so the transport must be safe for that, as it already is for calls from several host
 * threads. The answer is the one the listing gives with N = 1, byte for byte; those threads
 * write no per-thread slot of the caller, and all of them have ended when the call returns.
 *
 * Memory. Texts returned as const char * belong to the library and stay valid as stated at each
 * function, at most while the library stays loaded; never free them. kojelly_device_id returns
 * a heap copy that the caller releases with free() (on Windows, the free of msvcrt.dll; see
 * there).
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

/* On Windows a host that links the import library (libkojelly.dll.a, or one made from
 * kojelly.def) sees the exports as DLL imports; KOJELLY_STATIC is for a build that compiles the
 * plug-in's sources into itself. A host that uses GetProcAddress only needs neither. */
#if defined(_WIN32)
#if defined(KOJELLY_BUILDING)
#define KOJELLY_API __declspec(dllexport)
#elif defined(KOJELLY_STATIC)
#define KOJELLY_API
#else
#define KOJELLY_API __declspec(dllimport)
#endif
#elif defined(KOJELLY_BUILDING)
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

/*
 * The handlers run one request each over the io passed with the call.
 *
 * io        The transport of this call, read only during the call; the library keeps nothing
 *           of it afterwards, so the io and everything it points to must stay valid until the
 *           handler returns. An http-backed io (tessel_http_of(io) != NULL) sends through its
 *           request table. An io that is not http-backed but has a get or post slot is used
 *           through those slots, which carry no request header, so no request sent that way
 *           carries the Authorization header (kojelly_set_io refuses such an io). An io with
 *           neither gives KOJELLY_EUNSUPPORTED; NULL gives KOJELLY_ETRANSPORT "no transport".
 * settings  The settings JSON; NULL gives KOJELLY_EINVAL "settings are NULL".
 * out       The output buffer of out_len bytes; see "Output buffers" above.
 *
 * The arguments are checked in the order settings, arg (stream_url only), io; the first that
 * fails decides the outcome, and nothing is sent then.
 * Writes: the result and error slots. Threads: any, at once, with the same io or different ones.
 */
typedef int32_t (*kojelly_validate_fn)(const tessel_io *io, const char *settings, char *out,
                                       int32_t out_len);
typedef int32_t (*kojelly_request_fn)(const tessel_io *io, const char *settings, const char *arg,
                                      char *out, int32_t out_len);

typedef struct kojelly_handler_table {
    const char *runtime_type;       /* "JELLYFIN" */
    int32_t caps;                   /* KOJELLY_CAPS */
    kojelly_validate_fn validate;   /* as kojelly_validate, over io */
    kojelly_request_fn list;        /* as kojelly_list, over io; arg: the folder id */
    kojelly_request_fn stream_url;  /* as kojelly_stream_url, over io; arg: the entry JSON */
    kojelly_request_fn download;    /* as kojelly_download: always -6, reads no argument */
    kojelly_request_fn reserved[2]; /* NULL: absent handlers */
} kojelly_handler_table;

/*
 * The handler table. Never NULL; the same constant table on every call, valid while the library
 * stays loaded. Threads: any.
 */
KOJELLY_API const kojelly_handler_table *korch_get(void) KOJELLY_NOEXCEPT;

/* ---- Identity and slots ------------------------------------------------------------------ */

/* The library's version, e.g. "1.0.0". A constant text, valid while the library stays loaded;
 * never NULL. Threads: any. */
KOJELLY_API const char *kojelly_version(void) KOJELLY_NOEXCEPT;
/* "JELLYFIN", the table's runtime_type. A constant text, valid while the library stays loaded.
 * Threads: any. */
KOJELLY_API const char *kojelly_runtime_type(void) KOJELLY_NOEXCEPT;
/* KOJELLY_CAPS, the table's caps. Threads: any. */
KOJELLY_API int32_t kojelly_caps(void) KOJELLY_NOEXCEPT;

/*
 * The calling thread's result slot: the answer of its last call that wrote the slot, "" before
 * the first such call and after a failure. Never NULL. Owned by the library; valid until the
 * same thread next calls a function that writes the result and error slots (or ends). Reads
 * only; writes no slot. Threads: any; each thread reads its own slot.
 */
KOJELLY_API const char *kojelly_result_json(void) KOJELLY_NOEXCEPT;
/*
 * The calling thread's error slot: the one-line message of its last call that wrote the slot,
 * "" before the first such call and after a success. Never NULL. Owned by the library; valid
 * as kojelly_result_json's text. Reads only; writes no slot. Threads: any; each thread reads
 * its own slot.
 */
KOJELLY_API const char *kojelly_last_error(void) KOJELLY_NOEXCEPT;

/*
 * Refuses a download: the plug-in offers none (KOJELLY_CAP_DOWNLOAD is clear). Always
 * KOJELLY_EUNSUPPORTED. settings and arg are not read (NULL is fine) and no transport is used.
 * out receives {"error":"JELLYFIN does not download"} when out_len is 39 or more, an empty text
 * when out_len is 1 to 38, nothing when out is NULL or out_len <= 0.
 * Writes: the result slot ("") and the error slot ("JELLYFIN does not download").
 * Threads: any.
 */
KOJELLY_API int32_t kojelly_download(const char *settings, const char *arg, char *out,
                                     int32_t out_len) KOJELLY_NOEXCEPT;
/*
 * Answers a request to allow write operations, of which there are none (KOJELLY_CAP_WRITE is
 * clear). flag non-zero: KOJELLY_EUNSUPPORTED with "JELLYFIN has no write ops" in the error
 * slot. flag 0: KOJELLY_OK with "" in the error slot. Changes nothing else.
 * Writes: the result slot ("") and the error slot. Threads: any.
 */
KOJELLY_API int32_t kojelly_allow_writes(int32_t flag) KOJELLY_NOEXCEPT;

/* ---- Transport selection for the flat exports -------------------------------------------- */

/*
 * Selects the transport of the flat exports (kojelly_validate, kojelly_list and
 * kojelly_stream_url) for every thread of the process.
 *
 * io  An http-backed io (tessel_http_of(io) != NULL): selected, KOJELLY_OK. The library copies
 *     the io's four slots, so the tessel_io record itself may go away as soon as this returns;
 *     of the copy only ctx is used.
 *     Any other io: KOJELLY_EUNSUPPORTED, and the selection stays as it was.
 *     NULL: nothing is selected (as at load time), KOJELLY_OK; flat requests then fail, after
 *     their argument checks, with KOJELLY_ETRANSPORT "no transport".
 *
 * Lifetime. A flat call copies the selected four-slot table when it starts and uses what that
 * copy points to until it returns. So the records behind a selected io - the context it points
 * to, the tessel_http table named there, and whatever that table's user points to - must stay
 * valid and unchanged while the io is selected, and after it is replaced (by kojelly_set_io with
 * another io or NULL, or by kojelly_use_fake) until every flat call that started before the
 * replacing call returned has itself returned. Only then may the host release them.
 *
 * Writes no slot. Threads: any, also while flat calls run on other threads; a call running
 * meanwhile keeps the io it started with.
 */
KOJELLY_API int32_t kojelly_set_io(const tessel_io *io) KOJELLY_NOEXCEPT;
/* Always KOJELLY_EUNSUPPORTED: the plug-in carries no network backend of its own. The selection
 * stays as it was. Writes no slot. Threads: any. */
KOJELLY_API int32_t kojelly_use_curl(void) KOJELLY_NOEXCEPT;
/*
 * Selects the in-process fake transport (see kojelly_fake_*) for the flat exports, replacing any
 * selected io as kojelly_set_io does. The fake's routes and counters stay as they are; its own
 * records are static and never released. Returns KOJELLY_OK. Writes no slot. Threads: any.
 */
KOJELLY_API int32_t kojelly_use_fake(void) KOJELLY_NOEXCEPT;

/* ---- Flat exports: the handlers over the selected transport ------------------------------ */
/*
 * Each runs the handler of the same name over a copy of the selected io (see kojelly_set_io),
 * taken when the call starts. Arguments are checked as the handlers check them; with nothing
 * selected, a call whose settings (and entry) pass fails with KOJELLY_ETRANSPORT "no
 * transport". out and out_len follow "Output buffers" above (no buffer: a success returns
 * KOJELLY_OK). The answer is read from out or with kojelly_result_json.
 * Writes: the result and error slots. Threads: any, at once.
 */

/* Checks that the settings name a reachable Jellyfin or Emby server and that the server accepts
 * the credentials (an API key, or a login, which is then cached for later requests); answers the
 * server's canonical address and identity. settings NULL: KOJELLY_EINVAL. */
KOJELLY_API int32_t kojelly_validate(const char *settings, char *out,
                                     int32_t out_len) KOJELLY_NOEXCEPT;
/* The listing of one folder, fetched page by page. folder_id is a server item id; NULL or ""
 * lists the root, the user's libraries. An id that cannot be a server item id gives
 * KOJELLY_ENOTFOUND, as do a folder that does not exist and an item that is not a folder. A
 * folder of more than 100000 items, more than 1000 pages or more than 256 MiB of listing JSON
 * gives KOJELLY_EFAIL, and no part of the listing is answered. With "ParallelPages" N above 1
 * in the settings, up to N pages are fetched at once (see Threads); the answer, or the failure
 * and its message (those of the first page in order that fails), are the same as with N = 1,
 * and at most N - 1 requests are sent beyond those the page-by-page listing sends. */
KOJELLY_API int32_t kojelly_list(const char *settings, const char *folder_id, char *out,
                                 int32_t out_len) KOJELLY_NOEXCEPT;
/* The stream URL of a playable item and the headers the player must send with it. entry names
 * the item: a JSON string holding its id, or an object with its id in "id", "path", "Key", "key"
 * or "backend_id" (an entry of a listing does). entry NULL, or one naming no id, gives
 * KOJELLY_ENOTFOUND, as do a missing item and a folder. The URL carries the token as its
 * api_key query value, percent-encoded (a token of letters, digits and -._~ reads unchanged),
 * and the answer's Authorization header carries it again. Emby and Jellyfin up to 11.x read
 * api_key; Jellyfin from 12.0 on ignores it by default and reads the token only from that header
 * (or an ApiKey query parameter). Its static streams still play without a token, but would stop
 * once the server requires one for streams. So send the header with the URL whenever the player
 * can; a player given the URL alone relies on the server reading api_key. */
KOJELLY_API int32_t kojelly_stream_url(const char *settings, const char *entry, char *out,
                                       int32_t out_len) KOJELLY_NOEXCEPT;

/* ---- Utilities --------------------------------------------------------------------------- */

/*
 * The normalised server URL of the settings, e.g. "http://srv:8096"; the settings need no
 * credentials and nothing is sent. Returns the text slot's text, or NULL when the settings are
 * invalid (settings NULL included) or memory runs out, with the reason in the error slot.
 * Writes: the result slot (the URL, or "" on failure), the error slot ("" on success) and, on
 * success, the text slot. The returned text is owned by the library and valid until the same
 * thread next calls kojelly_full_url or kojelly_redact (or ends). Threads: any.
 */
KOJELLY_API const char *kojelly_full_url(const char *settings) KOJELLY_NOEXCEPT;
/*
 * The device id presented to the server: the settings' "DeviceId" as given, or, without one,
 * the id generated for this process (the same for every call in the process). The settings need
 * no credentials. A heap copy: release it with free(). On Windows it comes from msvcrt.dll's
 * malloc, so a host built with another C runtime (MSVC's ucrtbase.dll, a debug or static CRT,
 * MinGW-w64 for UCRT) must release it with msvcrt.dll's own free, for example through
 * GetProcAddress(GetModuleHandleA("msvcrt.dll"), "free"); for a MinGW-w64 host built for
 * msvcrt.dll (the default of Debian's), free() is that one. NULL when the settings are invalid
 * (settings NULL included), with the reason in the error slot, or when the copy cannot be
 * allocated. Writes: the result slot ("") and the error slot, only when the settings are
 * invalid. Threads: any.
 */
KOJELLY_API char *kojelly_device_id(const char *settings) KOJELLY_NOEXCEPT;
/*
 * The listing JSON of an /Items answer that the host fetched itself: body is that answer's JSON
 * text, read up to its NUL. A success follows "Output buffers" above (no buffer: KOJELLY_OK with
 * the listing in the result slot). A failure returns KOJELLY_EFAIL with the message in the
 * error slot and the result slot "", and leaves out as it was: no error JSON is written.
 * body NULL: KOJELLY_EFAIL "body is NULL". A listing past 256 MiB: KOJELLY_EFAIL "listing is
 * larger than 256 MiB". Nothing is sent.
 * Writes: the result and error slots. Threads: any.
 */
KOJELLY_API int32_t kojelly_parse_items(const char *body, char *out,
                                        int32_t out_len) KOJELLY_NOEXCEPT;
/*
 * A copy of text with the user information of every URL (user name and password before '@')
 * removed and the values of credential query parameters (such as api_key or password) replaced
 * by "***". text NULL gives "". Never NULL: when memory runs out the result is a constant "" and
 * the text slot keeps its text. Writes: the text slot. The returned text is owned by the library
 * and valid until the same thread next calls kojelly_redact or kojelly_full_url (or ends).
 * Threads: any.
 */
KOJELLY_API const char *kojelly_redact(const char *text) KOJELLY_NOEXCEPT;
/*
 * Forgets every cached login of the process: the next request with user name and password logs
 * in again. A request already running keeps the token it holds, and one whose login completes
 * after this call still caches that login. Threads: any.
 */
KOJELLY_API void kojelly_forget_tokens(void) KOJELLY_NOEXCEPT;

/* ---- The fake transport's controls (for tests of a host) --------------------------------- */
/*
 * The fake transport (kojelly_use_fake) answers from routes registered by exact, case-sensitive
 * method and absolute URL, query included, as the plug-in sends them; a request without a route
 * answers 404 with the body "Not Found". Routes, counters and the record of the last request are
 * process-wide, shared by all threads and guarded by one lock; every control may be called from
 * any thread, at once, also while requests run. None writes the result, error or text slot.
 */

/* Removes every route and clears the counters and the last-request record. A request running
 * meanwhile finishes with the answer it already has; texts the getters returned stay valid. */
KOJELLY_API void kojelly_fake_reset(void) KOJELLY_NOEXCEPT;
/*
 * Answers method+url with status (100 to 599) and body (NULL for ""). Registering a route again
 * replaces its answer, or its failure, in place; its call count and last received body stay.
 * KOJELLY_OK; KOJELLY_EINVAL for method or url NULL or a status out of range; KOJELLY_EFAIL when
 * the route cannot be created. When only the body cannot be copied the route is kept without an
 * answer, and its requests then fail with "fake: no body".
 */
KOJELLY_API int32_t kojelly_fake_set(const char *method, const char *url, int32_t status,
                                     const char *body) KOJELLY_NOEXCEPT;
/* Makes every request to method+url fail as a transport failure with a copy of error as the
 * reason (a flat request then gives KOJELLY_ETRANSPORT). Replaces an answer in place as
 * kojelly_fake_set does. KOJELLY_OK; KOJELLY_EINVAL when any argument is NULL; KOJELLY_EFAIL
 * when the route cannot be created. */
KOJELLY_API int32_t kojelly_fake_fail(const char *method, const char *url,
                                      const char *error) KOJELLY_NOEXCEPT;
/* The number of requests that reached the method+url route since the last reset (0 without
 * such a route). With method or url NULL: every request the fake received since the last reset,
 * routed or not. */
KOJELLY_API int32_t kojelly_fake_calls(const char *method, const char *url) KOJELLY_NOEXCEPT;
/*
 * The three getters read the fake's records and return a copy of what they find. The copy lives
 * in the calling thread's fake slot: owned by the library, valid until the same thread calls
 * any of the three again (or ends), and never changed by other threads or by kojelly_fake_reset.
 * Never NULL: "" when there is nothing to return or the copy cannot be allocated.
 * Writes: the fake slot. Threads: any.
 */
/* The body of the last request with a body to the POST route of url, or the body that route was
 * set with while it has received none; "" when url is NULL or has no POST route. */
KOJELLY_API const char *kojelly_fake_last_body(const char *url) KOJELLY_NOEXCEPT;
/* The URL of the last request the fake received, from any thread; "" when none since the last
 * reset. */
KOJELLY_API const char *kojelly_fake_last_url(void) KOJELLY_NOEXCEPT;
/* The header lines of that request, each followed by "\n"; "" when it had none or there was
 * none since the last reset. */
KOJELLY_API const char *kojelly_fake_last_headers(void) KOJELLY_NOEXCEPT;

/* ---- Function-pointer types of the exports ---------------------------------------------- */
/*
 * For a host that resolves the exports at run time (dlsym, GetProcAddress) instead of linking:
 *   kojelly_pfn_list list;
 *   *(void **)&list = dlsym(lib, "kojelly_list");
 * One type per export, named kojelly_pfn_ and the export's name without its kojelly_ prefix
 * (korch_get's is kojelly_pfn_korch_get). They are not the handler table's member types
 * kojelly_validate_fn and kojelly_request_fn, whose handlers take an io argument. In C++17 and
 * later, where noexcept is part of a function's type, they are noexcept as the exports are, so
 * that each is exactly the type of &export; earlier C++ does not allow noexcept in a typedef.
 */
#if defined(__cplusplus) && defined(__cpp_noexcept_function_type)
#define KOJELLY_PFN_NOEXCEPT noexcept
#else
#define KOJELLY_PFN_NOEXCEPT
#endif

/* clang-format would take "(void) KOJELLY_PFN_NOEXCEPT" for a cast and join the two. */
/* clang-format off */
typedef const kojelly_handler_table *(*kojelly_pfn_korch_get)(void) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_version)(void) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_runtime_type)(void) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_caps)(void) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_result_json)(void) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_last_error)(void) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_download)(const char *settings, const char *arg, char *out,
                                        int32_t out_len) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_allow_writes)(int32_t flag) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_set_io)(const tessel_io *io) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_use_curl)(void) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_use_fake)(void) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_validate)(const char *settings, char *out,
                                        int32_t out_len) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_list)(const char *settings, const char *folder_id, char *out,
                                    int32_t out_len) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_stream_url)(const char *settings, const char *entry, char *out,
                                          int32_t out_len) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_full_url)(const char *settings) KOJELLY_PFN_NOEXCEPT;
typedef char *(*kojelly_pfn_device_id)(const char *settings) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_parse_items)(const char *body, char *out,
                                           int32_t out_len) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_redact)(const char *text) KOJELLY_PFN_NOEXCEPT;
typedef void (*kojelly_pfn_forget_tokens)(void) KOJELLY_PFN_NOEXCEPT;
typedef void (*kojelly_pfn_fake_reset)(void) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_fake_set)(const char *method, const char *url, int32_t status,
                                        const char *body) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_fake_fail)(const char *method, const char *url,
                                         const char *error) KOJELLY_PFN_NOEXCEPT;
typedef int32_t (*kojelly_pfn_fake_calls)(const char *method, const char *url) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_fake_last_body)(const char *url) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_fake_last_url)(void) KOJELLY_PFN_NOEXCEPT;
typedef const char *(*kojelly_pfn_fake_last_headers)(void) KOJELLY_PFN_NOEXCEPT;
/* clang-format on */

#ifdef __cplusplus
}
#endif

#endif /* KOJELLY_H */
