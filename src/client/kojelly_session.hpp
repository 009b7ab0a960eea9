// Sessions: the credentials with which one list or stream request talks to the server (the API
// key of the settings, or the access token of a login), the login itself, and the process-wide
// token cache that lets many requests with the same settings share one login. Every
// authenticated request goes through api_get, which renews a refused cached token once. The
// module also words the one-line message with which every server operation reports an HTTP
// status that is not a success.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>

#include "tessel_http.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_http.hpp"

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
// cached. 0, or a status code with one line in msg; the session is safe to close either way.
[[nodiscard]] int32_t kojelly_sess_open(kojelly_sess *sess, const tessel_http *const *transport,
                                        const kojelly_cfg *cfg, char *msg, size_t msg_size);
// Frees the texts and zeroes every field; harmless on a zeroed or closed session.
void kojelly_sess_close(kojelly_sess *sess);
// Forgets every cached login. Safe from any thread.
void kojelly_cache_clear();

namespace kojelly {

// Entries of the process-wide token cache.
inline constexpr size_t kCacheSlots = 16;
// Areas for the redacted URL and the answer line quoted by http_fail.
inline constexpr size_t kFailUrlSize = 512;
inline constexpr size_t kFailLineSize = 200;

// Logs in with the settings' user name and password (POST /Users/AuthenticateByName). 0 with
// two owned texts in *token and *user_id, or a status code with both NULL and one line in msg.
// The request body, which holds the password, is wiped before it is released.
[[nodiscard]] int32_t authenticate(const tessel_http *const *transport, const kojelly_cfg *cfg,
                                   char **token, char **user_id, char *msg, size_t msg_size);

// What api_get answers.
enum ApiResult : int {
    kApiAnswered = 0,      // resp holds the answer, whatever its status; the caller frees it
    kApiNoAnswer = -1,     // the request did not complete; msg holds why (callers report -4)
    kApiLoginFailed = -2,  // a renewal login failed; its code is in *code and its line in msg
};

// Sends one request of the session: a GET, or a POST of body when body is not NULL. When a
// token taken from the cache is refused with 401 or 403, that key's cache entries are dropped,
// one login is made and the request is sent once more with the new token.
// With a room, the answer's body is collected as kojelly_http does with one.
[[nodiscard]] int api_get(kojelly_sess *sess, const kojelly_buf *url, const char *body,
                          kojelly_resp *resp, int32_t *code, char *msg, size_t msg_size,
                          BodyRoom *room = nullptr);

// As api_get, with its outcome as a status code: 0 when resp holds an answer, whatever its
// status; -4 when the request did not complete; the renewal login's code when that failed.
[[nodiscard]] int32_t api_call(kojelly_sess *sess, const kojelly_buf *url, const char *body,
                               kojelly_resp *resp, char *msg, size_t msg_size,
                               BodyRoom *room = nullptr);
// The status code of an answer: 0 for a success status, else kojelly_map_status(status,
// missing) with http_fail's line for label and url in msg.
[[nodiscard]] int32_t judge(const kojelly_resp *resp, int32_t missing, const char *label,
                            const char *url, char *msg, size_t msg_size);

// Stores a login under the settings' key, replacing the entry of the same key, else an empty
// slot, else the least recently used one. Stores nothing when a copy cannot be made.
void cache_put(const kojelly_cfg *cfg, const char *token, const char *user_id);
// Copies the token and user id of the entry for the settings' key and refreshes its use. True
// on a hit with both copies made; false (both NULL) otherwise.
bool cache_get(const kojelly_cfg *cfg, char **token, char **user_id);
// Drops every entry for the settings' key.
void cache_drop(const kojelly_cfg *cfg);

// Writes "<label>: <redacted url> answered HTTP <status>[: <first line of the body>]".
void http_fail(char *msg, size_t msg_size, const char *label, const char *url,
               const kojelly_resp *resp);

// Room for one message of a failed request or login, kept until the thread that reports it
// takes it.
inline constexpr size_t kCallMsgSize = 1024;

// One session used by several threads at once: the worker threads that fetch the pages of one
// folder. Every request is sent with a copy of the session's token taken under the lock, and a
// refused cached token is renewed once for all of them, as api_get renews it for one thread:
// the first thread to meet the refusal drops the cache entries and logs in while the others
// wait for it, and each then sends its request once more with the new token. A failed renewal
// is the answer of every request refused after it. While a SharedSess is in use, no other code
// may touch the session; afterwards the session holds the renewed token.
class SharedSess {
public:
    explicit SharedSess(kojelly_sess *sess) : sess_(sess) {}
    SharedSess(const SharedSess &) = delete;
    SharedSess &operator=(const SharedSess &) = delete;

    // As api_call for a GET, from any thread; also -5 when the token cannot be copied.
    [[nodiscard]] int32_t call(const kojelly_buf *url, kojelly_resp *resp, char *msg,
                               size_t msg_size, BodyRoom *room = nullptr);

private:
    // The renewal for a request sent with the token of generation `seen`: 0 once the session
    // holds a token newer than that one, else the failed login's code with its message.
    int32_t renew(uint64_t seen, char *msg, size_t msg_size);

    kojelly_sess *sess_;
    std::mutex lock_;          // the session's token, user id and cache flag, and what follows
    uint64_t generation_ = 0;  // renewals made
    int32_t renew_code_ = 0;   // the failed renewal's code, 0 while none failed
    char renew_msg_[kCallMsgSize] = {};
    std::mutex renewing_;      // held by the one thread that logs in
};

// A session closed at the end of its scope.
using OwnedSess = Owned<kojelly_sess, kojelly_sess_close>;

// An operation run inside an open session: writes its answer JSON into answer, or one line
// into msg, and returns a status code.
using Operation = int32_t (*)(kojelly_sess *sess, const char *arg, kojelly_buf *answer, char *msg,
                              size_t msg_size);

}  // namespace kojelly
