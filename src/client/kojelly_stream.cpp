// The stream URL operation and its handler.
#include "client/kojelly_stream.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/kojelly_list.hpp"
#include "client/kojelly_session.hpp"
#include "plugin/kojelly_driver.hpp"
#include "util/kojelly_cfg.hpp"
#include "util/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"
#include "wire/kojelly_wire.hpp"

namespace kojelly {
namespace {

constexpr char kOom[] = "out of memory";
constexpr char kPlaybackLabel[] = "playback info";
constexpr char kNoAnswer[] = "playback info: no answer";
constexpr char kAuthOverflow[] = "auth header overflow";
// Body of the POST that servers without a PlaybackInfo GET accept.
constexpr char kEmptyObject[] = "{}";
constexpr int kStatusNotFound = 404;
constexpr int kStatusMethodNotAllowed = 405;

using kojelly::say;

bool unanswered(int status) {
    return status == kStatusNotFound || status == kStatusMethodNotAllowed;
}

struct PlaybackGuard {
    kojelly_playback pb{0, -1, nullptr, nullptr};
    ~PlaybackGuard() { kojelly_playback_free(&pb); }
};

struct FreeText {
    void operator()(char *p) const { std::free(p); }
};

// The answer object. The URL is assembled first and then written as a JSON string: for the
// texts it is made of (a normalised base URL, checked ids, a token of letters, digits and a few
// marks) that is the URL byte for byte, and it keeps the answer valid JSON for any token.
bool write_answer(kojelly_buf *answer, const char *base, const char *id, const char *source_id,
                  const char *token, const char *auth, const kojelly_playback &pb,
                  const kojelly_item &item) {
    BufGuard url;
    if (kojelly_buf_addf(url.get(), "%s/videos/%s/stream?static=true&MediaSourceId=", base, id) !=
            0 ||
        kojelly_buf_adds(url.get(), source_id) != 0 ||
        kojelly_buf_adds(url.get(), "&api_key=") != 0 || kojelly_buf_adds(url.get(), token) != 0) {
        return false;
    }
    const bool ok =
        kojelly_buf_adds(answer, R"({"url":)") == 0 &&
        kojelly_buf_json_str(answer, url.c_str()) == 0 &&
        kojelly_buf_adds(answer, R"(,"headers":{"Authorization":)") == 0 &&
        kojelly_buf_json_str(answer, auth) == 0 && kojelly_buf_adds(answer, "}") == 0 &&
        kojelly_buf_addf(answer, R"(,"size":%lld)", static_cast<long long>(pb.size)) == 0 &&
        kojelly_buf_adds(answer, R"(,"container":)") == 0 &&
        kojelly_buf_json_str(answer, pb.container) == 0 &&
        kojelly_buf_adds(answer, R"(,"id":)") == 0 && kojelly_buf_json_str(answer, id) == 0 &&
        kojelly_buf_adds(answer, R"(,"name":)") == 0 &&
        kojelly_buf_json_str(answer, item.title ? item.title : item.name) == 0 &&
        (item.year ? kojelly_buf_addf(answer, R"(,"year":%d)", item.year)
                   : kojelly_buf_adds(answer, R"(,"year":null)")) == 0 &&
        kojelly_buf_adds(answer, "}") == 0;
    return ok;
}

}  // namespace

int32_t op_stream(kojelly_sess *sess, const char *id, kojelly_buf *answer, char *msg,
                  size_t msg_size) {
    return kojelly_do_stream(sess, id, answer, msg, msg_size);
}

}  // namespace kojelly

