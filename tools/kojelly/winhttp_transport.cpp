// The WinHTTP-backed request table of the kojelly tool; see http_transport.hpp. Each exchange
// runs synchronously on the calling thread. Redirects are followed here rather than by WinHTTP,
// so that Windows and Wine follow the same answers, rewrite the method as the libcurl transport
// does and never carry the caller's credentials to another origin.
#include "http_transport.hpp"

// windows.h first, as every Windows file of the tool includes it.
#include "windows_text.hpp"
#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "kojelly_version.hpp"
#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr int kMaxRedirects = 5;
constexpr DWORD kReadPiece = 64 * 1024;
// Servers whose connect handle a thread keeps: the API server and a media host are the usual two.
constexpr std::size_t kThreadServers = 4;
constexpr const char *kUserAgent = "kojelly-cli/" KOJELLY_VERSION_STRING;
constexpr const char *kBadUrl = "URL using bad/illegal format or missing URL";

// ---- Text ---------------------------------------------------------------------------------

// WinHTTP widens the bytes of an answer's head with a code page of its own (the ANSI one on
// Wine), which turns a UTF-8 value into mojibake. When the text goes back into that code page
// exactly and the bytes are UTF-8, they are the bytes that came; otherwise the text stands.
std::string head_text(std::wstring_view wide) {
    if (std::all_of(wide.begin(), wide.end(), [](wchar_t c) { return c < 0x80; }))
        return narrow(wide);
    if (wide.size() > INT_MAX) return {};
    const int n = static_cast<int>(wide.size());
    BOOL lossy = FALSE;
    const int len = WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), n, nullptr, 0,
                                        nullptr, &lossy);
    if (len > 0 && !lossy) {
        std::string bytes(static_cast<std::size_t>(len), '\0');
        WideCharToMultiByte(CP_ACP, WC_NO_BEST_FIT_CHARS, wide.data(), n, bytes.data(), len,
                            nullptr, &lossy);
        if (!lossy &&
            MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bytes.data(), len, nullptr, 0) > 0)
            return bytes;
    }
    return narrow(wide);
}

// The system's text for a code, WinHTTP's own message table first.
std::string winhttp_message(DWORD code) {
    return system_message(code, {}, GetModuleHandleW(L"winhttp.dll"));
}

// ---- Sessions -----------------------------------------------------------------------------

void close_internet(void *handle) noexcept {
    WinHttpCloseHandle(handle);
}
using Internet = Handle<void, close_internet>;

// The process's sessions, opened once and kept for the life of the process. Requests that
// bypass the proxy have a session of their own: a proxy setting on a single request is not
// honoured everywhere (Wine ignores it).
struct Sessions {
    HINTERNET proxied = nullptr;
    HINTERNET direct = nullptr;
    std::string error;  // why they could not be opened; empty when they were
};

// Wine's WinHTTP accepts the automatic access type but then connects directly; with the default
// access type it does read the configured proxy (its registry, else http_proxy).
bool on_wine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

