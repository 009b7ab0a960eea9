// What the tool's transport is on every system: the io, its context and its request table
// around the exchange that each system's file runs, and the parts of that exchange that do not
// depend on the stack; see http_transport.hpp.
#include "http_transport.hpp"

#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::uint32_t kHttpTableVersion = 1;

// What makes a request record unusable on every system; nullptr when it is sound as far as the
// record itself goes (its headers are each system's to check).
const char *record_fault(const tessel_http_req *req) {
    if (!req || req->size < sizeof(tessel_http_req))
        return "request record is smaller than 112 bytes";
    if (!tessel_method_ok(req->method)) return "request method is not an HTTP token";
    if (!req->url || !*req->url) return "request has no URL";
    if (req->body_len > 0 && !req->body) return "request body is missing";
    return nullptr;
}

}  // namespace

HttpTransport::HttpTransport(TransportOptions options) : options_(std::move(options)) {
    http_.size = sizeof(tessel_http);
    http_.version = kHttpTableVersion;
    http_.user = this;
    http_.request = &HttpTransport::request;
    http_.free = &HttpTransport::release;
    ctx_.magic = TESSEL_HTTP_CTX_MAGIC;
    ctx_.size = sizeof(tessel_http_ctx);
    ctx_.http = &http_;
    // The plain get/post slots stay empty: they cannot carry request headers, so the plug-in
    // could not authenticate through them. The http-backed context is the whole interface.
    io_.ctx = &ctx_;
}

std::int32_t HttpTransport::request(void *user, const tessel_http_req *req, std::int32_t *status,
                                    char **error) noexcept {
    if (error) *error = nullptr;
    if (status) *status = 0;
    auto &self = *static_cast<HttpTransport *>(user);
    TransportFailure failure = TransportFailure::other;
    std::int32_t answered_status = 0;
    std::int32_t result = -1;
    try {
        if (const char *fault = record_fault(req)) {
            if (error) *error = tessel_strdup(fault);
        } else {
            result = perform(self.options_, req, &answered_status, error, failure);
        }
    } catch (...) {
        constexpr std::string_view kOutOfMemory = "out of memory";
        if (error) *error = tessel_strndup(kOutOfMemory.data(), kOutOfMemory.size());
        result = -1;
        failure = TransportFailure::other;
    }
    if (result == 0) {
        failure = TransportFailure::none;
        if (status) *status = answered_status;
    } else {
        answered_status = 0;
    }
    try {
        self.note(failure, answered_status);
    } catch (...) {
        // The record only chooses hints; the exchange's own result stands.
    }
    return result;
}

void HttpTransport::note(TransportFailure failure, std::int32_t status) {
    const std::lock_guard<std::mutex> lock(record_mutex_);
    record_.last_failure = failure;
    record_.last_status = status;
    record_.answered = record_.answered || failure == TransportFailure::none;
    record_.succeeded = record_.succeeded || (status >= 200 && status < 300);
}

TransportRecord HttpTransport::record() const {
    const std::lock_guard<std::mutex> lock(record_mutex_);
    return record_;
}

std::int32_t HttpTransport::finish(const TransportOptions &options, const tessel_http_req &req,
                                   const ExchangeOutcome &out, double millis, std::int32_t *status,
                                   char **error, TransportFailure &failure) {
    if (options.trace) {
        TransportTrace t;
        t.method = req.method;
        t.url = req.url;
        t.status = out.answered ? out.status : 0;
        t.bytes = out.bytes;
        t.millis = millis;
        t.error = out.error;
        options.trace(t);
    }
    if (!out.answered) {
        failure = out.failure;
        return transport_error(error, out.error);
    }
    if (status) *status = out.status;
    return 0;
}

void HttpTransport::release(void *, void *mem) noexcept {
    std::free(mem);
}

std::int32_t transport_error(char **error, std::string_view message) {
    if (error) *error = tessel_strndup(message.data(), message.size());
    return -1;
}

std::string take_header_lines(const tessel_http_req &req,
                              const std::function<std::string(const RequestLine &)> &take) {
    if (req.header_count > 0 && !req.headers) return "request header lines are missing";
    for (std::uint64_t i = 0; i < req.header_count; ++i) {
        const char *line = req.headers[i];
        if (!line) return "request header line is NULL";
        const std::string_view text(line);
        if (text.find_first_of("\r\n") != std::string_view::npos)
            return "request header line carries a line break";
        const auto colon = text.find(':');
        if (colon == std::string_view::npos || colon == 0) return "request header line has no name";
        if (std::string refused = take(RequestLine{text, text.substr(0, colon)}); !refused.empty())
            return refused;
    }
    return {};
}

void add_head_line(HeaderList &headers, std::string_view line) {
    const std::string_view text = trim(line);
    if (text.empty()) return;
    if (line[0] == ' ' || line[0] == '\t') {
        if (!headers.empty()) headers.back().second.append(" ").append(text);
        return;
    }
    const auto colon = text.find(':');
    if (colon == std::string_view::npos) return;
    headers.emplace_back(std::string(trim(text.substr(0, colon))),
                         std::string(trim(text.substr(colon + 1))));
}

bool deliver_head(const tessel_http_req &req, std::int32_t status, const HeaderList &headers) {
    if (!req.on_header) return true;
    const std::string code = std::to_string(status);
    if (req.on_header(req.user, ":status", code.c_str()) != 0) return false;
    for (const auto &[name, value] : headers) {
        if (req.on_header(req.user, name.c_str(), value.c_str()) != 0) return false;
    }
    return true;
}

}  // namespace kojelly::cli
