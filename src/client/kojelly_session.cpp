// Sessions, the login, the process-wide token cache and the HTTP failure message.
#include "client/kojelly_session.hpp"

#include <array>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "kojelly.h"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_msg.hpp"
#include "util/kojelly_redact.hpp"
#include "util/platform.hpp"
#include "wire/kojelly_wire.hpp"

static_assert(sizeof(kojelly_sess) == 40);
static_assert(offsetof(kojelly_sess, transport) == 0);
static_assert(offsetof(kojelly_sess, cfg) == 8);
static_assert(offsetof(kojelly_sess, token) == 16);
static_assert(offsetof(kojelly_sess, user_id) == 24);
static_assert(offsetof(kojelly_sess, from_cache) == 32);

namespace kojelly {
namespace {

constexpr char kLoginPath[] = "/Users/AuthenticateByName";
constexpr char kLoginLabel[] = "login";
// Longest form of one byte inside a JSON string ("\u00XX").
constexpr uint64_t kJsonEscapeMax = 6;
// The fixed bytes of the login body: {"Username":"","Pw":""} and the NUL.
constexpr uint64_t kLoginBodyFixed = sizeof(R"({"Username":"","Pw":""})");

// One login remembered under its key (url, user, password, device id). url NULL marks an empty
// entry.
struct cache_entry {
    char *url;
    char *user;
    char *password;
    char *device_id;
    char *token;
    char *user_id;
    uint32_t tick;  // g_cache_tick at the entry's last store or hit
};

// The token cache. g_cache_lock guards every entry and the tick; it is held only for table work,
// never while a request is in flight and never together with another lock, and texts that leave
// the table are freed after it is released.
std::array<cache_entry, kCacheSlots> g_cache{};
uint32_t g_cache_tick = 0;
platform::Lock g_cache_lock;

// Frees the six texts and zeroes all seven fields.
void entry_free(cache_entry *e) {
    std::free(e->url);
    std::free(e->user);
    kojelly_free_secret(e->password);
    std::free(e->device_id);
    kojelly_free_secret(e->token);
    std::free(e->user_id);
    *e = cache_entry{};
}

bool same(const char *a, const char *b) {
    return a && b && std::strcmp(a, b) == 0;
}

bool entry_is(const cache_entry &e, const kojelly_cfg *cfg) {
    return e.url && same(e.url, cfg->base_url) && same(e.user, cfg->user_name) &&
           same(e.password, cfg->password) && same(e.device_id, cfg->device_id);
}

// The login body {"Username":...,"Pw":...} in a buffer that holds it without ever moving: its one
// block is reserved for the longest escaped form first, since a realloc would free a copy of the
// password without wiping it.
bool login_body(kojelly_buf *body, const char *user, const char *password) {
    const uint64_t ulen = std::strlen(user);
    const uint64_t plen = std::strlen(password);
    if (ulen > UINT64_MAX / 16 || plen > UINT64_MAX / 16) return false;
    const uint64_t most = (ulen + plen) * kJsonEscapeMax + kLoginBodyFixed;
    if (kojelly_buf_reserve(body, most) != 0) return false;
    return kojelly_buf_adds(body, R"({"Username":)") == 0 &&
           kojelly_buf_json_str(body, user) == 0 && kojelly_buf_adds(body, R"(,"Pw":)") == 0 &&
           kojelly_buf_json_str(body, password) == 0 && kojelly_buf_adds(body, "}") == 0;
}

// The session's cached token was refused (revoked, or the server restarted): forgets it
// everywhere and logs in once more, caching the new login. 0 with two owned texts, or the
// login's code with one line in msg.
int32_t relogin(const kojelly_sess *sess, char **token, char **user_id, Error &err) {
    cache_drop(sess->cfg);
    const int32_t login = authenticate(sess->transport, sess->cfg, token, user_id, err);
    if (login == KOJELLY_OK) cache_put(sess->cfg, *token, *user_id);
    return login;
}

}  // namespace

int32_t authenticate(const tessel_http *const *transport, const kojelly_cfg *cfg, char **token,
                     char **user_id, Error &err) {
    *token = nullptr;
    *user_id = nullptr;
    OwnedBuf url;
    // The body holds the password: it is wiped over its whole capacity on every path.
    Owned<kojelly_buf, kojelly_buf_free_secret> body;

    const char *password = cfg->password ? cfg->password : "";
    if (!cfg->user_name || kojelly_buf_adds(url.get(), cfg->base_url ? cfg->base_url : "") != 0 ||
        kojelly_buf_adds(url.get(), kLoginPath) != 0 ||
        !login_body(body.get(), cfg->user_name, password)) {
        return cfg->user_name ? err.out_of_memory()
                              : err.fail(KOJELLY_EINVAL, "%s", kNoCredentials);
    }

    // The answer carries the access token.
    Owned<kojelly_resp, kojelly_resp_free_secret> resp;
    if (const int32_t sent =
            kojelly_http(transport, cfg, {url.c_str(), body->data}, resp.get(), err))
        return sent;
    if (const int32_t code = judge(resp.get(), KOJELLY_EFAIL, kLoginLabel, url.c_str(), err))
        return code;
    return kojelly_parse_auth(resp->body, resp->body_len, token, user_id, err);
}

void cache_put(const kojelly_cfg *cfg, const char *token, const char *user_id) {
    if (!cfg) return;
    cache_entry fresh{kojelly_strdup(cfg->base_url),
                      kojelly_strdup(cfg->user_name),
                      kojelly_strdup(cfg->password),
                      kojelly_strdup(cfg->device_id),
                      kojelly_strdup(token),
                      kojelly_strdup(user_id),
                      0};
    if (!fresh.url || !fresh.user || !fresh.password || !fresh.device_id || !fresh.token ||
        !fresh.user_id) {
        entry_free(&fresh);
        return;
    }
    cache_entry old{};
    {
        platform::LockGuard hold(g_cache_lock);
        size_t chosen = kCacheSlots;
        size_t lru = 0;
        for (size_t i = 0; i < kCacheSlots; ++i) {
            if (!g_cache[i].url || entry_is(g_cache[i], cfg)) {
                chosen = i;
                break;
            }
            // Among equal ticks the lowest index stays chosen.
            if (g_cache[i].tick < g_cache[lru].tick) lru = i;
        }
        if (chosen == kCacheSlots) chosen = lru;
        old = g_cache[chosen];
        fresh.tick = ++g_cache_tick;
        g_cache[chosen] = fresh;
    }
    entry_free(&old);
}

bool cache_get(const kojelly_cfg *cfg, char **token, char **user_id) {
    *token = nullptr;
    *user_id = nullptr;
    if (!cfg) return false;
    platform::LockGuard hold(g_cache_lock);
    for (cache_entry &e : g_cache) {
        if (!entry_is(e, cfg)) continue;
        *token = kojelly_strdup(e.token);
        *user_id = kojelly_strdup(e.user_id);
        e.tick = ++g_cache_tick;
        if (*token && *user_id) return true;
        std::free(*token);
        std::free(*user_id);
        *token = nullptr;
        *user_id = nullptr;
        return false;
    }
    return false;
}

void cache_drop(const kojelly_cfg *cfg) {
    if (!cfg) return;
    std::array<cache_entry, kCacheSlots> gone{};
    {
        platform::LockGuard hold(g_cache_lock);
        for (size_t i = 0; i < kCacheSlots; ++i) {
            if (entry_is(g_cache[i], cfg)) std::swap(gone[i], g_cache[i]);
        }
    }
    for (cache_entry &e : gone) entry_free(&e);
}

int32_t judge(const kojelly_resp *resp, int32_t missing, const char *label, const char *url,
              Error &err) {
    const int32_t code = kojelly_map_status(resp->status, missing);
    if (code == KOJELLY_OK) return KOJELLY_OK;
    char where[kFailUrlSize];
    char line[kFailLineSize];
    kojelly_redact_into(url, where, sizeof where);
    kojelly_body_line(resp->body, line, sizeof line);
    return err.fail(code, "%s: %s answered HTTP %ld%s%s", label, where,
                    static_cast<long>(resp->status), line[0] ? ": " : "", line);
}

int32_t Session::send(const char *url, const char *body, kojelly_resp *resp, Error &err,
                      BodyRoom::Loan *loan) {
    bool renewed = false;
    for (;;) {
        char *token;
        uint64_t seen;
        bool cached;
        {
            std::lock_guard hold(lock_);
            token = kojelly_strdup(sess_.token ? sess_.token : "");
            seen = generation_;
            cached = sess_.from_cache != 0;
        }
        if (!token) return err.out_of_memory();
        const int32_t sent = kojelly_http(sess_.transport, sess_.cfg, {url ? url : "", body, token},
                                          resp, err, loan);
        kojelly_free_secret(token);
        if (sent != KOJELLY_OK) return sent;
        const bool refused = resp->status == 401 || resp->status == 403;
        if (!refused || renewed || !cached) return KOJELLY_OK;

        kojelly_resp_free(resp);
        if (const int32_t login = renew(seen, err)) return login;
        renewed = true;
    }
}

int32_t Session::renew(uint64_t seen, Error &err) {
    std::lock_guard one(renewing_);
    {
        std::lock_guard hold(lock_);
        if (renewal_.code != KOJELLY_OK) return err.take(renewal_);
        // Another thread renewed the token while this request was under way.
        if (generation_ != seen) return KOJELLY_OK;
    }
    char *token = nullptr;
    char *user_id = nullptr;
    const int32_t login = relogin(&sess_, &token, &user_id, err);
    std::lock_guard hold(lock_);
    if (login != KOJELLY_OK) return renewal_.take(err);
    std::swap(sess_.token, token);
    std::swap(sess_.user_id, user_id);
    sess_.from_cache = 0;
    ++generation_;
    kojelly_free_secret(token);
    std::free(user_id);
    return KOJELLY_OK;
}

}  // namespace kojelly

