/*
 * A minimal Windows host: it loads kojelly.dll at run time, gives the plug-in a transport of its
 * own built on WinHTTP, lists the root folder (the user's libraries) and prints the answer.
 *
 *   set KOJELLY_API_KEY=...
 *   windows_host.exe http://media.example:8096
 *
 * The server address is the argument; the API key comes from the environment, because every
 * user of the machine can read a program's command line. Exit status 0 when the listing
 * arrived, 1 otherwise.
 *
 * The plug-in has no network code: every request it makes goes through the tessel_http table
 * below, one exchange per call. Copy winhttp_request and what it calls into your host and keep
 * its contract: report ":status" and the response headers to on_header, the body in pieces to
 * on_body, stop when a callback asks to, return 0 with the status whenever an HTTP answer
 * arrived (a 401 or a 500 is an answer), and non-zero with a reason when none did.
 */
#define WIN32_LEAN_AND_MEAN
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>
#include <winhttp.h>

#include "kojelly.h"

#define CONNECT_TIMEOUT_MS 10000  /* name resolution, and again for the connection */
#define EXCHANGE_TIMEOUT_MS 30000 /* sending, the wait for the answer, each wait for its bytes */
#define BODY_PIECE 65536          /* bytes read from WinHTTP per on_body call */

/* ---- The transport ------------------------------------------------------------------------ */

/*
 * One object holds everything the plug-in reaches through the io: the io's context points to
 * ctx, ctx to http, and http's user back to the object. kojelly_set_io copies only the io's
 * four slots, so this object must stay where it is, unchanged, while the io is selected.
 */
typedef struct winhttp_transport {
    tessel_io io;
    tessel_http_ctx ctx;
    tessel_http http;
    HINTERNET session; /* WinHTTP's handles may be used from any thread */
} winhttp_transport;

/* A malloc'ed UTF-16 copy of a UTF-8 text; NULL for text that is not UTF-8 or when memory
 * runs out. */
static wchar_t *widen(const char *text) {
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, NULL, 0);
    wchar_t *w = n > 0 ? malloc((size_t)n * sizeof *w) : NULL;
    if (w && MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, w, n) != n) {
        free(w);
        w = NULL;
    }
    return w;
}

/* A malloc'ed UTF-8 copy of a UTF-16 text; NULL when memory runs out. */
static char *narrow(const wchar_t *text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, NULL, 0, NULL, NULL);
    char *s = n > 0 ? malloc((size_t)n) : NULL;
    if (s && WideCharToMultiByte(CP_UTF8, 0, text, -1, s, n, NULL, NULL) != n) {
        free(s);
        s = NULL;
    }
    return s;
}

/*
 * Hands the plug-in the reason why no answer arrived: what failed and, for a system error, the
 * system's wording of it. The plug-in puts this after the method and the URL (with its
 * credentials masked) in its own message, so the text names no URL: a URL's query can carry a
 * token. Released through the table's free slot.
 */
static int32_t fail(char **error, const char *what, DWORD code) {
    /* The wording where the system has none: Wine's winhttp.dll has none, and Wine reports a
     * timeout as the socket's WSAETIMEDOUT. */
    static const struct {
        DWORD code;
        const char *text;
    } usual[] = {
        {ERROR_WINHTTP_TIMEOUT, "timed out"},
        {10060 /* WSAETIMEDOUT */, "timed out"},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, "host name not resolved"},
        {ERROR_WINHTTP_CANNOT_CONNECT, "cannot connect"},
        {ERROR_WINHTTP_CONNECTION_ERROR, "connection broken"},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, "not an HTTP answer"},
        {ERROR_WINHTTP_SECURE_FAILURE, "TLS failure"},
    };
    char reason[256] = "";
    char text[512];
    size_t i;
    if (code != 0) {
        /* WinHTTP's own codes (12000 and up) are worded in winhttp.dll, the others by Windows. */
        DWORD flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                      FORMAT_MESSAGE_IGNORE_INSERTS;
        HMODULE winhttp = GetModuleHandleW(L"winhttp.dll");
        wchar_t *wide = NULL;
        DWORD n;
        int got = 0;
        if (winhttp && code >= 12000 && code < 13000) flags |= FORMAT_MESSAGE_FROM_HMODULE;
        n = FormatMessageW(flags, winhttp, code, 0, (LPWSTR)&wide, 0, NULL);
        while (n > 0 && wcschr(L"\r\n .", wide[n - 1])) n--; /* "Text.\r\n" ends a sentence */
        if (n > 0)
            got = WideCharToMultiByte(CP_UTF8, 0, wide, (int)n, reason, (int)sizeof reason - 1,
                                      NULL, NULL);
        reason[got > 0 ? got : 0] = '\0';
        if (wide) LocalFree(wide);
        for (i = 0; !reason[0] && i < sizeof usual / sizeof usual[0]; i++)
            if (usual[i].code == code) snprintf(reason, sizeof reason, "%s", usual[i].text);
    }
    if (code == 0)
        snprintf(text, sizeof text, "%s", what);
    else if (reason[0])
        snprintf(text, sizeof text, "%s: %s (error %lu)", what, reason, (unsigned long)code);
    else
        snprintf(text, sizeof text, "%s (error %lu)", what, (unsigned long)code);
    /* The copy may fail when memory runs out; the reason is optional, the failure is not. */
    if (error) {
        *error = malloc(strlen(text) + 1);
        if (*error) strcpy(*error, text);
    }
    return -1;
}

