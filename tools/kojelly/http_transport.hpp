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
// threads never wait for each other.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

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

struct TransportOptions {
    bool insecure = false;          // skip certificate and host-name checks
    bool follow_redirects = false;  // media fetches may follow; API calls never do
    bool bypass_proxy = false;      // for the loopback demo server
    long connect_timeout_ms = 10000;
    long timeout_ms = 60000;  // whole exchange; 0 = no limit
    std::function<void(const TransportTrace &)> trace;
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

private:
    static std::int32_t request(void *user, const tessel_http_req *req, std::int32_t *status,
                                char **error) noexcept;
    // One exchange on the system's HTTP stack (curl_transport.cpp, winhttp_transport.cpp), with
    // request's contract; request catches what it throws.
    static std::int32_t perform(const TransportOptions &options, const tessel_http_req *req,
                                std::int32_t *status, char **error);
    static void release(void *user, void *mem) noexcept;

    TransportOptions options_;
    tessel_http http_{};
    tessel_http_ctx ctx_{};
    tessel_io io_{};
};

}  // namespace kojelly::cli
