// The handler table, korch_get and the fixed download refusal.
#include "plugin/kojelly_handlers.hpp"

#include <cstring>
#include <string_view>

#include "plugin/kojelly_driver.hpp"
#include "plugin/kojelly_export.hpp"

static_assert(sizeof(kojelly_handler_table) == 64);
static_assert(offsetof(kojelly_handler_table, runtime_type) == 0);
static_assert(offsetof(kojelly_handler_table, caps) == 8);
static_assert(offsetof(kojelly_handler_table, validate) == 16);
static_assert(offsetof(kojelly_handler_table, list) == 24);
static_assert(offsetof(kojelly_handler_table, stream_url) == 32);
static_assert(offsetof(kojelly_handler_table, download) == 40);
static_assert(offsetof(kojelly_handler_table, reserved) == 48);

namespace {

constexpr int32_t kCaps = KOJELLY_CAPS;
constexpr char kNoDownload[] = "JELLYFIN does not download";
constexpr std::string_view kNoDownloadJson = R"({"error":"JELLYFIN does not download"})";

}  // namespace

const kojelly_handler_table kojelly_handler = {
    "JELLYFIN", kCaps, h_validate, h_list, h_stream_url, h_download, {nullptr, nullptr},
};

int32_t h_validate(const tessel_io *io, const char *settings, char *out, int32_t out_len) noexcept {
    return kojelly::run(kojelly::Task::kValidate, io, settings, nullptr, out, out_len);
}

int32_t h_list(const tessel_io *io, const char *settings, const char *arg, char *out,
               int32_t out_len) noexcept {
    return kojelly::run(kojelly::Task::kList, io, settings, arg, out, out_len);
}

int32_t h_stream_url(const tessel_io *io, const char *settings, const char *arg, char *out,
                     int32_t out_len) noexcept {
    return kojelly::run(kojelly::Task::kStream, io, settings, arg, out, out_len);
}

int32_t h_download(const tessel_io *, const char *, const char *, char *out,
                   int32_t out_len) noexcept {
    if (out && out_len > 0) {
        if (static_cast<size_t>(out_len) > kNoDownloadJson.size()) {
            std::memcpy(out, kNoDownloadJson.data(), kNoDownloadJson.size());
            out[kNoDownloadJson.size()] = '\0';
        } else {
            out[0] = '\0';
        }
    }
    kojelly_publish(KOJELLY_EUNSUPPORTED, kNoDownload, nullptr);
    return KOJELLY_EUNSUPPORTED;
}

extern "C" KOJELLY_API const kojelly_handler_table *korch_get(void) noexcept {
    return &kojelly_handler;
}