/* 1 when method is 1 to 32 characters that an HTTP method may hold. */
static int method_ok(const char *method) {
    size_t i;
    if (!method || !method[0] || strlen(method) > 32) return 0;
    for (i = 0; method[i]; i++) {
        unsigned char c = (unsigned char)method[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
              strchr("!#$%&'*+-.^_`|~", c)))
            return 0;
    }
    return 1;
}

/*
 * The request lines as one UTF-16 block, "Name: value\r\n" each, for WinHttpSendRequest; NULL
 * with the reason in *why. WinHTTP turns header text back into bytes itself, and only ASCII
 * comes out as it went in everywhere, so a line with other bytes is refused, not sent changed.
 * A line break inside a line would smuggle in a header of its own and is refused too.
 */
static wchar_t *header_block(const tessel_http_req *req, const char **why) {
    size_t total = 1, at = 0;
    uint64_t i;
    wchar_t *block;
    if (req->header_count > 0 && !req->headers) {
        *why = "request header lines are missing";
        return NULL;
    }
    for (i = 0; i < req->header_count; i++) {
        const char *line = req->headers[i];
        const char *p;
        if (!line || !strchr(line, ':') || line[0] == ':') {
            *why = "request header line has no name";
            return NULL;
        }
        for (p = line; *p; p++) {
            if ((unsigned char)*p < 0x20 || (unsigned char)*p > 0x7E) {
                *why = "request header line holds a control or non-ASCII byte";
                return NULL;
            }
        }
        total += (size_t)(p - line) + 2;
    }
    block = malloc(total * sizeof *block);
    if (!block) {
        *why = "out of memory";
        return NULL;
    }
    for (i = 0; i < req->header_count; i++) {
        const char *p;
        for (p = req->headers[i]; *p; p++) block[at++] = (wchar_t)(unsigned char)*p;
        block[at++] = L'\r';
        block[at++] = L'\n';
    }
    block[at] = L'\0';
    return block;
}

/*
 * Reports the answer's status and header lines to on_header. WinHTTP keeps them as UTF-16
 * lines, the status line first: "HTTP/1.1 200 OK", "Content-Type: ...", then an empty one.
 * Returns 1 when a callback asked to stop, 0 when all went, -1 with *why when the headers
 * could not be read.
 */
static int report_headers(HINTERNET request, const tessel_http_req *req, DWORD status,
                          const char **why, DWORD *code) {
    DWORD size = 0;
    wchar_t *raw;
    const wchar_t *line;
    char number[16];
    int stopped = 0;
    if (!req->on_header) return 0;
    snprintf(number, sizeof number, "%lu", (unsigned long)status);
    if (req->on_header(req->user, ":status", number) != 0) return 1;

    /* The first call only asks for the size in bytes, NULs included. */
    if (WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS, WINHTTP_HEADER_NAME_BY_INDEX,
                            WINHTTP_NO_OUTPUT_BUFFER, &size, WINHTTP_NO_HEADER_INDEX) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        *why = "reading the response headers failed";
        *code = GetLastError();
        return -1;
    }
    raw = malloc(size + 2 * sizeof *raw);
    if (!raw) {
        *why = "out of memory";
        *code = 0;
        return -1;
    }
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_RAW_HEADERS, WINHTTP_HEADER_NAME_BY_INDEX, raw,
                             &size, WINHTTP_NO_HEADER_INDEX)) {
        *why = "reading the response headers failed";
        *code = GetLastError();
        free(raw);
        return -1;
    }
    raw[size / sizeof *raw] = L'\0'; /* the block ends with an empty line whatever WinHTTP did */
    raw[size / sizeof *raw + 1] = L'\0';

    /* The first line is the status line, already reported as ":status". */
    for (line = raw + wcslen(raw) + 1; *line && !stopped; line += wcslen(line) + 1) {
        char *text = narrow(line);
        char *colon, *value;
        if (!text) {
            *why = "out of memory";
            *code = 0;
            free(raw);
            return -1;
        }
        colon = strchr(text, ':');
        if (colon && colon != text) {
            *colon = '\0';
            for (value = colon + 1; *value == ' ' || *value == '\t'; value++) continue;
            stopped = req->on_header(req->user, text, value) != 0;
        }
        free(text);
    }
    free(raw);
    return stopped;
}