int32_t kojelly_sess_open(kojelly_sess *sess, const tessel_http *const *transport,
                          const kojelly_cfg *cfg, kojelly::Error &err) {
    *sess = kojelly_sess{transport, cfg, nullptr, nullptr, 0};
    if (cfg && cfg->api_key) {
        sess->token = kojelly_strdup(cfg->api_key);
        return sess->token ? KOJELLY_OK : err.out_of_memory();
    }
    if (!cfg || !cfg->user_name) return err.fail(KOJELLY_EINVAL, "%s", kojelly::kNoCredentials);
    if (kojelly::cache_get(cfg, &sess->token, &sess->user_id)) {
        sess->from_cache = 1;
        return KOJELLY_OK;
    }
    const int32_t code = kojelly::authenticate(transport, cfg, &sess->token, &sess->user_id, err);
    if (code == KOJELLY_OK) kojelly::cache_put(cfg, sess->token, sess->user_id);
    return code;
}

void kojelly_sess_close(kojelly_sess *sess) {
    if (!sess) return;
    kojelly_free_secret(sess->token);
    std::free(sess->user_id);
    *sess = kojelly_sess{};
}

void kojelly_cache_clear() {
    std::array<kojelly::cache_entry, kojelly::kCacheSlots> gone{};
    {
        platform::LockGuard hold(kojelly::g_cache_lock);
        std::swap(gone, kojelly::g_cache);
    }
    for (kojelly::cache_entry &e : gone) kojelly::entry_free(&e);
}