const Sessions &sessions() {
    static Sessions s;
    static std::once_flag once;
    std::call_once(once, [] {
        std::wstring agent;
        widen(kUserAgent, agent);
        const auto open = [&agent](DWORD access) {
            return Internet(WinHttpOpen(agent.c_str(), access, WINHTTP_NO_PROXY_NAME,
                                        WINHTTP_NO_PROXY_BYPASS, 0));
        };
        // The automatic access type (the system's proxy settings, scripts included) came with
        // Windows 8.1; older systems refuse it and get the default one.
        Internet proxied;
        if (!on_wine()) proxied = open(WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
        if (!proxied) proxied = open(WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
        Internet direct;
        if (proxied) direct = open(WINHTTP_ACCESS_TYPE_NO_PROXY);
        if (!direct) {
            s.error = "WinHTTP: " + winhttp_message(GetLastError());
            return;
        }
        s.proxied = proxied.release();
        s.direct = direct.release();
    });
    return s;
}

// ---- Connections of a thread --------------------------------------------------------------

// A connect handle names a server; WinHTTP keeps the sockets themselves in its pool. Each thread
// keeps the handles of the last servers it reached, so that threads never share a handle.
struct Connection {
    HINTERNET session = nullptr;
    std::wstring host;
    INTERNET_PORT port = 0;
    Internet handle;
    bool busy = false;
};

struct ThreadConnections {
    std::vector<Connection> list;  // most recently used first
};

void WINAPI release_connections(void *block) {
    delete static_cast<ThreadConnections *>(block);
}

// A thread's connections hang from a fiber-local slot, whose callback Windows runs when the
// thread ends: the compiler's emulated thread_local does not run destructors reliably at thread
// end here, and would leave an ended thread's handles open. The slot is never freed; the end of
// the process runs the callback for the last thread.
std::vector<Connection> *thread_connections(bool make) {
    static const DWORD slot = FlsAlloc(release_connections);
    if (slot == FLS_OUT_OF_INDEXES) return nullptr;
    if (auto *mine = static_cast<ThreadConnections *>(FlsGetValue(slot))) return &mine->list;
    if (!make) return nullptr;
    auto fresh = std::make_unique<ThreadConnections>();
    if (!FlsSetValue(slot, fresh.get())) return nullptr;
    return &fresh.release()->list;
}

// The connect handle for one request. A request started from inside a callback of another one
// on the same thread, to the same server, gets a handle of its own, as the libcurl transport's
// nested requests get their own easy handle.
class Lease {
public:
    Lease(HINTERNET session, const std::wstring &host, INTERNET_PORT port) {
        std::vector<Connection> *kept = thread_connections(true);
        if (!kept) {
            own_ = connect(session, host, port);
            handle_ = own_.get();
            return;
        }
        auto &all = *kept;
        auto it = std::find_if(all.begin(), all.end(), [&](const Connection &c) {
            return c.session == session && c.port == port && c.host == host;
        });
        if (it != all.end() && it->busy) {
            own_ = connect(session, host, port);
            handle_ = own_.get();
            return;
        }
        if (it != all.end()) {
            std::rotate(all.begin(), it, it + 1);
        } else {
            Connection fresh;
            fresh.handle = connect(session, host, port);
            if (!fresh.handle) return;
            fresh.session = session;
            fresh.host = host;
            fresh.port = port;
            all.insert(all.begin(), std::move(fresh));
            for (std::size_t i = all.size(); i-- > 1 && all.size() > kThreadServers;) {
                if (!all[i].busy) all.erase(all.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        all.front().busy = true;
        handle_ = all.front().handle.get();
        shared_ = true;
    }
    ~Lease() {
        if (!shared_) return;
        // Requests nested in this one may have reordered the list, never dropped a busy entry.
        for (Connection &c : *thread_connections(false)) {
            if (c.handle.get() == handle_) c.busy = false;
        }
    }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;

    HINTERNET get() const { return handle_; }
    DWORD error() const { return error_; }

private:
    Internet connect(HINTERNET session, const std::wstring &host, INTERNET_PORT port) {
        Internet h(WinHttpConnect(session, host.c_str(), port, 0));
        if (!h) error_ = GetLastError();
        return h;
    }

    Internet own_;
    HINTERNET handle_ = nullptr;
    bool shared_ = false;
    DWORD error_ = ERROR_SUCCESS;
};

// ---- One request --------------------------------------------------------------------------

// What WinHTTP reported while a request ran, to name the cause of a failure. A resolve with a
// time limit may report from a thread of WinHTTP's own.
struct Progress {
    std::atomic<bool> resolving{false};
    std::atomic<bool> resolved{false};
    std::atomic<bool> connected{false};
    std::atomic<DWORD> secure_failure{0};  // WINHTTP_CALLBACK_STATUS_FLAG_* bits
};

constexpr DWORD kNotifications =
    WINHTTP_CALLBACK_FLAG_RESOLVE_NAME | WINHTTP_CALLBACK_FLAG_CONNECT_TO_SERVER |
    WINHTTP_CALLBACK_FLAG_SEND_REQUEST | WINHTTP_CALLBACK_FLAG_SECURE_FAILURE;

void CALLBACK on_status(HINTERNET, DWORD_PTR context, DWORD status, void *info, DWORD length) {
    auto *p = reinterpret_cast<Progress *>(context);
    if (!p) return;
    switch (status) {
        case WINHTTP_CALLBACK_STATUS_RESOLVING_NAME:
            p->resolving = true;
            break;
        case WINHTTP_CALLBACK_STATUS_NAME_RESOLVED:
            p->resolved = true;
            break;
        // A connection from the pool reports no connect, only the sending.
        case WINHTTP_CALLBACK_STATUS_CONNECTED_TO_SERVER:
        case WINHTTP_CALLBACK_STATUS_SENDING_REQUEST:
            p->connected = true;
            break;
        case WINHTTP_CALLBACK_STATUS_SECURE_FAILURE:
            if (info && length >= sizeof(DWORD)) p->secure_failure |= *static_cast<DWORD *>(info);
            break;
        default:
            break;
    }
}

void close_request(void *handle) noexcept {
    // No report may reach a Progress after its request.
    WinHttpSetStatusCallback(handle, nullptr, 0, 0);
    WinHttpCloseHandle(handle);
}
using Request = Handle<void, close_request>;

// Time limits of one exchange: the whole of it, and resolve plus connect within it. WinHTTP
// knows only limits per operation, so each operation gets what is left.
class Budget {
public:
    explicit Budget(const TransportOptions &o)
        : whole_(o.timeout_ms), connect_(o.connect_timeout_ms) {}
    long elapsed() const {
        const auto spent = std::chrono::steady_clock::now() - start_;
        return static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(spent).count());
    }
    double millis() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_)
            .count();
    }
    bool expired() const { return whole_ > 0 && elapsed() >= whole_; }
    // -1 for no limit; never 0, which some limits read as none.
    int io() const {
        if (whole_ <= 0) return -1;
        return static_cast<int>(std::clamp<long>(whole_ - elapsed(), 1, INT_MAX));
    }
    int connect() const {
        const int rest = io();
        if (connect_ <= 0) return rest;
        const int own = static_cast<int>(std::clamp<long>(connect_, 1, INT_MAX));
        return rest < 0 ? own : std::min(own, rest);
    }
    void apply(HINTERNET h) const {
        const int io_ms = io();
        WinHttpSetTimeouts(h, connect(), connect(), io_ms, io_ms);
        // Waiting for the answer's head has a limit of its own.
        DWORD head = io_ms < 0 ? INFINITE : static_cast<DWORD>(io_ms);
        WinHttpSetOption(h, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &head, sizeof head);
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
    long whole_;
    long connect_;
};

// Where a request goes: an absolute http(s) URL, cracked. Messages name host_text and the port,
// never the path or the query: those can hold a token.
struct Target {
    std::string url;  // as the caller wrote it, without the fragment
    bool secure = false;
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring object;  // path and query, ASCII only
    std::string host_text;
};

bool is_scheme_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '-' || c == '.';
}

// "http" of "http://host/"; empty when the text does not start with a scheme.
std::string_view scheme_of(std::string_view url) {
    const auto colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0 ||
        !std::isalpha(static_cast<unsigned char>(url[0])))
        return {};
    for (std::size_t i = 0; i < colon; ++i) {
        if (!is_scheme_char(url[i])) return {};
    }
    return url.substr(0, colon);
}

// Bytes that cannot travel in a request line (controls, space, DEL, non-ASCII) as %XX, so that
// WinHTTP sends the path exactly as given here, in no code page of its own.
std::string escape_target(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c <= 0x20 || c >= 0x7F) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += ch;
        }
    }
    return out;
}