/*
 * The table's request function: one exchange, run to its end before it returns. It may run on
 * several threads at once (the plug-in fetches pages in parallel when the settings ask it to):
 * each call has its own handles and buffers and shares only the session handle.
 */
static int32_t winhttp_request(void *user, const tessel_http_req *req, int32_t *status,
                               char **error) {
    const winhttp_transport *t = user;
    URL_COMPONENTS parts;
    wchar_t *url = NULL, *host = NULL, *method = NULL, *headers = NULL;
    HINTERNET connect = NULL, request = NULL;
    DWORD features = WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_COOKIES;
    DWORD answer_timeout = EXCHANGE_TIMEOUT_MS;
    DWORD code = 0, size = sizeof code, header_error = 0;
    unsigned char *piece = NULL;
    const char *why = NULL;
    int32_t rc = -1;
    int stopped;

    if (error) *error = NULL;
    if (status) *status = 0;
    if (!req || req->size < sizeof *req) return fail(error, "request record is too small", 0);
    if (!method_ok(req->method)) return fail(error, "request method is not an HTTP token", 0);
    if (!req->url || !req->url[0]) return fail(error, "request has no URL", 0);
    if (req->body_len > 0 && !req->body) return fail(error, "request body is missing", 0);
    if (req->body_len > 0xFFFFFFFFu) return fail(error, "request body is larger than 4 GiB", 0);

    headers = header_block(req, &why);
    if (!headers) return fail(error, why, 0);
    method = widen(req->method);
    url = widen(req->url);
    if (!method || !url) {
        fail(error, "request URL is not UTF-8, or memory ran out", 0);
        goto done;
    }

    /* The URL's parts, as pointers into url: the host, and the path with the query after it. */
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = (DWORD)-1;
    parts.dwUrlPathLength = (DWORD)-1;
    parts.dwExtraInfoLength = (DWORD)-1;
    if (!WinHttpCrackUrl(url, 0, 0, &parts)) {
        fail(error, "request URL is not an http or https URL", GetLastError());
        goto done;
    }
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0) {
        fail(error, "request URL is not an http or https URL", 0);
        goto done;
    }
    host = malloc(((size_t)parts.dwHostNameLength + 1) * sizeof *host);
    if (!host) {
        fail(error, "out of memory", 0);
        goto done;
    }
    memcpy(host, parts.lpszHostName, parts.dwHostNameLength * sizeof *host);
    host[parts.dwHostNameLength] = L'\0';
    /* The query follows the path in url; an empty path is "/". */
    if (parts.dwUrlPathLength == 0 && parts.dwExtraInfoLength == 0) parts.lpszUrlPath = L"/";

    connect = WinHttpConnect(t->session, host, parts.nPort, 0);
    if (!connect) {
        fail(error, "preparing the connection failed", GetLastError());
        goto done;
    }
    request = WinHttpOpenRequest(connect, method, parts.lpszUrlPath, NULL, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES,
                                 parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    if (!request) {
        fail(error, "preparing the request failed", GetLastError());
        goto done;
    }
    /* A redirect reaches the plug-in as the 3xx it is: following it would carry the
     * Authorization line to wherever it points. The plug-in sends every header it means to
     * send, so WinHTTP keeps no cookies between requests. And the wait for the answer's headers
     * has a timeout of its own that WinHttpSetTimeouts does not set (90 seconds by default on
     * Windows, none on Wine). */
    if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features) ||
        !WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &answer_timeout,
                          sizeof answer_timeout)) {
        fail(error, "setting up the request failed", GetLastError());
        goto done;
    }
    /* WinHTTP takes the body as LPVOID but only reads it. */
    if (!WinHttpSendRequest(request, headers[0] ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                            headers[0] ? (DWORD)-1L : 0, (LPVOID)req->body, (DWORD)req->body_len,
                            (DWORD)req->body_len, 0)) {
        fail(error, "sending the request failed", GetLastError());
        goto done;
    }
    if (!WinHttpReceiveResponse(request, NULL)) {
        fail(error, "no answer arrived", GetLastError());
        goto done;
    }
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &code, &size, WINHTTP_NO_HEADER_INDEX)) {
        fail(error, "reading the status failed", GetLastError());
        goto done;
    }

    stopped = report_headers(request, req, code, &why, &header_error);
    if (stopped < 0) {
        fail(error, why, header_error);
        goto done;
    }
    piece = malloc(BODY_PIECE);
    if (!piece) {
        fail(error, "out of memory", 0);
        goto done;
    }
    /* Synchronous reads: each waits for bytes and returns 0 bytes at the end of the body. */
    while (!stopped) {
        DWORD got = 0;
        if (!WinHttpReadData(request, piece, BODY_PIECE, &got)) {
            /* Part of a body is no answer: the plug-in must not take it for the whole. */
            fail(error, "reading the response body failed", GetLastError());
            goto done;
        }
        if (got == 0) break;
        if (req->on_body) stopped = req->on_body(req->user, piece, got) != 0;
    }
    /* A callback that stopped the delivery still received an answer; it knows why it stopped. */
    if (status) *status = (int32_t)code;
    rc = 0;

