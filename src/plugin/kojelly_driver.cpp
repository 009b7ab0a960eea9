// The request driver, the answer writer, the flat dispatcher and the transport selection.
#include "plugin/kojelly_driver.hpp"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string_view>

#include "client/kojelly_call.hpp"
#include "client/kojelly_list.hpp"
#include "client/kojelly_session.hpp"
#include "client/kojelly_stream.hpp"
#include "client/kojelly_validate.hpp"
#include "fakes/kojelly_io_fake.hpp"
#include "plugin/kojelly_export.hpp"
#include "plugin/kojelly_handlers.hpp"
#include "plugin/kojelly_io_curl.hpp"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "util/kojelly_redact.hpp"
#include "util/platform.hpp"
#include "wire/kojelly_wire.hpp"

namespace {

constexpr char kNoTransport[] = "no transport";
constexpr char kTooSmall[] = "output buffer too small";
constexpr char kNoHandler[] = "operation not supported";

// The transport selection of the flat exports. g_io points at g_user_io, at the fake io, or is
// NULL for the default backend. Requests copy the selected table under the lock, so a request
// never reads a table that another thread is rewriting.
platform::Lock g_io_lock;
const tessel_io *g_io = nullptr;
tessel_io g_user_io{};

enum FlatOp { kValidate = 0, kList = 1, kStream = 2 };

// Copies text with its NUL into out when it fits; otherwise leaves an empty text. Nothing is
// written without a buffer.
bool copy_out(std::string_view text, char *out, int32_t out_len) {
    if (!out || out_len <= 0) return false;
    if (text.size() + 1 <= static_cast<size_t>(out_len)) {
        std::memcpy(out, text.data(), text.size());
        out[text.size()] = '\0';
        return true;
    }
    out[0] = '\0';
    return false;
}

}  // namespace

namespace kojelly {

int32_t finish(int32_t code, kojelly_buf *answer, char *msg, const kojelly_cfg *cfg,
               const char *extra, char *out, int32_t out_len) {
    if (code != KOJELLY_OK) {
        kojelly_scrub(msg, cfg, extra);
        OwnedBuf err;
        if (BufWriter(err.get()).piece("{\"error\":").str(msg).piece("}").ok())
            copy_out({err->data, err->len}, out, out_len);
        kojelly_publish(code, msg, nullptr);
        return code;
    }
    // The result slot takes the answer buffer itself: a listing may be tens of megabytes, and a
    // copy would hold it twice at the moment the records are still alive.
    const bool answered = answer && answer->data && answer->len;
    const std::string_view text = answered ? std::string_view(answer->data, answer->len) : "{}";
    const int32_t final_code = copy_out(text, out, out_len) ? KOJELLY_OK : KOJELLY_ETOOSMALL;
    char *result = answered ? kojelly_buf_take(answer) : kojelly_strdup("{}");
    kojelly_publish_owned(final_code, kTooSmall, result);
    return final_code;
}

int32_t run(Task task, const tessel_io *io, const char *settings, const char *arg, char *out,
            int32_t out_len) {
    Call call;
    Error &err = call.err;
    OwnedBuf answer;
    // The settings whose secrets are scrubbed from a message: none until they are parsed.
    const kojelly_cfg *parsed = nullptr;
    auto end = [&](int32_t code) {
        return finish(code, answer.get(), err.msg, parsed, call.session.record().token, out,
                      out_len);
    };
    if (const int32_t code = kojelly_cfg_parse(settings, 1, call.cfg.get(), err)) return end(code);
    parsed = call.cfg.get();

    // A stream request names its item by an entry; the operation receives the item id.
    Malloced<char> item_id;
    if (task == Task::kStream) {
        char *raw = nullptr;
        const int32_t code = kojelly_entry_id(arg, &raw, err);
        item_id.reset(raw);
        if (code != KOJELLY_OK) return end(code);
        arg = item_id.get();
    }

    if (!io) return end(err.fail(KOJELLY_ETRANSPORT, "%s", kNoTransport));
    if (const int32_t code = kojelly_transport_get(io, &call.transport, err)) return end(code);

    if (task == Task::kValidate) return end(kojelly_do_validate(call, answer.get()));

    int32_t code = call.session.open(&call.transport.http, call.cfg.get(), err);
    if (code == KOJELLY_OK) {
        code = task == Task::kList ? op_list(call, arg ? arg : "", answer.get())
                                   : kojelly_do_stream(call, arg, answer.get());
    }
    return end(code);
}

bool selected_io(tessel_io *copy) {
    platform::LockGuard lock(g_io_lock);
    if (!g_io) return false;
    *copy = *g_io;
    return true;
}

}  // namespace kojelly

namespace {

int32_t flat(const char *settings, const char *arg, char *out, int32_t out_len, int op) {
    tessel_io selected;
    const tessel_io *io = kojelly::selected_io(&selected) ? &selected : kojelly_io_curl();

    const kojelly_handler_table *table = korch_get();
    auto call = [&](char *o, int32_t len) -> int32_t {
        switch (op) {
            case kValidate:
                if (table->validate) return table->validate(io, settings, o, len);
                break;
            case kList:
                if (table->list) return table->list(io, settings, arg, o, len);
                break;
            case kStream:
                if (table->stream_url) return table->stream_url(io, settings, arg, o, len);
                break;
            default:
                return table->download(io, settings, arg, o, len);
        }
        char msg[kojelly::kHandlerMsgSize];
        kojelly::say(msg, sizeof msg, "%s", kNoHandler);
        return kojelly::finish(KOJELLY_EUNSUPPORTED, nullptr, msg, nullptr, nullptr, o, len);
    };

    if (out && out_len > 0) return call(out, out_len);
    const int32_t rc = call(nullptr, 0);
    if (rc == KOJELLY_ETOOSMALL && *kojelly_result_json()) {
        kojelly::set_error_slot("");
        return KOJELLY_OK;
    }
    return rc;
}

}  // namespace

extern "C" {

KOJELLY_API int32_t kojelly_set_io(const tessel_io *io) noexcept {
    if (io && !tessel_http_of(io)) return KOJELLY_EUNSUPPORTED;
    platform::LockGuard lock(g_io_lock);
    if (!io) {
        g_io = nullptr;
    } else {
        g_user_io = *io;
        g_io = &g_user_io;
    }
    return KOJELLY_OK;
}

KOJELLY_API int32_t kojelly_use_curl(void) noexcept {
    if (!kojelly_io_curl()) return KOJELLY_EUNSUPPORTED;
    platform::LockGuard lock(g_io_lock);
    g_io = nullptr;
    return KOJELLY_OK;
}

KOJELLY_API int32_t kojelly_use_fake(void) noexcept {
    const tessel_io *fake = kojelly_io_fake();
    platform::LockGuard lock(g_io_lock);
    g_io = fake;
    return KOJELLY_OK;
}

KOJELLY_API int32_t kojelly_validate(const char *settings, char *out, int32_t out_len) noexcept {
    return flat(settings, nullptr, out, out_len, kValidate);
}

KOJELLY_API int32_t kojelly_list(const char *settings, const char *folder_id, char *out,
                                 int32_t out_len) noexcept {
    return flat(settings, folder_id, out, out_len, kList);
}

KOJELLY_API int32_t kojelly_stream_url(const char *settings, const char *entry, char *out,
                                       int32_t out_len) noexcept {
    return flat(settings, entry, out, out_len, kStream);
}

KOJELLY_API int32_t kojelly_download(const char *settings, const char *arg, char *out,
                                     int32_t out_len) noexcept {
    return flat(settings, arg, out, out_len, 3);
}

}  // extern "C"