// An error message when url cannot be requested.
std::string crack(std::string_view url, Target &t) {
    url = url.substr(0, url.find('#'));
    const std::string_view scheme = scheme_of(url);
    if (scheme.empty() || url.substr(scheme.size() + 1, 2) != "//") return kBadUrl;
    if (!iequals(scheme, "http") && !iequals(scheme, "https"))
        return "Protocol \"" + std::string(scheme) + "\" not supported";
    const std::size_t host_start = scheme.size() + 3;
    const std::size_t path_start = std::min(url.find_first_of("/?", host_start), url.size());
    for (const char c : url.substr(host_start, path_start - host_start)) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) return kBadUrl;
    }
    std::wstring wide;
    if (!widen(std::string(url.substr(0, path_start)) + escape_target(url.substr(path_start)),
               wide))
        return "URL is not UTF-8";
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(wide.c_str(), static_cast<DWORD>(wide.size()), 0, &parts) ||
        parts.dwHostNameLength == 0)
        return kBadUrl;
    t.url = std::string(url);
    t.secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    t.host.assign(parts.lpszHostName, parts.dwHostNameLength);
    t.port = parts.nPort;
    t.object.assign(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (t.object.empty()) t.object = L"/";
    if (parts.lpszExtraInfo) t.object.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    t.host_text = narrow(t.host);
    // Not every WinHTTP cracks a bracketed IPv6 address (Wine's does not): it is read here.
    const std::string_view authority = url.substr(host_start, path_start - host_start);
    const auto at = authority.rfind('@');
    const std::string_view server =
        at == std::string_view::npos ? authority : authority.substr(at + 1);
    if (server.starts_with('[')) {
        const auto close = server.find(']');
        if (close == std::string_view::npos) return kBadUrl;
        t.host_text = std::string(server.substr(0, close + 1));
        widen(t.host_text, t.host);
        const std::string_view port = server.substr(close + 1);
        if (port.size() > 1 && port[0] == ':') {
            unsigned long number = 0;
            for (const char c : port.substr(1)) {
                if (c < '0' || c > '9') return kBadUrl;
                number = number * 10 + static_cast<unsigned long>(c - '0');
                if (number > 65535) return kBadUrl;
            }
            t.port = static_cast<INTERNET_PORT>(number);
        } else if (!port.empty() && port != ":") {
            return kBadUrl;
        } else {
            t.port = t.secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT;
        }
    }
    return {};
}

