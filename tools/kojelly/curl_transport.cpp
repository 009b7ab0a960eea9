// The libcurl-backed request table of the kojelly tool; see http_transport.hpp.
#include <curl/curl.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <utility>
#include <vector>

#include "http_transport.hpp"
#include "kojelly_version.hpp"
#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr long kMaxRedirects = 5;
constexpr const char *kUserAgent = "kojelly-cli/" KOJELLY_VERSION_STRING;
constexpr const char *kProtocols = "http,https";

using Easy = Handle<CURL, curl_easy_cleanup>;
using Slist = Handle<curl_slist, curl_slist_free_all>;

// Each thread keeps one easy handle between requests, so that consecutive requests to a server
// reuse its connection. A request started from inside a callback of another one on the same
// thread cannot share that handle and gets a fresh one.
thread_local Easy t_handle;
thread_local bool t_handle_busy = false;

class Lease {
public:
    Lease() {
        if (t_handle_busy) {
            own_.reset(curl_easy_init());
            handle_ = own_.get();
            return;
        }
        if (t_handle) {
            curl_easy_reset(t_handle.get());
        } else {
            t_handle.reset(curl_easy_init());
        }
        handle_ = t_handle.get();
        shared_ = handle_ != nullptr;
        t_handle_busy = shared_;
    }
    ~Lease() {
        if (shared_) t_handle_busy = false;
    }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    CURL *get() const { return handle_; }

private:
    Easy own_;
    CURL *handle_ = nullptr;
    bool shared_ = false;
};

// The state of one exchange while libcurl runs it. Headers are held per response block and
// handed over only when the body starts or the exchange ends, so that interim (1xx) answers,
// proxy CONNECT answers and followed redirects never reach the caller: it sees exactly one
// answer, the final one.
struct Exchange {
    const tessel_http_req *req = nullptr;
    std::int32_t status = 0;
    HeaderList headers;
    bool delivered = false;
    bool stopped = false;
    std::uint64_t bytes = 0;
};

// "HTTP/1.1 206 Partial Content" or "HTTP/2 200": the three digits after the first space.
std::int32_t status_of(std::string_view line) {
    const auto space = line.find(' ');
    if (space == std::string_view::npos) return 0;
    std::int32_t code = 0;
    for (std::size_t i = space + 1; i < line.size() && i < space + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return 0;
        code = code * 10 + (line[i] - '0');
    }
    return code;
}

// Returns false when a callback asked to stop.
bool deliver_headers(Exchange &x) {
    x.delivered = true;
    x.stopped = !deliver_head(*x.req, x.status, x.headers);
    return !x.stopped;
}

std::size_t header_line(char *data, std::size_t size, std::size_t count, void *user) noexcept {
    auto &x = *static_cast<Exchange *>(user);
    const std::size_t total = size * count;
    // After the body, libcurl passes trailers here; they are not part of the answer.
    if (x.delivered) return total;
    const std::string_view line = trim(std::string_view(data, total));
    try {
        if (line.starts_with("HTTP/")) {
            x.status = status_of(line);
            x.headers.clear();
        } else {
            // An empty line ends a block; the next status line, the body or the end decides
            // what it was.
            add_head_line(x.headers, std::string_view(data, total));
        }
    } catch (...) {
        return 0;  // out of memory: abort the transfer
    }
    return total;
}

std::size_t body_piece(char *data, std::size_t size, std::size_t count, void *user) noexcept {
    auto &x = *static_cast<Exchange *>(user);
    const std::size_t total = size * count;
    if (x.stopped) return 0;
    if (!x.delivered && !deliver_headers(x)) return 0;
    if (total == 0) return 0;
    x.bytes += total;
    if (x.req->on_body && x.req->on_body(x.req->user, data, total) != 0) {
        x.stopped = true;
        return 0;  // anything short of total makes libcurl end the transfer
    }
    return total;
}

// Checks the record and builds the header list. An empty message means the request may go.
std::string prepare_headers(const tessel_http_req &req, Slist &list, bool &has_type,
                            bool &has_range) {
    return take_header_lines(req, [&](const RequestLine &line) -> std::string {
        const auto [text, name] = line;
        has_type = has_type || iequals(name, "Content-Type");
        has_range = has_range || iequals(name, "Range");
        // libcurl reads "Name:" with nothing after it as "do not send Name"; "Name;" is its
        // spelling of a header with an empty value.
        std::string entry(text);
        if (trim(text.substr(name.size() + 1)).empty()) entry = std::string(name) + ";";
        curl_slist *next = curl_slist_append(list.get(), entry.c_str());
        if (!next) return "out of memory";
        list.release();
        list.reset(next);
        return {};
    });
}

void set_method(CURL *h, const tessel_http_req &req) {
    const std::string_view method(req.method);
    const bool has_body = req.body_len > 0;
    if (method == "GET" && !has_body) {
        curl_easy_setopt(h, CURLOPT_HTTPGET, 1L);
        return;
    }
    if (method == "HEAD") {
        curl_easy_setopt(h, CURLOPT_NOBODY, 1L);
        return;
    }
    if (has_body || method == "POST") {
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(req.body_len));
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, has_body ? req.body : "");
    }
    if (method != "POST") curl_easy_setopt(h, CURLOPT_CUSTOMREQUEST, req.method);
}

