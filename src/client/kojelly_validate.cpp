// Server validation and the validate handler.
#include "client/kojelly_validate.hpp"

#include <cstdlib>

#include "client/kojelly_session.hpp"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_wire.hpp"

namespace {

constexpr char kServerInfoLabel[] = "server info";
constexpr char kApiKeyLabel[] = "APIKey check";

// One GET without a session: 0 with the status mapped to success, else its code with err
// recorded.
int32_t check(kojelly::Call &call, const char *path, const char *token, int32_t missing,
              const char *label, kojelly_resp *resp) {
    kojelly::OwnedBuf url;
    if (kojelly_buf_adds(url.get(), call.base()) != 0 || kojelly_buf_adds(url.get(), path) != 0)
        return call.err.out_of_memory();
    if (const int32_t sent = kojelly_http(&call.transport.http, call.cfg.get(),
                                          {url.c_str(), nullptr, token}, resp, call.err))
        return sent;
    return kojelly::judge(resp, missing, label, url.c_str(), call.err);
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

int32_t kojelly_do_validate(kojelly::Call &call, kojelly_buf *answer) {
    using kojelly::Error;
    Error &err = call.err;
    const kojelly_cfg *cfg = call.cfg.get();
    // The server is recognised before any credential is sent to it.
    kojelly::OwnedInfo info;
    {
        kojelly::OwnedResp resp;
        if (const int32_t code = check(call, "/System/Info/Public", nullptr, KOJELLY_ETRANSPORT,
                                       kServerInfoLabel, resp.get()))
            return code;
        if (const int32_t code = kojelly_parse_info(resp->body, resp->body_len, info.get(), err))
            return code;
    }

    if (cfg->api_key) {
        kojelly::OwnedResp resp;
        if (const int32_t code =
                check(call, "/System/Info", cfg->api_key, KOJELLY_EFAIL, kApiKeyLabel, resp.get()))
            return code;
    } else if (cfg->user_name) {
        char *token = nullptr;
        char *user_id = nullptr;
        if (const int32_t code =
                kojelly::authenticate(&call.transport.http, cfg, &token, &user_id, err))
            return code;
        kojelly::cache_put(cfg, token, user_id);
        kojelly_free_secret(token);
        std::free(user_id);
    } else {
        return err.fail(KOJELLY_EINVAL, "%s", kojelly::kNoCredentials);
    }

    if (!write_answer(answer, cfg, cfg->server_id, *info)) return err.out_of_memory();
    return KOJELLY_OK;
}