done:
    free(piece);
    if (request) WinHttpCloseHandle(request);
    if (connect) WinHttpCloseHandle(connect);
    free(host);
    free(url);
    free(method);
    free(headers);
    return rc;
}

/* The table's free slot: error texts come from this program's malloc. */
static void winhttp_free(void *user, void *mem) {
    (void)user;
    free(mem);
}

/* Opens the WinHTTP session and fills the records; 0, or -1 with the reason on stderr. */
static int transport_open(winhttp_transport *t) {
    memset(t, 0, sizeof *t);
    /* The system's proxy settings (netsh winhttp); WinHTTP verifies TLS certificates against
     * the system's store. */
    t->session = WinHttpOpen(L"kojelly-windows-host/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                             WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!t->session) {
        fprintf(stderr, "cannot start WinHTTP (error %lu)\n", (unsigned long)GetLastError());
        return -1;
    }
    if (!WinHttpSetTimeouts(t->session, CONNECT_TIMEOUT_MS, CONNECT_TIMEOUT_MS, EXCHANGE_TIMEOUT_MS,
                            EXCHANGE_TIMEOUT_MS)) {
        fprintf(stderr, "cannot set WinHTTP's timeouts (error %lu)\n",
                (unsigned long)GetLastError());
        WinHttpCloseHandle(t->session);
        t->session = NULL;
        return -1;
    }
    t->http.size = sizeof t->http;
    t->http.version = 1;
    t->http.user = t;
    t->http.request = winhttp_request;
    t->http.free = winhttp_free;
    t->ctx.magic = TESSEL_HTTP_CTX_MAGIC;
    t->ctx.size = sizeof t->ctx;
    t->ctx.http = &t->http;
    /* get and post stay NULL: they cannot carry the Authorization line, and the plug-in
     * refuses an io that only has them. */
    t->io.ctx = &t->ctx;
    return 0;
}

/* ---- The plug-in -------------------------------------------------------------------------- */

typedef struct plugin {
    HMODULE lib;
    kojelly_pfn_set_io set_io;
    kojelly_pfn_list list;
    kojelly_pfn_result_json result_json;
    kojelly_pfn_last_error last_error;
} plugin;

/* GetProcAddress's answer as a plain function pointer, to be cast to the export's type. */
static void (*export_of(HMODULE lib, const char *name))(void) {
    FARPROC p = GetProcAddress(lib, name);
    if (!p) fprintf(stderr, "kojelly.dll lacks the export %s\n", name);
    return (void (*)(void))p;
}

/*
 * Loads kojelly.dll from the program's own folder, by its full path: a bare name would let
 * Windows search further folders, the current one among them, for a DLL of that name.
 * 0, or -1 with the reason on stderr.
 */
