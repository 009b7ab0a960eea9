// Server validation and the validate handler.
#include "client/kojelly_validate.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "client/kojelly_session.hpp"
#include "plugin/kojelly_driver.hpp"
#include "util/kojelly_cfg.hpp"
#include "util/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_wire.hpp"

namespace {

constexpr char kOom[] = "out of memory";
constexpr char kNoTransport[] = "no transport";
constexpr char kNoCredentials[] = "APIKey or UserName is required";
constexpr char kServerInfoLabel[] = "server info";
constexpr char kApiKeyLabel[] = "APIKey check";

using kojelly::say;

struct InfoGuard {
    kojelly_info info{};
    ~InfoGuard() { kojelly_info_free(&info); }
};

// One GET without a session: 0 with the status mapped to success, else its code with msg set.
int32_t check(const tessel_http *const *transport, const kojelly_cfg *cfg, const char *path,
              const char *token, int32_t missing, const char *label, kojelly_resp *resp, char *msg,
              size_t msg_size) {
    kojelly::BufGuard url;
    if (kojelly_buf_adds(url.get(), cfg->base_url ? cfg->base_url : "") != 0 ||
        kojelly_buf_adds(url.get(), path) != 0) {
        say(msg, msg_size, "%s", kOom);
        return KOJELLY_EFAIL;
    }
    if (kojelly_http(transport, url.c_str(), nullptr, cfg, token, resp, msg, msg_size) != 0) {
        return KOJELLY_ETRANSPORT;
    }
    const int32_t code = kojelly_map_status(resp->status, missing);
    if (code != KOJELLY_OK) kojelly::http_fail(msg, msg_size, label, url.c_str(), resp);
    return code;
}

bool write_answer(kojelly_buf *answer, const kojelly_cfg *cfg, const char *server_id,
                  const kojelly_info &info) {
    if (kojelly_buf_adds(answer, R"({"FullUrl":)") != 0 ||
        kojelly_buf_json_str(answer, cfg->base_url) != 0) {
        return false;
    }
    if ((!server_id || !*server_id) && (kojelly_buf_adds(answer, R"(,"ID":)") != 0 ||
                                        kojelly_buf_json_str(answer, info.id) != 0)) {
        return false;
    }
    if (info.server_name && (kojelly_buf_adds(answer, R"(,"ServerName":)") != 0 ||
                             kojelly_buf_json_str(answer, info.server_name) != 0)) {
        return false;
    }
    if (info.version && (kojelly_buf_adds(answer, R"(,"ServerVersion":)") != 0 ||
                         kojelly_buf_json_str(answer, info.version) != 0)) {
        return false;
    }
    return kojelly_buf_adds(answer, "}") == 0;
}

}  // namespace

int32_t kojelly_do_validate(const tessel_http *const *transport, const kojelly_cfg *cfg,
                            const char *server_id, kojelly_buf *answer, char *msg,
                            size_t msg_size) {
    // The server is recognised before any credential is sent to it.
    InfoGuard info;
    {
        kojelly::RespGuard resp;
        const int32_t code = check(transport, cfg, "/System/Info/Public", nullptr,
                                   KOJELLY_ETRANSPORT, kServerInfoLabel, resp.get(), msg, msg_size);
        if (code != KOJELLY_OK) return code;
        const int parsed =
            kojelly_parse_info(resp->body, resp->body_len, &info.info, msg, msg_size);
        if (parsed != KOJELLY_OK) return parsed;
    }

    if (cfg->api_key) {
        kojelly::RespGuard resp;
        const int32_t code = check(transport, cfg, "/System/Info", cfg->api_key, KOJELLY_EFAIL,
                                   kApiKeyLabel, resp.get(), msg, msg_size);
        if (code != KOJELLY_OK) return code;
    } else if (cfg->user_name) {
        char *token = nullptr;
        char *user_id = nullptr;
        const int32_t code = kojelly::authenticate(transport, cfg, &token, &user_id, msg, msg_size);
        if (code != KOJELLY_OK) return code;
        kojelly::cache_put(cfg, token, user_id);
        std::free(token);
        std::free(user_id);
    } else {
        say(msg, msg_size, "%s", kNoCredentials);
        return KOJELLY_EINVAL;
    }

    if (!write_answer(answer, cfg, server_id, info.info)) {
        say(msg, msg_size, "%s", kOom);
        return KOJELLY_EFAIL;
    }
    return KOJELLY_OK;
}

int32_t h_validate(const tessel_io *io, const char *settings, char *out, int32_t out_len) noexcept {
    using namespace kojelly;
    char msg[kHandlerMsgSize] = {};
    BufGuard answer;
    CfgGuard cfg;
    const int parsed = kojelly_cfg_parse(settings, 1, cfg.get(), msg, sizeof msg);
    if (parsed != KOJELLY_OK)
        return finish(parsed, answer.get(), msg, nullptr, nullptr, out, out_len);

    int32_t code = KOJELLY_OK;
    kojelly_transport transport;
    if (!io) {
        say(msg, sizeof msg, "%s", kNoTransport);
        code = KOJELLY_ETRANSPORT;
    } else if (kojelly_transport_get(io, &transport, msg, sizeof msg) != 0) {
        code = KOJELLY_EUNSUPPORTED;
    } else {
        code = kojelly_do_validate(&transport.http, cfg.get(), cfg->server_id, answer.get(), msg,
                                   sizeof msg);
    }
    return finish(code, answer.get(), msg, cfg.get(), nullptr, out, out_len);
}