bool same_origin(const Target &a, const Target &b) {
    return a.secure == b.secure && a.port == b.port && iequals(a.host_text, b.host_text);
}

// "/a/b/../c" as "/a/c".
std::string remove_dot_segments(std::string_view path) {
    const std::vector<std::string> segments = split(path.substr(1), '/');
    std::vector<std::string_view> kept;
    for (std::size_t i = 0; i < segments.size(); ++i) {
        const std::string &s = segments[i];
        const bool last = i + 1 == segments.size();
        if (s == "." || s == "..") {
            if (s == ".." && !kept.empty()) kept.pop_back();
            if (last) kept.emplace_back();  // "/a/.." names the folder "/"
        } else {
            kept.push_back(s);
        }
    }
    std::string out;
    for (const std::string_view s : kept) out.append("/").append(s);
    return out.empty() ? "/" : out;
}

// The absolute URL that a Location value names, relative to base (a cracked URL).
std::string resolve_location(std::string_view base, std::string_view location) {
    location = trim(location);
    location = location.substr(0, location.find('#'));
    if (!scheme_of(location).empty()) return std::string(location);
    const std::size_t scheme_end = base.find(':');
    if (location.starts_with("//"))
        return std::string(base.substr(0, scheme_end + 1)) + std::string(location);
    const std::size_t path_start = std::min(base.find_first_of("/?", scheme_end + 3), base.size());
    const std::string origin(base.substr(0, path_start));
    std::string_view base_path = base.substr(path_start);
    base_path = base_path.substr(0, base_path.find('?'));
    if (base_path.empty()) base_path = "/";
    if (location.empty()) return std::string(base);
    if (location[0] == '?') return origin + std::string(base_path) + std::string(location);
    const std::size_t query = std::min(location.find('?'), location.size());
    std::string path(location.substr(0, query));
    if (path.empty() || path[0] != '/')
        path = std::string(base_path.substr(0, base_path.rfind('/') + 1)) + path;
    return origin + remove_dot_segments(path) + std::string(location.substr(query));
}

