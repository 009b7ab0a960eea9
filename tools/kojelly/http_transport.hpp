// The tool's HTTP transport: an http-backed tessel_io whose request table runs each exchange with
// the system's HTTP stack, which is all a host has to provide for the plug-in to reach a server:
// libcurl on Linux (curl_transport.cpp), WinHTTP on Windows (winhttp_transport.cpp). It owns the
// io, its tessel_http_ctx and the tessel_http table (one object, never moved, so the pointers
// the plug-in keeps stay valid), and the settings: TLS verified against the system's
// certificates (or not at all with `insecure`), the system's proxies (libcurl reads them from
// the environment, WinHTTP from the system's settings), timeouts, and whether redirects are
// followed (never for API calls, so a misconfigured address shows up as the 3xx it is).
// Response headers reach the record's on_header after the ":status" pseudo-header, the body
// reaches on_body in the pieces the stack receives, and a callback's non-zero answer stops the
// transfer at once. Each calling thread keeps its own connection between requests, so that
// threads never wait for each other. The transport also keeps a short record of its exchanges
// (why the last one brought no answer, the last status, whether any answer or success came), from
// which the tool chooses a hint after a failure without reading the plug-in's words.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tessel_http.h"

namespace kojelly::cli {

// What one finished exchange looked like, for --verbose. The url is the one the plug-in sent,
// credentials included: redact it before showing it.
struct TransportTrace {
    std::string_view method;
    std::string_view url;
    std::int32_t status = 0;  // 0 when no answer arrived
    std::uint64_t bytes = 0;  // body bytes delivered
    double millis = 0;
    std::string_view error;  // empty when an answer arrived
};

// Why an exchange brought no answer, as far as the HTTP stack tells, in terms of no stack in
// particular.
enum class TransportFailure {
    none,            // an answer arrived
    cannot_resolve,  // the host name is not known
    cannot_connect,  // the connection was refused, or the host is unreachable
    tls_handshake,   // the TLS handshake failed, as it does with a server that speaks plain HTTP
    certificate,     // the server's certificate was not accepted
    no_http_answer,  // connected, but the connection ended before a status line, or what came
                     // back was not HTTP, as with a server that expects TLS
    timeout,
    other,
};

// What a transport's exchanges have looked like so far.
struct TransportRecord {
    TransportFailure last_failure = TransportFailure::none;  // of the last exchange
    std::int32_t last_status = 0;  // the last exchange's status; 0 when it brought no answer
    bool answered = false;         // some exchange brought an answer
    bool succeeded = false;        // some answer had a 2xx status
};

struct TransportOptions {
    bool insecure = false;          // skip certificate and host-name checks
    bool follow_redirects = false;  // media fetches may follow; API calls never do
    bool bypass_proxy = false;      // for the loopback demo server
    long connect_timeout_ms = 10000;
    long timeout_ms = 60000;  // whole exchange; 0 = no limit
    std::function<void(const TransportTrace &)> trace;
};

// How one exchange on a system's HTTP stack ended.
struct ExchangeOutcome {
    bool answered = false;
    std::int32_t status = 0;
    std::uint64_t bytes = 0;  // body bytes delivered
    std::string error;        // why no answer arrived; empty when one did
    TransportFailure failure = TransportFailure::other;  // when no answer arrived
};

class HttpTransport {
public:
    explicit HttpTransport(TransportOptions options);
    HttpTransport(const HttpTransport &) = delete;
    HttpTransport &operator=(const HttpTransport &) = delete;

    // Once per process, before the first request and before any thread starts one. False with
    // a message that names the HTTP stack when it cannot start.
    [[nodiscard]] static bool global_init(std::string &error);

    // Closes the connections that the calling thread keeps open between requests, so that a
    // server shutting down need not wait for them to time out.
    static void close_thread_connections();

    // The io to hand to kojelly_set_io or to a handler; valid while this object lives.
    const tessel_io *io() const { return &io_; }
    const tessel_http *http() const { return &http_; }

    // The exchanges so far; safe while requests run on other threads.
    TransportRecord record() const;

private:
    static std::int32_t request(void *user, const tessel_http_req *req, std::int32_t *status,
                                char **error) noexcept;
    // One exchange on the system's HTTP stack (curl_transport.cpp, winhttp_transport.cpp), with
    // request's contract, for a record that request has found sound (its size, method, URL and
    // body); request catches what it throws. When no answer arrives, failure says why (it is
    // `other` on entry).
    static std::int32_t perform(const TransportOptions &options, const tessel_http_req *req,
                                std::int32_t *status, char **error, TransportFailure &failure);
    // The end of perform once the stack has run the exchange: shows it to options.trace, then
    // answers as perform does (0 with *status set, or -1 with the error text and failure).
    static std::int32_t finish(const TransportOptions &options, const tessel_http_req &req,
                               const ExchangeOutcome &out, double millis, std::int32_t *status,
                               char **error, TransportFailure &failure);
    static void release(void *user, void *mem) noexcept;
    void note(TransportFailure failure, std::int32_t status);

    TransportOptions options_;
    mutable std::mutex record_mutex_;
    TransportRecord record_;
    tessel_http http_{};
    tessel_http_ctx ctx_{};
    tessel_io io_{};
};

// ---- Parts of an exchange that every system's stack shares ----------------------------------

// -1, with a copy of message in *error (error may be NULL): a request that brought no answer.
std::int32_t transport_error(char **error, std::string_view message);

// One header line of a request record: its whole text and the name before its colon.
struct RequestLine {
    std::string_view text;
    std::string_view name;
};

// Checks the record's header lines in order, each present, without a line break and with a name
// before its colon, and hands each sound one to take, which may refuse it with a message. The
// first refusal ends the walk and is returned; an empty message means every line was taken.
std::string take_header_lines(const tessel_http_req &req,
                              const std::function<std::string(const RequestLine &)> &take);

// An answer's header lines, name and value, in arrival order.
using HeaderList = std::vector<std::pair<std::string, std::string>>;

// Adds one line of an answer's head (without its line end) to headers: a line that starts with a
// blank continues the header before it (obsolete line folding, joined by one space) and is passed
// over when none came before; any other line with a colon is a header, name and value trimmed;
// blank lines and the rest are passed over.
void add_head_line(HeaderList &headers, std::string_view line);

// Hands the status as the pseudo-header ":status", then the headers, to the record's on_header;
// false when it asked to stop.
bool deliver_head(const tessel_http_req &req, std::int32_t status, const HeaderList &headers);

}  // namespace kojelly::cli
