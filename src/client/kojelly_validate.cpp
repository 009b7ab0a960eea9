// Server validation and the validate handler.
#include "client/kojelly_validate.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "client/kojelly_session.hpp"
#include "util/kojelly_cfg.hpp"
#include "util/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_wire.hpp"

namespace {

constexpr char kServerInfoLabel[] = "server info";
constexpr char kApiKeyLabel[] = "APIKey check";

using kojelly::say;

// One GET without a session: 0 with the status mapped to success, else its code with msg set.
int32_t check(const tessel_http *const *transport, const kojelly_cfg *cfg, const char *path,
              const char *token, int32_t missing, const char *label, kojelly_resp *resp, char *msg,
              size_t msg_size) {
    kojelly::OwnedBuf url;
    if (kojelly_buf_adds(url.get(), cfg->base_url ? cfg->base_url : "") != 0 ||
        kojelly_buf_adds(url.get(), path) != 0)
        return kojelly::out_of_memory(msg, msg_size);
    if (kojelly_http(transport, url.c_str(), nullptr, cfg, token, resp, msg, msg_size) != 0) {
        return KOJELLY_ETRANSPORT;
    }
    return kojelly::judge(resp, missing, label, url.c_str(), msg, msg_size);
}

bool write_answer(kojelly_buf *answer, const kojelly_cfg *cfg, const char *server_id,
                  const kojelly_info &info) {
    kojelly::BufWriter w(answer);
    w.piece(R"({"FullUrl":)").str(cfg->base_url);
    if (!server_id || !*server_id) w.piece(R"(,"ID":)").str(info.id);
    if (info.server_name) w.piece(R"(,"ServerName":)").str(info.server_name);
    if (info.version) w.piece(R"(,"ServerVersion":)").str(info.version);
    return w.piece("}").ok();
}

}  // namespace

int32_t kojelly_do_validate(const tessel_http *const *transport, const kojelly_cfg *cfg,
                            const char *server_id, kojelly_buf *answer, char *msg,
                            size_t msg_size) {
    // The server is recognised before any credential is sent to it.
    kojelly::OwnedInfo info;
    {
        kojelly::OwnedResp resp;
        const int32_t code = check(transport, cfg, "/System/Info/Public", nullptr,
                                   KOJELLY_ETRANSPORT, kServerInfoLabel, resp.get(), msg, msg_size);
        if (code != KOJELLY_OK) return code;
        const int parsed =
            kojelly_parse_info(resp->body, resp->body_len, info.get(), msg, msg_size);
        if (parsed != KOJELLY_OK) return parsed;
    }

    if (cfg->api_key) {
        kojelly::OwnedResp resp;
        const int32_t code = check(transport, cfg, "/System/Info", cfg->api_key, KOJELLY_EFAIL,
                                   kApiKeyLabel, resp.get(), msg, msg_size);
        if (code != KOJELLY_OK) return code;
    } else if (cfg->user_name) {
        char *token = nullptr;
        char *user_id = nullptr;
        const int32_t code = kojelly::authenticate(transport, cfg, &token, &user_id, msg, msg_size);
        if (code != KOJELLY_OK) return code;
        kojelly::cache_put(cfg, token, user_id);
        kojelly_free_secret(token);
        std::free(user_id);
    } else {
        say(msg, msg_size, "%s", kojelly::kNoCredentials);
        return KOJELLY_EINVAL;
    }

    if (!write_answer(answer, cfg, server_id, *info)) return kojelly::out_of_memory(msg, msg_size);
    return KOJELLY_OK;
}