bool is_followed(DWORD status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The value of a response header, or of the whole head; false when there is none.
bool query_text(HINTERNET h, DWORD info, std::wstring &out) {
    DWORD bytes = 0;
    WinHttpQueryHeaders(h, info, WINHTTP_HEADER_NAME_BY_INDEX, WINHTTP_NO_OUTPUT_BUFFER, &bytes,
                        WINHTTP_NO_HEADER_INDEX);
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
    out.assign(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!WinHttpQueryHeaders(h, info, WINHTTP_HEADER_NAME_BY_INDEX, out.data(), &bytes,
                             WINHTTP_NO_HEADER_INDEX))
        return false;
    out.resize(bytes / sizeof(wchar_t));
    return true;
}

// The header lines of a head as WinHTTP returns it (CRLF lines, the status line first), read as
// the libcurl transport reads them.
HeaderList parse_head(std::string_view head) {
    HeaderList out;
    bool status_line = true;
    while (!head.empty()) {
        const auto end = head.find('\n');
        std::string_view line = head.substr(0, end);
        head = end == std::string_view::npos ? std::string_view() : head.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (std::exchange(status_line, false)) continue;
        if (line.empty()) break;
        add_head_line(out, line);
    }
    return out;
}

// ---- Failures -----------------------------------------------------------------------------

std::string server_of(const Target &t) {
    return t.host_text + " port " + std::to_string(t.port);
}

std::string timed_out(const Budget &b, std::uint64_t bytes) {
    return "Operation timed out after " + std::to_string(b.elapsed()) + " milliseconds with " +
           std::to_string(bytes) + " bytes received";
}

// Certificate problems come as flags of WINHTTP_CALLBACK_STATUS_SECURE_FAILURE on Windows and
// as the error itself on Wine. Empty when code is no TLS failure.
std::string tls_failure(DWORD code, DWORD flags, const Target &t) {
    const auto is = [&](DWORD flag, DWORD error) { return (flags & flag) != 0 || code == error; };
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED, ERROR_WINHTTP_SECURE_CERT_REVOKED))
        return "TLS: the server's certificate has been revoked";
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA, ERROR_WINHTTP_SECURE_INVALID_CA))
        return "TLS: the server's certificate is not trusted";
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID, ERROR_WINHTTP_SECURE_CERT_CN_INVALID))
        return "TLS: the server's certificate does not match " + t.host_text;
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID, ERROR_WINHTTP_SECURE_CERT_DATE_INVALID))
        return "TLS: the server's certificate has expired or is not yet valid";
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE, ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE))
        return "TLS: the server's certificate is not meant for a server";
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_CERT_REV_FAILED, ERROR_WINHTTP_SECURE_CERT_REV_FAILED))
        return "TLS: the revocation of the server's certificate could not be checked";
    if (is(WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT, ERROR_WINHTTP_SECURE_INVALID_CERT))
        return "TLS: the server's certificate is invalid";
    if (flags != 0 || code == ERROR_WINHTTP_SECURE_FAILURE ||
        code == ERROR_WINHTTP_SECURE_CHANNEL_ERROR)
        return "TLS handshake with " + t.host_text + " failed";
    return {};
}

enum class Stage { send, receive };

std::string describe(DWORD code, Stage stage, const Target &t, const Progress &p, const Budget &b,
                     std::uint64_t bytes) {
    if (std::string tls = tls_failure(code, p.secure_failure, t); !tls.empty()) return tls;
    switch (code) {
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return "out of memory";
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return "Could not resolve host: " + t.host_text;
        // WinHTTP reports a refused connection and an unreachable host alike.
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return "Failed to connect to " + server_of(t) +
                   ": connection refused or host unreachable";
        // Wine passes the socket's own errors through.
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:
            if (b.expired() || p.connected) return timed_out(b, bytes);
            if (p.resolving && !p.resolved)
                return "Could not resolve host: " + t.host_text + " (timed out after " +
                       std::to_string(b.elapsed()) + " milliseconds)";
            return "Failed to connect to " + server_of(t) + ": timed out after " +
                   std::to_string(b.elapsed()) + " milliseconds";
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case WSAECONNRESET:
        case WSAECONNABORTED:
            if (!p.connected) return "Failed to connect to " + server_of(t) + ": connection reset";
            return std::string(stage == Stage::send ? "Send" : "Recv") +
                   " failure: the connection to " + server_of(t) + " was reset";
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return "the server's answer is not HTTP";
        default:
            return winhttp_message(code);
    }
}