static int plugin_load(plugin *p) {
    wchar_t path[MAX_PATH + 16];
    DWORD n = GetModuleFileNameW(NULL, path, MAX_PATH);
    wchar_t *slash;
    memset(p, 0, sizeof *p);
    if (n == 0 || n >= MAX_PATH) {
        fprintf(stderr, "cannot find the program's folder\n");
        return -1;
    }
    slash = wcsrchr(path, L'\\');
    wcscpy(slash ? slash + 1 : path, L"kojelly.dll");
    p->lib = LoadLibraryW(path);
    if (!p->lib) {
        fprintf(stderr, "cannot load kojelly.dll beside the program (error %lu)\n",
                (unsigned long)GetLastError());
        return -1;
    }
    p->set_io = (kojelly_pfn_set_io)export_of(p->lib, "kojelly_set_io");
    p->list = (kojelly_pfn_list)export_of(p->lib, "kojelly_list");
    p->result_json = (kojelly_pfn_result_json)export_of(p->lib, "kojelly_result_json");
    p->last_error = (kojelly_pfn_last_error)export_of(p->lib, "kojelly_last_error");
    if (!p->set_io || !p->list || !p->result_json || !p->last_error) {
        FreeLibrary(p->lib);
        p->lib = NULL;
        return -1;
    }
    return 0;
}

/* ---- Settings ----------------------------------------------------------------------------- */

/* Appends text as a JSON string at out, which has room for 6 bytes per byte of text plus 2. */
static char *json_string(char *out, const char *text) {
    *out++ = '"';
    for (; *text; text++) {
        unsigned char c = (unsigned char)*text;
        if (c == '"' || c == '\\') {
            *out++ = '\\';
            *out++ = (char)c;
        } else if (c < 0x20) {
            out += sprintf(out, "\\u%04x", c);
        } else {
            *out++ = (char)c;
        }
    }
    *out++ = '"';
    return out;
}

/* {"FullUrl":"...","APIKey":"..."}, malloc'ed; NULL when memory runs out. */
static char *settings_json(const char *server, const char *api_key) {
    size_t room = 32 + 6 * (strlen(server) + strlen(api_key));
    char *settings = malloc(room);
    char *at = settings;
    if (!settings) return NULL;
    at += sprintf(at, "{\"FullUrl\":");
    at = json_string(at, server);
    at += sprintf(at, ",\"APIKey\":");
    at = json_string(at, api_key);
    strcpy(at, "}");
    return settings;
}

/* ---- The program -------------------------------------------------------------------------- */

int main(int argc, char **argv) {
    const char *api_key = getenv("KOJELLY_API_KEY");
    winhttp_transport transport;
    plugin kojelly;
    char *settings;
    int32_t rc;

    if (argc != 2) {
        fprintf(stderr, "usage: windows_host SERVER_URL   (the API key in KOJELLY_API_KEY)\n");
        return 1;
    }
    if (!api_key || !api_key[0]) {
        fprintf(stderr, "set KOJELLY_API_KEY to an API key of the server\n");
        return 1;
    }
    /* argv is in the ANSI code page: a server address is ASCII there as in UTF-8. */
    settings = settings_json(argv[1], api_key);
    if (!settings) {
        fprintf(stderr, "out of memory\n");
        return 1;
    }
    if (plugin_load(&kojelly) != 0) {
        free(settings);
        return 1;
    }
    if (transport_open(&transport) != 0) {
        FreeLibrary(kojelly.lib);
        free(settings);
        return 1;
    }
    if (kojelly.set_io(&transport.io) != KOJELLY_OK) {
        fprintf(stderr, "the plug-in refused the transport\n");
        rc = KOJELLY_EUNSUPPORTED;
    } else {
        /* No output buffer: the answer, whatever its size, stays in this thread's result slot.
         * An empty folder id lists the root, the user's libraries. */
        rc = kojelly.list(settings, "", NULL, 0);
        if (rc == KOJELLY_OK)
            printf("%s\n", kojelly.result_json());
        else
            fprintf(stderr, "listing the libraries failed with status %d: %s\n", (int)rc,
                    kojelly.last_error());
        /* Deselect the transport before its records go; no call of the plug-in is running on
         * another thread, so they may go as soon as this returns. */
        kojelly.set_io(NULL);
    }

    WinHttpCloseHandle(transport.session);
    FreeLibrary(kojelly.lib);
    SecureZeroMemory(settings, strlen(settings)); /* it holds the API key */
    free(settings);
    return rc == KOJELLY_OK ? 0 : 1;
}
