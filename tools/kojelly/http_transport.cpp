// What the tool's transport is on every system: the io, its context and its request table,
// around the exchange that each system's file runs; see http_transport.hpp.
#include "http_transport.hpp"

#include <cstdlib>
#include <mutex>
#include <string_view>
#include <utility>

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

void HttpTransport::release(void *, void *mem) noexcept {
    std::free(mem);
}

}  // namespace kojelly::cli