// Why a request that brought no answer failed, told as describe tells it.
TransportFailure failure_of(DWORD code, const Progress &p) {
    constexpr DWORD kCertificateFlags =
        WINHTTP_CALLBACK_STATUS_FLAG_CERT_REVOKED | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CA |
        WINHTTP_CALLBACK_STATUS_FLAG_CERT_CN_INVALID |
        WINHTTP_CALLBACK_STATUS_FLAG_CERT_DATE_INVALID |
        WINHTTP_CALLBACK_STATUS_FLAG_CERT_WRONG_USAGE | WINHTTP_CALLBACK_STATUS_FLAG_INVALID_CERT;
    if ((p.secure_failure & kCertificateFlags) != 0) return TransportFailure::certificate;
    switch (code) {
        case ERROR_WINHTTP_SECURE_CERT_REVOKED:
        case ERROR_WINHTTP_SECURE_INVALID_CA:
        case ERROR_WINHTTP_SECURE_CERT_CN_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_DATE_INVALID:
        case ERROR_WINHTTP_SECURE_CERT_WRONG_USAGE:
        case ERROR_WINHTTP_SECURE_INVALID_CERT:
            return TransportFailure::certificate;
        case ERROR_WINHTTP_SECURE_FAILURE:
        case ERROR_WINHTTP_SECURE_CHANNEL_ERROR:
            return TransportFailure::tls_handshake;
        case ERROR_WINHTTP_NAME_NOT_RESOLVED:
            return TransportFailure::cannot_resolve;
        case ERROR_WINHTTP_CANNOT_CONNECT:
            return TransportFailure::cannot_connect;
        case ERROR_WINHTTP_TIMEOUT:
        case WSAETIMEDOUT:
            return TransportFailure::timeout;
        case ERROR_WINHTTP_CONNECTION_ERROR:
        case WSAECONNRESET:
        case WSAECONNABORTED:
            return p.connected ? TransportFailure::no_http_answer
                               : TransportFailure::cannot_connect;
        case ERROR_WINHTTP_INVALID_SERVER_RESPONSE:
            return TransportFailure::no_http_answer;
        default:
            return p.secure_failure != 0 ? TransportFailure::tls_handshake
                                         : TransportFailure::other;
    }
}

// ---- The exchange -------------------------------------------------------------------------

struct Line {
    std::wstring text;
    bool credential = false;  // dropped when a redirect leaves the origin, as libcurl drops it
};

// Checks the record and converts its header lines. An empty message means the request may go.
std::string prepare_headers(const tessel_http_req &req, std::vector<Line> &lines, bool &has_range) {
    return take_header_lines(req, [&](const RequestLine &line) -> std::string {
        has_range = has_range || iequals(line.name, "Range");
        Line converted;
        if (!widen(line.text, converted.text)) return "request header line is not UTF-8";
        converted.credential = iequals(line.name, "Authorization") || iequals(line.name, "Cookie");
        lines.push_back(std::move(converted));
        return {};
    });
}

// The request handle's settings besides the time limits. Empty when all took.
std::string configure(HINTERNET h, const TransportOptions &o, bool has_range, bool secure) {
    // Cookies are the caller's business, as they are with libcurl, and redirects are followed
    // here.
    DWORD off = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
    if (!WinHttpSetOption(h, WINHTTP_OPTION_DISABLE_FEATURE, &off, sizeof off))
        return "WinHTTP: " + winhttp_message(GetLastError());
    if (secure && o.insecure) {
        DWORD ignore = SECURITY_FLAG_IGNORE_UNKNOWN_CA | SECURITY_FLAG_IGNORE_CERT_DATE_INVALID |
                       SECURITY_FLAG_IGNORE_CERT_CN_INVALID | SECURITY_FLAG_IGNORE_CERT_WRONG_USAGE;
        if (!WinHttpSetOption(h, WINHTTP_OPTION_SECURITY_FLAGS, &ignore, sizeof ignore))
            return "WinHTTP: " + winhttp_message(GetLastError());
    }
    // Compressed answers are welcome for API calls; a byte range must come as stored. Where
    // WinHTTP cannot decompress (Wine) it refuses the option and asks for no compression.
    if (!has_range) {
        DWORD all = WINHTTP_DECOMPRESSION_FLAG_ALL;
        WinHttpSetOption(h, WINHTTP_OPTION_DECOMPRESSION, &all, sizeof all);
    }
    return {};
}

