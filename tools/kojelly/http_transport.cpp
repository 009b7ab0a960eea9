// What the tool's transport is on every system: the io, its context and its request table,
// around the exchange that each system's file runs; see http_transport.hpp.
#include "http_transport.hpp"

#include <cstdlib>
#include <string_view>
#include <utility>

namespace kojelly::cli {
namespace {

constexpr std::uint32_t kHttpTableVersion = 1;

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
    try {
        return perform(static_cast<HttpTransport *>(user)->options_, req, status, error);
    } catch (...) {
        constexpr std::string_view kOutOfMemory = "out of memory";
        if (error) *error = tessel_strndup(kOutOfMemory.data(), kOutOfMemory.size());
        return -1;
    }
}

void HttpTransport::release(void *, void *mem) noexcept {
    std::free(mem);
}

}  // namespace kojelly::cli
