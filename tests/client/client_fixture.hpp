// Shared pieces of the server-operation tests: the fixture that resets the fake io's routes and
// the token cache, canned settings and server answers, and a recording transport in front of the
// fake io that keeps the exact request sequence, can refuse chosen tokens with 401/403 (as a
// server does with a revoked session) and can run a hook before a request is answered.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client/kojelly_call.hpp"
#include "client/kojelly_session.hpp"
#include "fakes/kojelly_io_fake.hpp"
#include "plugin/kojelly_driver.hpp"
#include "request/kojelly_cfg.hpp"

namespace client_test {

inline constexpr char kBase[] = "http://srv:8096";
inline constexpr char kLoginUrl[] = "http://srv:8096/Users/AuthenticateByName";
inline constexpr char kApiKey[] = "key-0123456789";
inline constexpr char kUserId[] = "42";
inline constexpr char kApiKeySettings[] =
    R"({"FullUrl":"http://srv:8096","APIKey":"key-0123456789","DeviceId":"dev-0001"})";
inline constexpr char kLoginSettings[] =
    R"({"FullUrl":"http://srv:8096","UserName":"bob","Password":"pw-secret","DeviceId":"dev-0001"})";

// A login answer carrying token and the user id 42.
inline std::string login_answer(const std::string &token) {
    return R"({"AccessToken":")" + token + R"(","User":{"Id":"42"}})";
}

// An item object of an /Items answer.
inline std::string item(const std::string &id, bool folder, const std::string &name = "") {
    std::string o = R"({"Id":")" + id + R"(","IsFolder":)" + (folder ? "true" : "false");
    if (!name.empty()) o += R"(,"Name":")" + name + "\"";
    return o + "}";
}

// An /Items page of the given item objects, with "TotalRecordCount" when total >= 0.
inline std::string page(const std::vector<std::string> &items, long long total = -1) {
    std::string p = R"({"Items":[)";
    for (size_t i = 0; i < items.size(); ++i) p += (i ? "," : "") + items[i];
    p += "]";
    if (total >= 0) p += R"(,"TotalRecordCount":)" + std::to_string(total);
    return p + "}";
}

// The lookup of an item by API key and by login, and one page of a folder listing.
inline std::string key_lookup_url(const std::string &id) {
    return std::string(kBase) + "/Items?Ids=" + id + "&Fields=ParentId%2CSize%2CContainer";
}
inline std::string login_lookup_url(const std::string &id) {
    return std::string(kBase) + "/Users/42/Items/" + id;
}
inline std::string page_url(const std::string &id, long long start) {
    return std::string(kBase) + "/Items?ParentId=" + id +
           "&Fields=ParentId%2CProductionYear%2CSize%2CProviderIds%2CContainer%2CMediaSources"
           "&SortBy=SortName&SortOrder=Ascending&StartIndex=" +
           std::to_string(start) + "&Limit=500";
}

inline void route(const char *method, const std::string &url, int status, const std::string &body) {
    ASSERT_EQ(0, kojelly::fake_set_impl(method, url.c_str(), status, body.c_str()));
}

inline int calls(const char *method, const std::string &url) {
    return kojelly::fake_calls_impl(method, url.c_str());
}

// A transport in front of the fake io. Every request is recorded as "METHOD url"; a request
// whose Authorization carries a refused token is answered with refuse_status without reaching
// the fake; before every request is answered the hook runs (outside every lock of the library).
class Recorder {
public:
    Recorder() {
        table_ = tessel_http{32, 1, this, &Recorder::request, &Recorder::release};
        ctx_ = tessel_http_ctx{TESSEL_HTTP_CTX_MAGIC, 24, &table_, nullptr};
        io_ = tessel_io{&ctx_, nullptr, nullptr, nullptr};
        http_ = &table_;
    }
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // The transport handle the session and validation functions take.
    const tessel_http *const *handle() const { return &http_; }
    // An http-backed io for the handlers.
    const tessel_io *io() const { return &io_; }

