// The stream URL operation and its handler.
#include "client/kojelly_stream.hpp"

#include <cstring>

#include "client/kojelly_list.hpp"
#include "client/kojelly_session.hpp"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
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

int32_t kojelly_do_stream(kojelly::Call &call, const char *id, kojelly_buf *answer) {
    using namespace kojelly;
    Error &err = call.err;
    OwnedItems list;
    const kojelly_item *item = nullptr;
    if (const int32_t code = lookup(call, id, list.get(), &item)) return code;
    if (!item) return err.fail(KOJELLY_ENOTFOUND, "item %s does not exist", id);
    if (item->folder)
        return err.fail(KOJELLY_ENOTFOUND, "item %s is a folder, not a playable file", id);

    OwnedBuf url;
    if (kojelly_buf_addf(url.get(), "%s/Items/%s/PlaybackInfo", call.base(), id) != 0)
        return err.out_of_memory();
    OwnedResp resp;
    if (const int32_t sent = call.send(url.c_str(), nullptr, resp.get())) return sent;
    if (unanswered(resp->status)) {
        kojelly_resp_free(resp.get());
        if (const int32_t sent = call.send(url.c_str(), kEmptyObject, resp.get())) return sent;
        if (unanswered(resp->status)) return err.fail(KOJELLY_EFAIL, "%s", kNoAnswer);
    }
    if (const int32_t code = judge(resp.get(), KOJELLY_ENOTFOUND, kPlaybackLabel, url.c_str(), err))
        return code;

    OwnedPlayback pb(kNoPlayback);
    if (const int32_t code = kojelly_parse_playback(resp->body, resp->body_len, pb.get(), err))
        return code;
    if (pb->sources == 0)
        return err.fail(KOJELLY_EUNSUPPORTED, "item %s has no MediaSources to stream", id);

    const char *token = call.session.record().token ? call.session.record().token : "";
    char auth[kAuthLineSize];
    if (kojelly_auth_header(call.cfg.get(), token, auth, sizeof auth) != 0)
        return err.fail(KOJELLY_EFAIL, "%s", kAuthOverflow);
    const char *source_id = kojelly_id_ok(pb->source_id) ? pb->source_id : id;
    if (!write_answer(answer, call.base(), id, source_id, token, auth, *pb, *item))
        return err.out_of_memory();
    return KOJELLY_OK;
}