int32_t kojelly_do_stream(kojelly_sess *sess, const char *id, kojelly_buf *answer, char *msg,
                          size_t msg_size) {
    using namespace kojelly;
    ItemsGuard list;
    const int32_t found = lookup(sess, id, list.get(), msg, msg_size);
    if (found < 0) return found;
    const kojelly_item *item = nullptr;
    for (uint64_t i = list->count; found == 1 && i > 0 && !item; --i) {
        if (std::strcmp(list->items[i - 1].id, id) == 0) item = &list->items[i - 1];
    }
    if (!item) {
        say(msg, msg_size, "item %s does not exist", id);
        return KOJELLY_ENOTFOUND;
    }
    if (item->folder) {
        say(msg, msg_size, "item %s is a folder, not a playable file", id);
        return KOJELLY_ENOTFOUND;
    }

    const char *base = sess->cfg && sess->cfg->base_url ? sess->cfg->base_url : "";
    BufGuard url;
    if (kojelly_buf_addf(url.get(), "%s/Items/%s/PlaybackInfo", base, id) != 0) {
        say(msg, msg_size, "%s", kOom);
        return KOJELLY_EFAIL;
    }
    RespGuard resp;
    int32_t login = KOJELLY_OK;
    int r = api_get(sess, url.get(), nullptr, resp.get(), &login, msg, msg_size);
    if (r == kApiAnswered && unanswered(resp->status)) {
        kojelly_resp_free(resp.get());
        r = api_get(sess, url.get(), kEmptyObject, resp.get(), &login, msg, msg_size);
        if (r == kApiAnswered && unanswered(resp->status)) {
            say(msg, msg_size, "%s", kNoAnswer);
            return KOJELLY_EFAIL;
        }
    }
    if (r != kApiAnswered) return r == kApiLoginFailed ? login : KOJELLY_ETRANSPORT;
    const int32_t code = kojelly_map_status(resp->status, KOJELLY_ENOTFOUND);
    if (code != KOJELLY_OK) {
        http_fail(msg, msg_size, kPlaybackLabel, url.c_str(), resp.get());
        return code;
    }

    PlaybackGuard pb;
    const int parsed = kojelly_parse_playback(resp->body, resp->body_len, &pb.pb, msg, msg_size);
    if (parsed != KOJELLY_OK) return parsed;
    if (pb.pb.sources == 0) {
        say(msg, msg_size, "item %s has no MediaSources to stream", id);
        return KOJELLY_EUNSUPPORTED;
    }

    const char *token = sess->token ? sess->token : "";
    char auth[kAuthLineSize];
    if (kojelly_auth_header(sess->cfg, token, auth, sizeof auth) != 0) {
        say(msg, msg_size, "%s", kAuthOverflow);
        return KOJELLY_EFAIL;
    }
    const char *source_id = kojelly_id_ok(pb.pb.source_id) ? pb.pb.source_id : id;
    if (!write_answer(answer, base, id, source_id, token, auth, pb.pb, *item)) {
        say(msg, msg_size, "%s", kOom);
        return KOJELLY_EFAIL;
    }
    return KOJELLY_OK;
}

int32_t h_stream_url(const tessel_io *io, const char *settings, const char *arg, char *out,
                     int32_t out_len) noexcept {
    using namespace kojelly;
    // Bad settings are reported before a bad entry, so they are checked on their own first.
    {
        char msg[kHandlerMsgSize] = {};
        CfgGuard cfg;
        const int code = kojelly_cfg_parse(settings, 1, cfg.get(), msg, sizeof msg);
        if (code != KOJELLY_OK) return finish(code, nullptr, msg, nullptr, nullptr, out, out_len);
    }

    char msg[kHandlerMsgSize] = {};
    char *raw = nullptr;
    const int entry = kojelly_entry_id(arg, &raw, msg, sizeof msg);
    std::unique_ptr<char, FreeText> id(raw);
    if (entry == KOJELLY_OK) return run(io, settings, op_stream, id.get(), out, out_len);

    char cfg_msg[kHandlerMsgSize] = {};
    CfgGuard cfg;
    const int code = kojelly_cfg_parse(settings, 1, cfg.get(), cfg_msg, sizeof cfg_msg);
    if (code != KOJELLY_OK) return finish(code, nullptr, cfg_msg, nullptr, nullptr, out, out_len);
    return finish(entry, nullptr, msg, cfg.get(), nullptr, out, out_len);
}