void set_transfer_options(CURL *h, const TransportOptions &o, bool has_range) {
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(h, CURLOPT_USERAGENT, kUserAgent);
#if LIBCURL_VERSION_NUM >= 0x075500
    curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, kProtocols);
    curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, kProtocols);
#endif
    curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, o.follow_redirects ? 1L : 0L);
    curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT_MS, o.connect_timeout_ms);
    curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, o.timeout_ms);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, o.insecure ? 0L : 1L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, o.insecure ? 0L : 2L);
    if (o.bypass_proxy) curl_easy_setopt(h, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(h, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    // Compressed answers are welcome for API calls; a byte range must come as stored.
    if (!has_range) curl_easy_setopt(h, CURLOPT_ACCEPT_ENCODING, "");
}

// Why an exchange that brought no answer failed. Once a status line has come, the server did
// speak HTTP, whatever cut the answer short.
TransportFailure failure_of(CURLcode rc, bool status_seen) {
    switch (rc) {
        case CURLE_COULDNT_RESOLVE_HOST:
            return TransportFailure::cannot_resolve;
        case CURLE_COULDNT_CONNECT:
            return TransportFailure::cannot_connect;
        case CURLE_SSL_CONNECT_ERROR:
            return TransportFailure::tls_handshake;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_INVALIDCERTSTATUS:
            return TransportFailure::certificate;
        case CURLE_OPERATION_TIMEDOUT:
            return TransportFailure::timeout;
        // An empty reply, a reset, or bytes that are no HTTP answer (libcurl refuses a reply
        // without a status line as HTTP/0.9).
        case CURLE_GOT_NOTHING:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR:
        case CURLE_WEIRD_SERVER_REPLY:
        case CURLE_UNSUPPORTED_PROTOCOL:
            return status_seen ? TransportFailure::other : TransportFailure::no_http_answer;
        default:
            return TransportFailure::other;
    }
}

}  // namespace

std::int32_t HttpTransport::perform(const TransportOptions &options, const tessel_http_req *req,
                                    std::int32_t *status, char **error, TransportFailure &failure) {

    Slist headers;
    bool has_type = false;
    bool has_range = false;
    if (std::string bad = prepare_headers(*req, headers, has_type, has_range); !bad.empty())
        return transport_error(error, bad);
    // No 100-continue round trip; and no form content type unless the caller named one.
    for (const char *extra : {"Expect:", has_type ? nullptr : "Content-Type:"}) {
        if (!extra) continue;
        curl_slist *next = curl_slist_append(headers.get(), extra);
        if (!next) return transport_error(error, "out of memory");
        headers.release();
        headers.reset(next);
    }

    Lease lease;
    CURL *h = lease.get();
    if (!h) return transport_error(error, "cannot create a libcurl handle");

    Exchange x;
    x.req = req;
    std::array<char, CURL_ERROR_SIZE> errbuf{};
    curl_easy_setopt(h, CURLOPT_URL, req->url);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errbuf.data());
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, headers.get());
    curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, header_line);
    curl_easy_setopt(h, CURLOPT_HEADERDATA, &x);
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, body_piece);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &x);
    set_transfer_options(h, options, has_range);
    set_method(h, *req);

    const auto started = std::chrono::steady_clock::now();
    const CURLcode rc = curl_easy_perform(h);
    if (rc == CURLE_OK && !x.delivered) deliver_headers(x);
    long code = 0;
    curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &code);
    // libcurl keeps the handle's last settings; the list and the exchange die with this call.
    curl_easy_setopt(h, CURLOPT_HTTPHEADER, nullptr);
    curl_easy_setopt(h, CURLOPT_ERRORBUFFER, nullptr);

    // A transfer that a callback stopped still brought an answer; the caller's collector knows
    // why it stopped.
    ExchangeOutcome out;
    out.answered = rc == CURLE_OK || (x.stopped && rc == CURLE_WRITE_ERROR);
    out.status = static_cast<std::int32_t>(code);
    out.bytes = x.bytes;
    if (!out.answered) {
        out.error = errbuf[0] ? std::string(trim(errbuf.data())) : curl_easy_strerror(rc);
        out.failure = failure_of(rc, x.status != 0);
    }
    const double millis =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started)
            .count();
    return finish(options, *req, out, millis, status, error, failure);
}

bool HttpTransport::global_init(std::string &error) {
    static std::once_flag once;
    static CURLcode result = CURLE_OK;
    std::call_once(once, [] { result = curl_global_init(CURL_GLOBAL_DEFAULT); });
    if (result != CURLE_OK) error = std::string("libcurl: ") + curl_easy_strerror(result);
    return result == CURLE_OK;
}

void HttpTransport::close_thread_connections() {
    if (!t_handle_busy) t_handle.reset();
}

}  // namespace kojelly::cli
