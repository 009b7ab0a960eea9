// The stream URL operation and its handler.
#include "client/kojelly_stream.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "client/kojelly_list.hpp"
#include "client/kojelly_session.hpp"
#include "util/kojelly_cfg.hpp"
#include "util/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"
#include "wire/kojelly_wire.hpp"

namespace kojelly {
namespace {

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

// The answer object. The URL is assembled first and then written as a JSON string. The token is
// one percent-encoded query value, so that no key the settings accept can add a parameter or
// leave a part of itself outside what redaction masks; a token of unreserved bytes, as servers
// issue them, reads the same either way.
bool write_answer(kojelly_buf *answer, const char *base, const char *id, const char *source_id,
                  const char *token, const char *auth, const kojelly_playback &pb,
                  const kojelly_item &item) {
    OwnedBuf url;
    const bool built =
        kojelly_buf_addf(url.get(), "%s/videos/%s/stream?static=true&MediaSourceId=", base, id) ==
            0 &&
        BufWriter(url.get()).text(source_id).ok() &&
        kojelly_buf_query(url.get(), "api_key", token) == 0;
    if (!built) return false;
    BufWriter w(answer);
    w.piece(R"({"url":)").str(url.c_str());
    w.piece(R"(,"headers":{"Authorization":)").str(auth).piece("}");
    w.piece(R"(,"size":)").number(pb.size);
    w.piece(R"(,"container":)").str(pb.container);
    w.piece(R"(,"id":)").str(id);
    w.piece(R"(,"name":)").str(item.title ? item.title : item.name);
    if (item.year) {
        w.piece(R"(,"year":)").number(item.year);
    } else {
        w.piece(R"(,"year":null)");
    }
    return w.piece("}").ok();
}

}  // namespace

}  // namespace kojelly

int32_t kojelly_do_stream(kojelly_sess *sess, const char *id, kojelly_buf *answer, char *msg,
                          size_t msg_size) {
    using namespace kojelly;
    OwnedItems list;
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
    OwnedBuf url;
    if (kojelly_buf_addf(url.get(), "%s/Items/%s/PlaybackInfo", base, id) != 0)
        return kojelly::out_of_memory(msg, msg_size);
    OwnedResp resp;
    if (const int32_t sent = api_call(sess, url.get(), nullptr, resp.get(), msg, msg_size))
        return sent;
    if (unanswered(resp->status)) {
        kojelly_resp_free(resp.get());
        if (const int32_t sent = api_call(sess, url.get(), kEmptyObject, resp.get(), msg, msg_size))
            return sent;
        if (unanswered(resp->status)) {
            say(msg, msg_size, "%s", kNoAnswer);
            return KOJELLY_EFAIL;
        }
    }
    if (const int32_t code =
            judge(resp.get(), KOJELLY_ENOTFOUND, kPlaybackLabel, url.c_str(), msg, msg_size))
        return code;

    OwnedPlayback pb(kNoPlayback);
    const int parsed = kojelly_parse_playback(resp->body, resp->body_len, pb.get(), msg, msg_size);
    if (parsed != KOJELLY_OK) return parsed;
    if (pb->sources == 0) {
        say(msg, msg_size, "item %s has no MediaSources to stream", id);
        return KOJELLY_EUNSUPPORTED;
    }

    const char *token = sess->token ? sess->token : "";
    char auth[kAuthLineSize];
    if (kojelly_auth_header(sess->cfg, token, auth, sizeof auth) != 0) {
        say(msg, msg_size, "%s", kAuthOverflow);
        return KOJELLY_EFAIL;
    }
    const char *source_id = kojelly_id_ok(pb->source_id) ? pb->source_id : id;
    if (!write_answer(answer, base, id, source_id, token, auth, *pb, *item))
        return kojelly::out_of_memory(msg, msg_size);
    return KOJELLY_OK;
}
