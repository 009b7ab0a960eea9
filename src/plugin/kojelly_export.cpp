// Per-thread slots, publication, and the identity exports.
#include "plugin/kojelly_export.hpp"

#include "kojelly.h"
#include "kojelly_version.hpp"
#include "plugin/kojelly_handlers.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_owned.hpp"
#include "util/platform.hpp"

namespace {

constexpr char kVersion[] = KOJELLY_VERSION_STRING;

// Slot texts are heap texts owned by the platform's per-thread record (NULL reads as ""); a
// thread's texts are released when the thread ends.
using platform::ThreadText;

const char *text_of(ThreadText slot) {
    const char *text = platform::thread_text(slot);
    return text ? text : "";
}

}  // namespace

void kojelly_publish(int32_t code, const char *error, const char *result) {
    kojelly_publish_owned(code, error, kojelly_strdup(result ? result : ""));
}

void kojelly_publish_owned(int32_t code, const char *error, char *result) {
    platform::set_thread_text(ThreadText::error, kojelly_strdup(code != 0 && error ? error : ""));
    platform::set_thread_text(ThreadText::result, result);
}

namespace kojelly {

void set_error_slot(const char *text) {
    platform::set_thread_text(ThreadText::error, kojelly_strdup(text ? text : ""));
}

const char *set_scratch(const char *text) {
    char *copy = kojelly_strdup(text ? text : "");
    return copy ? adopt_scratch(copy) : nullptr;
}

const char *adopt_scratch(char *text) {
    platform::set_thread_text(ThreadText::scratch, text);
    return text_of(ThreadText::scratch);
}

}  // namespace kojelly

extern "C" {

KOJELLY_API const char *kojelly_result_json(void) noexcept {
    return text_of(ThreadText::result);
}

KOJELLY_API const char *kojelly_last_error(void) noexcept {
    return text_of(ThreadText::error);
}

KOJELLY_API const char *kojelly_version(void) noexcept {
    return kVersion;
}

KOJELLY_API const char *kojelly_runtime_type(void) noexcept {
    return kojelly_handler.runtime_type;
}

KOJELLY_API int32_t kojelly_caps(void) noexcept {
    return kojelly_handler.caps;
}

KOJELLY_API int32_t kojelly_allow_writes(int32_t flag) noexcept {
    if (flag) {
        kojelly_publish(KOJELLY_EUNSUPPORTED, "JELLYFIN has no write ops", nullptr);
        return KOJELLY_EUNSUPPORTED;
    }
    kojelly_publish(KOJELLY_OK, nullptr, nullptr);
    return KOJELLY_OK;
}

}  // extern "C"
