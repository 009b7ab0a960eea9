// Sessions: the credentials with which one list or stream request talks to the server (the API
// key of the settings, or the access token of a login), the login itself, and the process-wide
// token cache that lets many requests with the same settings share one login. Every
// authenticated request goes through Session::send, which renews a refused cached token once,
// for one thread or for the worker threads of a listing alike. The module also words the
// one-line message with which every server operation reports an HTTP status that is not a
// success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "request/kojelly_http.hpp"
#include "tessel_http.h"
#include "util/kojelly_msg.hpp"

struct kojelly_cfg;

// One open session. The transport and the settings are borrowed from the caller and must
// outlive the session; token and user_id are owned heap texts.
struct kojelly_sess {
    const tessel_http *const *transport;  // the table that kojelly_transport_get delivered
    const kojelly_cfg *cfg;               // base URL, credentials, device id
    char *token;                          // a copy of the API key, or a login's access token
    char *user_id;                        // the login's user id; NULL with an API key
    int32_t from_cache;                   // 1 while the token is one taken from the token cache
};

// Opens a session: the API key when the settings carry one (nothing is sent), else a cached
// token for the same URL, user, password and device id, else a login whose token is then
// cached. 0, or a status code with err recorded; the session is safe to close either way.
[[nodiscard]] int32_t kojelly_sess_open(kojelly_sess *sess, const tessel_http *const *transport,
                                        const kojelly_cfg *cfg, kojelly::Error &err);
// Frees the texts and zeroes every field; harmless on a zeroed or closed session.
void kojelly_sess_close(kojelly_sess *sess);
// Forgets every cached login. Safe from any thread.
void kojelly_cache_clear();

namespace kojelly {

// Entries of the process-wide token cache.
inline constexpr size_t kCacheSlots = 16;
// Areas for the redacted URL and the answer line quoted by judge.
inline constexpr size_t kFailUrlSize = 512;
inline constexpr size_t kFailLineSize = 200;

// Logs in with the settings' user name and password (POST /Users/AuthenticateByName). 0 with
// two owned texts in *token and *user_id, or a status code with both NULL and err recorded.
// The request body, which holds the password, is wiped before it is released.
[[nodiscard]] int32_t authenticate(const tessel_http *const *transport, const kojelly_cfg *cfg,
                                   char **token, char **user_id, Error &err);

// The status code of an answer: 0 for a success status, else kojelly_map_status(status,
// missing), recorded in err with "<label>: <redacted url> answered HTTP <status>[: <first line
// of the body>]".
[[nodiscard]] int32_t judge(const kojelly_resp *resp, int32_t missing, const char *label,
                            const char *url, Error &err);

// Stores a login under the settings' key, replacing the entry of the same key, else an empty
// slot, else the least recently used one. Stores nothing when a copy cannot be made.
void cache_put(const kojelly_cfg *cfg, const char *token, const char *user_id);
// Copies the token and user id of the entry for the settings' key and refreshes its use. True
// on a hit with both copies made; false (both NULL) otherwise.
bool cache_get(const kojelly_cfg *cfg, char **token, char **user_id);
// Drops every entry for the settings' key.
void cache_drop(const kojelly_cfg *cfg);

// A session record closed at the end of its scope.
using OwnedSess = Owned<kojelly_sess, kojelly_sess_close>;

// The session of one request, which several threads may use at once: the thread of the
// operation and the worker threads that fetch the pages of one folder. Every request is sent
// with a copy of the token taken under the lock. When a token taken from the cache is refused
// with 401 or 403, the first request to meet the refusal drops that key's cache entries and logs
// in once while the others wait for it, and each sends its request once more with the new
// token; a failed renewal is the answer of every request refused after it. Only a token from
// the cache is ever renewed: a token from a login of this session, and an API key, are not.
class Session {
public:
    Session() = default;
    ~Session() { kojelly_sess_close(&sess_); }
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // kojelly_sess_open into this session.
    [[nodiscard]] int32_t open(const tessel_http *const *transport, const kojelly_cfg *cfg,
                               Error &err) {
        return kojelly_sess_open(&sess_, transport, cfg, err);
    }

    // Sends one request with the session's token: a GET of url, or a POST of body when body is
    // not NULL; with a loan, the body is collected as kojelly_http collects it with one. 0 when
    // resp holds an answer, whatever its status; -4 when the request did not complete; -5 when
    // the token cannot be copied; the renewal login's code when that failed. From any thread.
    [[nodiscard]] int32_t send(const char *url, const char *body, kojelly_resp *resp, Error &err,
                               BodyRoom::Loan *loan = nullptr);

    // The session's record, for the thread of the operation while no request is in flight:
    // the token and the user id it holds may change with every renewal.
    const kojelly_sess &record() const { return sess_; }

private:
    // The renewal for a request sent with the token of generation `seen`: 0 once the session
    // holds a token newer than that one, else the failed login's code.
    int32_t renew(uint64_t seen, Error &err);

    kojelly_sess sess_{};
    std::mutex lock_;          // the session's token, user id and cache flag, and what follows
    uint64_t generation_ = 0;  // renewals made
    Error renewal_;            // the failed renewal, code 0 while none failed
    std::mutex renewing_;      // held by the one thread that logs in
};

}  // namespace kojelly
