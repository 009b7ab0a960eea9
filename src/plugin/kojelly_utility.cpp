// The utility exports: normalised server URL, device id, listing JSON for an /Items answer the
// host fetched itself, redaction of any text, forgetting of cached logins, and the controls of
// the in-process fake transport. Each is a thin wrapper around the module that does the work.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/kojelly_session.hpp"
#include "fakes/kojelly_io_fake.hpp"
#include "kojelly.h"
#include "plugin/kojelly_export.hpp"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
#include "util/kojelly_redact.hpp"
#include "wire/kojelly_items.hpp"
#include "wire/kojelly_listing.hpp"

namespace {

// Parses settings that need no credentials; on failure publishes the message and returns false.
bool parse_loose(const char *settings, kojelly::OwnedCfg &cfg) {
    kojelly::Error err;
    if (kojelly_cfg_parse(settings, 0, cfg.get(), err) == KOJELLY_OK) return true;
    kojelly_publish(err.code, err.msg, nullptr);
    return false;
}

}  // namespace

extern "C" {

KOJELLY_API const char *kojelly_full_url(const char *settings) noexcept {
    kojelly::OwnedCfg cfg;
    if (!parse_loose(settings, cfg)) return nullptr;
    const char *url = cfg->base_url ? cfg->base_url : "";
    const char *kept = kojelly::set_scratch(url);
    if (!kept) {
        kojelly_publish(KOJELLY_EFAIL, kojelly::kOutOfMemory, nullptr);
        return nullptr;
    }
    kojelly_publish(KOJELLY_OK, "", url);
    return kept;
}

KOJELLY_API char *kojelly_device_id(const char *settings) noexcept {
    kojelly::OwnedCfg cfg;
    if (!parse_loose(settings, cfg)) return nullptr;
    return kojelly_strdup(cfg->device_id);
}

KOJELLY_API int32_t kojelly_parse_items(const char *body, char *out, int32_t out_len) noexcept {
    if (!body) {
        kojelly_publish(KOJELLY_EFAIL, "body is NULL", nullptr);
        return KOJELLY_EFAIL;
    }
    kojelly::Error err;
    kojelly::OwnedBuf json;
    {
        kojelly::OwnedItems ids;
        if (kojelly_buf_adds(json.get(), kojelly::kListingOpen) != 0) {
            kojelly_publish(KOJELLY_EFAIL, kojelly::kOutOfMemory, nullptr);
            return KOJELLY_EFAIL;
        }
        const int32_t rc = kojelly_page_entries(body, std::strlen(body), ids.get(), json.get(),
                                                nullptr, nullptr, err);
        if (rc != KOJELLY_OK) {
            kojelly_publish(rc, err.msg, nullptr);
            return rc;
        }
        if (kojelly_buf_adds(json.get(), kojelly::kListingClose) != 0) {
            kojelly_publish(KOJELLY_EFAIL, kojelly::kOutOfMemory, nullptr);
            return KOJELLY_EFAIL;
        }
    }
    // The result slot takes the listing over; out, when given, receives a copy.
    int32_t code = KOJELLY_OK;
    if (out && out_len > 0) {
        if (json->len + 1 > static_cast<uint64_t>(out_len)) {
            out[0] = '\0';
            code = KOJELLY_ETOOSMALL;
        } else {
            std::memcpy(out, json->data, json->len + 1);
        }
    }
    kojelly_publish_owned(code, "output buffer too small", kojelly_buf_take(json.get()));
    return code;
}

KOJELLY_API const char *kojelly_redact(const char *text) noexcept {
    const uint64_t size = text ? 2 * uint64_t{std::strlen(text)} + 16 : 1;
    char *buf = static_cast<char *>(std::malloc(size));
    if (!buf) return "";
    kojelly_redact_into(text, buf, size);
    return kojelly::adopt_scratch(buf);
}

KOJELLY_API void kojelly_forget_tokens(void) noexcept {
    kojelly_cache_clear();
}

KOJELLY_API void kojelly_fake_reset(void) noexcept {
    kojelly::fake_reset_impl();
}

KOJELLY_API int32_t kojelly_fake_set(const char *method, const char *url, int32_t status,
                                     const char *body) noexcept {
    return kojelly::fake_set_impl(method, url, status, body);
}

KOJELLY_API int32_t kojelly_fake_fail(const char *method, const char *url,
                                      const char *error) noexcept {
    return kojelly::fake_fail_impl(method, url, error);
}

KOJELLY_API int32_t kojelly_fake_calls(const char *method, const char *url) noexcept {
    return kojelly::fake_calls_impl(method, url);
}

KOJELLY_API const char *kojelly_fake_last_body(const char *url) noexcept {
    return kojelly::fake_last_body_impl(url);
}

KOJELLY_API const char *kojelly_fake_last_url(void) noexcept {
    return kojelly::fake_last_url_impl();
}

KOJELLY_API const char *kojelly_fake_last_headers(void) noexcept {
    return kojelly::fake_last_headers_impl();
}

}  // extern "C"