class Exchange {
public:
    Exchange(const TransportOptions &o, const tessel_http_req &req, const std::vector<Line> &lines,
             bool has_range, const Budget &budget)
        : o_(o), req_(req), lines_(lines), has_range_(has_range), budget_(budget) {}

    ExchangeOutcome run() {
        const Sessions &s = sessions();
        if (!s.error.empty()) return failed(s.error);
        const HINTERNET session = o_.bypass_proxy ? s.direct : s.proxied;
        Target target;
        if (std::string bad = crack(req_.url, target); !bad.empty()) return failed(bad);
        std::wstring method;
        widen(req_.method, method);
        const void *body = req_.body_len > 0 ? req_.body : nullptr;
        auto body_len = static_cast<DWORD>(req_.body_len);
        bool credentials = true;

        for (int hop = 0;; ++hop) {
            Lease lease(session, target.host, target.port);
            if (!lease.get()) return failed("WinHTTP: " + winhttp_message(lease.error()));
            const DWORD flags = WINHTTP_FLAG_ESCAPE_DISABLE | WINHTTP_FLAG_ESCAPE_DISABLE_QUERY |
                                (target.secure ? WINHTTP_FLAG_SECURE : 0);
            Progress progress;
            const Request h(WinHttpOpenRequest(lease.get(), method.c_str(), target.object.c_str(),
                                               nullptr, WINHTTP_NO_REFERER,
                                               WINHTTP_DEFAULT_ACCEPT_TYPES, flags));
            if (!h) return failed("WinHTTP: " + winhttp_message(GetLastError()));
            if (std::string bad = configure(h.get(), o_, has_range_, target.secure); !bad.empty())
                return failed(bad);
            for (const Line &line : lines_) {
                if (line.credential && !credentials) continue;
                if (!WinHttpAddRequestHeaders(h.get(), line.text.c_str(),
                                              static_cast<DWORD>(line.text.size()),
                                              WINHTTP_ADDREQ_FLAG_ADD)) {
                    const DWORD code = GetLastError();
                    return failed(code == ERROR_WINHTTP_INVALID_HEADER
                                      ? "request header line is not valid"
                                      : "WinHTTP: " + winhttp_message(code));
                }
            }
            WinHttpSetStatusCallback(h.get(), on_status, kNotifications, 0);

            if (budget_.expired()) return failed(timed_out(budget_, 0), TransportFailure::timeout);
            budget_.apply(h.get());
            // No Content-Type and no Expect: 100-continue unless the caller's lines say so;
            // WinHTTP adds neither.
            if (!WinHttpSendRequest(h.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                    const_cast<void *>(body), body_len, body_len,
                                    reinterpret_cast<DWORD_PTR>(&progress))) {
                const DWORD code = GetLastError();
                return failed(describe(code, Stage::send, target, progress, budget_, 0),
                              failure_of(code, progress));
            }
            budget_.apply(h.get());
            if (!WinHttpReceiveResponse(h.get(), nullptr)) {
                const DWORD code = GetLastError();
                return failed(describe(code, Stage::receive, target, progress, budget_, 0),
                              failure_of(code, progress));
            }
            DWORD status = 0;
            DWORD size = sizeof status;
            if (!WinHttpQueryHeaders(h.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                     WINHTTP_HEADER_NAME_BY_INDEX, &status, &size,
                                     WINHTTP_NO_HEADER_INDEX))
                return failed("the server's answer is not HTTP", TransportFailure::no_http_answer);

            std::wstring location;
            if (o_.follow_redirects && is_followed(status) &&
                query_text(h.get(), WINHTTP_QUERY_LOCATION, location) && !location.empty()) {
                if (hop == kMaxRedirects)
                    return failed("Maximum (" + std::to_string(kMaxRedirects) +
                                  ") redirects followed");
                Target next;
                if (std::string bad =
                        crack(resolve_location(target.url, head_text(location)), next);
                    !bad.empty())
                    return failed(bad);
                credentials = credentials && same_origin(target, next);
                // As libcurl: 303 turns everything but HEAD into GET, 301 and 302 turn POST into
                // GET, 307 and 308 keep the method and the body.
                const bool to_get = status == 303
                                        ? method != L"HEAD"
                                        : (status == 301 || status == 302) && method == L"POST";
                if (to_get) {
                    method = L"GET";
                    body = nullptr;
                    body_len = 0;
                }
                target = std::move(next);
                continue;
            }
            out_.answered = true;
            out_.status = static_cast<std::int32_t>(status);
            if (std::string bad = deliver(h.get(), method == L"HEAD", target, progress);
                !bad.empty()) {
                out_.answered = false;
                return failed(bad);
            }
            return out_;
        }
    }

private:
    ExchangeOutcome failed(std::string message,
                           TransportFailure failure = TransportFailure::other) {
        out_.error = std::move(message);
        out_.failure = failure;
        return out_;
    }