    void refuse(const std::string &token, int status = 401) {
        std::lock_guard<std::mutex> hold(lock_);
        refused_.insert(token);
        refuse_status_ = status;
    }
    void hook(std::function<void(const std::string &url)> fn) { hook_ = std::move(fn); }
    // Forgets the log, the refused tokens and the hook.
    void reset() {
        std::lock_guard<std::mutex> hold(lock_);
        log_.clear();
        tokens_.clear();
        refused_.clear();
        refuse_status_ = 401;
        hook_ = nullptr;
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> hold(lock_);
        return log_;
    }
    // The Token part of each request's Authorization line, "" where it had none.
    std::vector<std::string> tokens() {
        std::lock_guard<std::mutex> hold(lock_);
        return tokens_;
    }
    // The Token part of the last request's Authorization line, "" when it had none.
    std::string last_token() {
        std::lock_guard<std::mutex> hold(lock_);
        return last_token_;
    }

private:
    static std::string token_of(const tessel_http_req *req) {
        static constexpr char kMark[] = "Token=\"";
        for (uint64_t i = 0; i < req->header_count; ++i) {
            const char *line = req->headers[i];
            if (std::strncmp(line, "Authorization: ", 15) != 0) continue;
            const char *t = std::strstr(line, kMark);
            if (!t) return "";
            t += sizeof kMark - 1;
            return std::string(t, std::strcspn(t, "\""));
        }
        return "";
    }

    static int32_t request(void *user, const tessel_http_req *req, int32_t *status, char **error) {
        auto *self = static_cast<Recorder *>(user);
        const std::string token = token_of(req);
        bool refused = false;
        int refuse_status = 0;
        {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->log_.push_back(std::string(req->method) + " " + req->url);
            self->last_token_ = token;
            self->tokens_.push_back(token);
            refused = self->refused_.count(token) > 0;
            refuse_status = self->refuse_status_;
        }
        if (self->hook_) self->hook_(req->url);
        if (refused) {
            static constexpr char kRevoked[] = "session revoked";
            *status = refuse_status;
            if (error) *error = nullptr;
            req->on_body(req->user, kRevoked, sizeof kRevoked - 1);
            return 0;
        }
        return kojelly::fake_request(nullptr, req, status, error);
    }
    static void release(void *, void *mem) { std::free(mem); }

    tessel_http table_{};
    tessel_http_ctx ctx_{};
    tessel_io io_{};
    const tessel_http *http_ = nullptr;
    std::mutex lock_;
    std::vector<std::string> log_;
    std::vector<std::string> tokens_;
    std::set<std::string> refused_;
    int refuse_status_ = 401;
    std::string last_token_;
    std::function<void(const std::string &)> hook_;
};

// Parsed settings for the functions below the handlers.
inline void parse(const char *settings, kojelly_cfg *cfg) {
    kojelly::Error err;
    ASSERT_EQ(0, kojelly_cfg_parse(settings, 1, cfg, err)) << err.msg;
}

// A call over the transport with settings parsed, as the request driver makes it before it
// opens the session; the session is not open yet.
struct TestCall : kojelly::Call {
    TestCall(const tessel_http *const *transport, const char *settings) {
        parse(settings, cfg.get());
        transport_handle = transport;
    }
    // Opens the session over the test's transport.
    int32_t open() { return session.open(transport_handle, cfg.get(), err); }

    const tessel_http *const *transport_handle;
};

// Resets the process-wide state the operations share: the fake's routes and the token cache.
class ClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        kojelly::fake_reset_impl();
        kojelly_cache_clear();
    }
    void TearDown() override {
        kojelly::fake_reset_impl();
        kojelly_cache_clear();
    }
};

// The outcome of one operation run in a session of its own.
struct OpResult {
    int32_t code;
    std::string msg;
    std::string answer;
};

// An operation run inside an open session.
using Operation = int32_t (*)(kojelly::Call &call, const char *arg, kojelly_buf *answer);

// Opens a session over the transport for settings and runs op with arg, as the request driver
// does, without its answer framing.
inline OpResult run_op(const tessel_http *const *transport, const char *settings, Operation op,
                       const char *arg) {
    kojelly::Call call;
    if (kojelly_cfg_parse(settings, 1, call.cfg.get(), call.err) != 0)
        return {-8, call.err.msg, ""};
    kojelly::OwnedBuf answer;
    int32_t code = call.session.open(transport, call.cfg.get(), call.err);
    if (code == 0) code = op(call, arg, answer.get());
    return {code, call.err.msg, answer.c_str()};
}

}  // namespace client_test