    // Hands the final answer to the record's callbacks. A callback's stop is no failure; an
    // empty message means the answer arrived.
    std::string deliver(HINTERNET h, bool head, const Target &target, const Progress &progress) {
        std::wstring raw;
        const HeaderList headers = query_text(h, WINHTTP_QUERY_RAW_HEADERS_CRLF, raw)
                                       ? parse_head(head_text(raw))
                                       : HeaderList();
        if (!deliver_head(req_, out_.status, headers)) return {};
        // A HEAD answer is read too, to its empty end, so that its connection goes back to the
        // pool.
        std::vector<char> piece(kReadPiece);
        for (;;) {
            if (budget_.expired()) return timed_out(budget_, out_.bytes);
            budget_.apply(h);
            DWORD available = 0;
            if (!WinHttpQueryDataAvailable(h, &available))
                return describe(GetLastError(), Stage::receive, target, progress, budget_,
                                out_.bytes);
            if (available == 0) return {};
            DWORD got = 0;
            if (!WinHttpReadData(h, piece.data(), std::min(available, kReadPiece), &got))
                return describe(GetLastError(), Stage::receive, target, progress, budget_,
                                out_.bytes);
            if (got == 0 || head) return {};
            out_.bytes += got;
            // Closing the request without reading to the end drops its connection at once.
            if (req_.on_body && req_.on_body(req_.user, piece.data(), got) != 0) return {};
        }
    }

    const TransportOptions &o_;
    const tessel_http_req &req_;
    const std::vector<Line> &lines_;
    const bool has_range_;
    const Budget &budget_;
    ExchangeOutcome out_;
};

}  // namespace

std::int32_t HttpTransport::perform(const TransportOptions &options, const tessel_http_req *req,
                                    std::int32_t *status, char **error, TransportFailure &failure) {
    // WinHTTP takes a body of one DWORD's length in one call.
    if (req->body_len > MAXDWORD)
        return transport_error(error, "request body is larger than 4 GiB");

    std::vector<Line> lines;
    bool has_range = false;
    if (std::string bad = prepare_headers(*req, lines, has_range); !bad.empty())
        return transport_error(error, bad);

    const Budget budget(options);
    const ExchangeOutcome out = Exchange(options, *req, lines, has_range, budget).run();
    return finish(options, *req, out, budget.millis(), status, error, failure);
}

bool HttpTransport::global_init(std::string &error) {
    try {
        const Sessions &s = sessions();
        if (s.error.empty()) return true;
        error = s.error;
    } catch (...) {
        error = "WinHTTP: out of memory";
    }
    return false;
}

void HttpTransport::close_thread_connections() {
    if (std::vector<Connection> *kept = thread_connections(false))
        std::erase_if(*kept, [](const Connection &c) { return !c.busy; });
}

}  // namespace kojelly::cli
