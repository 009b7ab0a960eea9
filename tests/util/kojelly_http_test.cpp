#include "util/kojelly_http.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/kojelly_io_fake.hpp"
#include "support/alloc_fail.hpp"
#include "util/kojelly_cfg.hpp"

namespace {

using kojelly::kMaxBody;
using kojelly::kMaxUrl;

constexpr char kRefused[] =
    "the transport must carry request headers: install a tessel_http-backed io "
    "(tessel_io_over_http) or call kojelly_use_curl/kojelly_use_fake; a bare tessel_io cannot "
    "authenticate to Jellyfin 12";

// The Authorization value the server must receive, written out from the wire format.
std::string auth_value(const std::string &device, const char *token) {
    std::string v =
        "MediaBrowser Client=\"org.kojelly.plugin\", Device=\"NativeClient\", "
        "DeviceId=\"" +
        device + "\", Version=\"1.0\"";
    if (token && *token) v += ", Token=\"" + std::string(token) + "\"";
    return v;
}

// A transport written for these tests: it records the request it receives and answers with
// the scripted headers, body pieces, status, result and error text. Like a real transport it
// stops delivering as soon as a callback asks it to, and still returns its scripted result.
struct Script {
    std::vector<std::pair<std::string, std::optional<std::string>>> headers;
    std::vector<std::string> pieces;
    uint64_t filler = 0;  // further 'x' bytes, delivered in pieces of 64 KiB
    int32_t status = 200;
    int32_t rc = 0;
    const char *error = nullptr;

    int calls = 0;
    int frees = 0;
    bool stopped = false;
    tessel_http_req seen{};
    std::string method, url, body;
    std::vector<std::string> lines;
};

int32_t script_request(void *user, const tessel_http_req *req, int32_t *status, char **error) {
    auto *s = static_cast<Script *>(user);
    ++s->calls;
    s->seen = *req;
    s->method = req->method;
    s->url = req->url;
    s->body = req->body ? std::string(static_cast<const char *>(req->body), req->body_len) : "";
    s->lines.assign(req->headers, req->headers + req->header_count);
    auto deliver = [&]() {
        for (const auto &[name, value] : s->headers) {
            if (req->on_header(req->user, name.c_str(), value ? value->c_str() : nullptr)) {
                return false;
            }
        }
        for (const std::string &piece : s->pieces) {
            if (req->on_body(req->user, piece.data(), piece.size())) return false;
        }
        static const std::string chunk(64 * 1024, 'x');
        for (uint64_t left = s->filler; left > 0;) {
            const uint64_t n = std::min<uint64_t>(left, chunk.size());
            if (req->on_body(req->user, chunk.data(), n)) return false;
            left -= n;
        }
        return true;
    };
    s->stopped = !deliver();
    *status = s->status;
    if (s->error) *error = strdup(s->error);
    return s->rc;
}

void script_free(void *user, void *mem) {
    ++static_cast<Script *>(user)->frees;
    std::free(mem);
}

class HttpTest : public ::testing::Test {
protected:
    void SetUp() override { set_device("dev-1"); }

    void set_device(const std::string &device) {
        device_ = device;
        cfg_.device_id = device_.data();
    }

    int send(const char *url, const char *body = nullptr, const char *token = nullptr) {
        kojelly_resp_free(&resp_);
        msg_[0] = '\0';
        return kojelly_http(&http_, url, body, &cfg_, token, &resp_, msg_, sizeof msg_);
    }

    void TearDown() override { kojelly_resp_free(&resp_); }

    Script s_;
    tessel_http table_{32, 1, &s_, script_request, script_free};
    const tessel_http *http_ = &table_;
    std::string device_;
    kojelly_cfg cfg_{};
    kojelly_resp resp_{};
    char msg_[768] = "";
};

TEST_F(HttpTest, RequestRecordOfGetAndPost) {
    struct Case {
        const char *body;
        const char *method;
        uint64_t header_count;
    } cases[] = {
        {nullptr, "GET", 1},
        {"{\"Username\":\"bob\"}", "POST", 2},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        ASSERT_EQ(send("http://srv/Items", c.body, "tok"), 0) << msg_;
        const tessel_http_req &r = s_.seen;
        EXPECT_EQ(r.size, 112u);
        EXPECT_EQ(r.pad_, 0u);
        EXPECT_EQ(s_.method, c.method);
        EXPECT_EQ(s_.url, "http://srv/Items");
        ASSERT_EQ(r.header_count, c.header_count);
        EXPECT_EQ(s_.lines[0], "Authorization: " + auth_value("dev-1", "tok"));
        if (c.body) {
            EXPECT_EQ(s_.lines[1], "Content-Type: application/json");
            EXPECT_EQ(s_.body, c.body);
            EXPECT_EQ(r.body_len, std::strlen(c.body));
        } else {
            EXPECT_EQ(r.body, nullptr);
            EXPECT_EQ(r.body_len, 0u);
        }
        EXPECT_EQ(r.credentials, 0u);
        EXPECT_EQ(r.reserved[0] | r.reserved[1] | r.reserved[2], 0u);
        EXPECT_NE(r.on_header, nullptr);
        EXPECT_NE(r.on_body, nullptr);
        EXPECT_NE(r.user, nullptr);
    }
}

TEST_F(HttpTest, AuthorizationValueCarriesTheTokenOnlyWhenThereIsOne) {
    struct Case {
        const char *token;
        std::string want;
    } cases[] = {
        {nullptr, auth_value("dev-1", nullptr)},
        {"", auth_value("dev-1", nullptr)},
        {"abc123", auth_value("dev-1", "abc123")},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.token ? c.token : "(null)");
        char out[kojelly::kMaxAuthValue + 1];
        ASSERT_EQ(kojelly_auth_header(&cfg_, c.token, out, sizeof out), 0);
        EXPECT_EQ(out, c.want);
        ASSERT_EQ(send("http://srv/x", nullptr, c.token), 0);
        EXPECT_EQ(s_.lines[0], "Authorization: " + c.want);
    }
}

TEST_F(HttpTest, AuthorizationValueOf496CharactersFitsAnd497Overflows) {
    set_device(std::string(64, 'd'));
    const size_t fixed = auth_value(device_, nullptr).size() + std::strlen(", Token=\"\"");
    const std::string fits(kojelly::kMaxAuthValue - fixed, 't');
    const std::string over = fits + "t";
    ASSERT_EQ(auth_value(device_, fits.c_str()).size(), 496u);

    char out[kojelly::kMaxAuthValue + 1];
    EXPECT_EQ(kojelly_auth_header(&cfg_, fits.c_str(), out, sizeof out), 0);
    EXPECT_EQ(kojelly_auth_header(&cfg_, over.c_str(), out, sizeof out), -1);

    ASSERT_EQ(send("http://srv/x", nullptr, fits.c_str()), 0) << msg_;
    EXPECT_EQ(s_.lines[0].size(), std::strlen("Authorization: ") + 496);

    EXPECT_EQ(send("http://srv/x", nullptr, over.c_str()), -1);
    EXPECT_STREQ(msg_, "auth header overflow");
    EXPECT_EQ(s_.calls, 1);
    EXPECT_EQ(resp_.body, nullptr);
}

TEST_F(HttpTest, UrlOf8192BytesIsSentAnd8193Refused) {
    struct Case {
        size_t len;
        int rc;
        int calls;
        const char *msg;
    } cases[] = {
        {kMaxUrl, 0, 1, ""},
        {kMaxUrl + 1, -1, 0, "request URL longer than 8 KiB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.len);
        s_.calls = 0;
        std::string url = "http://srv/x?q=";
        url.append(c.len - url.size(), 'a');
        EXPECT_EQ(send(url.c_str()), c.rc);
        EXPECT_EQ(s_.calls, c.calls);
        EXPECT_STREQ(msg_, c.msg);
        if (c.calls) {
            EXPECT_EQ(s_.url.size(), c.len);
        }
    }
}

TEST_F(HttpTest, NoTransportIsRefused) {
    const tessel_http *none = nullptr;
    for (const tessel_http *const *ref : {static_cast<const tessel_http *const *>(nullptr),
                                          static_cast<const tessel_http *const *>(&none)}) {
        resp_.status = 7;
        EXPECT_EQ(
            kojelly_http(ref, "http://srv/x", nullptr, &cfg_, nullptr, &resp_, msg_, sizeof msg_),
            -1);
        EXPECT_STREQ(msg_, "no transport");
        EXPECT_EQ(resp_.status, 0);
    }
}

TEST_F(HttpTest, TransportFailureQuotesTheRedactedUrlAndTheFirstErrorLine) {
    const char *url = "http://bob:pw@srv:8096/Items?api_key=SECRET&x=1";
    const std::string shown = "http://srv:8096/Items?api_key=***&x=1";
    struct Case {
        const char *name;
        const char *body;
        const char *error;
        std::string want;
    } cases[] = {
        {"no error text", nullptr, nullptr, "GET " + shown + ": transport failure"},
        {"empty error text", nullptr, "", "GET " + shown + ": transport failure"},
        {"two lines", nullptr, "connection refused\r\nretry later",
         "GET " + shown + ": connection refused"},
        {"post", "{}", "timed out", "POST " + shown + ": timed out"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        s_ = Script{};
        s_.rc = -1;
        s_.error = c.error;
        s_.pieces = {"partial"};
        EXPECT_EQ(send(url, c.body), -1);
        EXPECT_EQ(msg_, c.want);
        EXPECT_EQ(s_.frees, c.error ? 1 : 0);
        EXPECT_EQ(resp_.body, nullptr);
        EXPECT_EQ(resp_.headers, nullptr);
        EXPECT_EQ(resp_.status, 0);
    }
}

TEST_F(HttpTest, ErrorTextLeftWithAnAnswerIsReleased) {
    s_.error = "warning";
    s_.pieces = {"ok"};
    ASSERT_EQ(send("http://srv/x"), 0);
    EXPECT_EQ(s_.frees, 1);
    EXPECT_STREQ(resp_.body, "ok");
}

TEST_F(HttpTest, BodyOf32MiBIsKeptAndOneByteMoreStopsTheTransfer) {
    struct Case {
        uint64_t size;
        int rc;
        bool stopped;
    } cases[] = {
        {kMaxBody, 0, false},
        {kMaxBody + 1, -1, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.size);
        s_.filler = c.size;
        const int rc = send("http://u:p@srv/big");
        EXPECT_EQ(rc, c.rc);
        EXPECT_EQ(s_.stopped, c.stopped);
        if (rc == 0) {
            EXPECT_EQ(resp_.body_len, c.size);
            EXPECT_EQ(resp_.body[0], 'x');
            EXPECT_EQ(resp_.body[c.size - 1], 'x');
            EXPECT_EQ(resp_.body[c.size], '\0');
        } else {
            EXPECT_STREQ(msg_, "GET http://srv/big: response too large");
            EXPECT_EQ(resp_.body, nullptr);
            EXPECT_EQ(resp_.headers, nullptr);
        }
    }
}

TEST_F(HttpTest, AnswerInManyPiecesIsCollectedInOrderWithoutStatusHeader) {
    s_.status = 206;
    s_.headers = {{":status", "206"}, {"X-A", "1"}, {"X-A", "2"}, {"X-Empty", std::nullopt}};
    for (char ch : std::string("hello world")) s_.pieces.emplace_back(1, ch);
    s_.pieces.emplace_back(std::string("\0z", 2));
    ASSERT_EQ(send("http://srv/x"), 0) << msg_;
    EXPECT_FALSE(s_.stopped);
    EXPECT_EQ(resp_.status, 206);
    EXPECT_EQ(resp_.body_len, 13u);
    EXPECT_EQ(std::string(resp_.body, resp_.body_len + 1), std::string("hello world\0z\0", 14));
    std::string want;
    for (const char *part : {"X-A", "1", "X-A", "2", "X-Empty", ""}) {
        want.append(part).push_back('\0');
    }
    want.push_back('\0');
    EXPECT_EQ(std::string(resp_.headers, want.size()), want);
}

TEST_F(HttpTest, EmptyAnswerGivesEmptyTextsNotNull) {
    s_.status = 204;
    ASSERT_EQ(send("http://srv/x"), 0);
    EXPECT_EQ(resp_.status, 204);
    ASSERT_NE(resp_.body, nullptr);
    ASSERT_NE(resp_.headers, nullptr);
    EXPECT_STREQ(resp_.body, "");
    EXPECT_STREQ(resp_.headers, "");
    EXPECT_EQ(resp_.body_len, 0u);
    kojelly_resp_free(&resp_);
    kojelly_resp_free(&resp_);
    EXPECT_EQ(resp_.body, nullptr);
}

// Every allocation of a request can fail; each failure must end as "out of memory" with an
// empty response, even though the transport (like a real one) reports success after being
// asked to stop. Leaks show in the sanitizer build.
TEST_F(HttpTest, AllocationFailureEndsAsOutOfMemory) {
    s_.headers = {{"Content-Type", "application/json"}, {"X-Long", std::string(600, 'h')}};
    s_.pieces = {std::string(200, 'a'), std::string(400, 'b')};
    auto run = [&](kojelly_resp *r, char(&msg)[256]) {
        return kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, "tok", r, msg, sizeof msg);
    };
    const uint64_t n = alloc_fail::count([&] {
        kojelly_resp r{};
        char msg[256] = "";
        EXPECT_EQ(run(&r, msg), 0);
        kojelly_resp_free(&r);
    });
    for (uint64_t k = 1; k <= n; ++k) {
        SCOPED_TRACE(k);
        kojelly_resp r{};
        char msg[256] = "";
        int rc;
        {
            alloc_fail::Countdown fail(k);
            rc = run(&r, msg);
            EXPECT_TRUE(fail.fired());
        }
        EXPECT_EQ(rc, -1);
        EXPECT_STREQ(msg, "out of memory");
        EXPECT_EQ(r.body, nullptr);
        EXPECT_EQ(r.headers, nullptr);
        kojelly_resp_free(&r);
    }
    EXPECT_GE(n, 4u);
}

// ---- The body room -------------------------------------------------------------------------

// Answers collected with a room, each reclaimed before the next request: every body is whole and
// NUL-terminated, the block is reused whenever it is large enough (the request then allocates
// for its headers only), and a longer answer grows the block, which is then kept at that size.
TEST_F(HttpTest, RoomCollectsEveryAnswerIntoTheKeptBlock) {
    struct Step {
        const char *what;
        std::vector<std::string> pieces;
        bool same_block;  // the body is the block that the last answer left in the room
    } steps[] = {
        {"first answer: a new block", {std::string(300, 'a')}, false},
        {"shorter answer", {"short"}, true},
        {"empty answer", {}, true},
        {"answer in pieces that outgrows the block", {std::string(500, 'b'), std::string(700, 'c')},
         false},
        {"shorter again", {"{}"}, true},
        {"as long as the grown block allows", {std::string(1200, 'd')}, true},
    };
    s_.headers = {{"X-A", "1"}};
    kojelly::BodyRoom room;
    const char *kept = nullptr;
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        s_.pieces = st.pieces;
        std::string want;
        for (const std::string &p : st.pieces) want += p;
        kojelly_resp r{};
        char msg[256] = "";
        const uint64_t allocs = alloc_fail::count([&] {
            ASSERT_EQ(kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, nullptr, &r, msg,
                                   sizeof msg, &room),
                      0)
                << msg;
        });
        ASSERT_NE(r.body, nullptr);
        EXPECT_EQ(r.body_len, want.size());
        EXPECT_EQ(std::string(r.body, r.body_len + 1), want + std::string(1, '\0'));
        EXPECT_STREQ(r.headers, "X-A");
        EXPECT_EQ(r.body == kept, st.same_block);
        if (st.same_block) {
            EXPECT_EQ(allocs, 1u) << "the headers' buffer only";
        }
        EXPECT_EQ(room.kept(), 0u);

        kept = r.body;
        EXPECT_TRUE(room.reclaim(&r));
        EXPECT_EQ(r.body, nullptr);
        EXPECT_EQ(r.body_len, 0u);
        EXPECT_STREQ(r.headers, "X-A");
        EXPECT_EQ(room.kept(), 1u);
        EXPECT_FALSE(room.reclaim(&r));
        kojelly_resp_free(&r);
    }
}

// Only a block that the room lent comes back to it; any other response keeps its body.
TEST_F(HttpTest, RoomTakesBackOnlyWhatItLent) {
    s_.pieces = {"body"};
    kojelly::BodyRoom room, other;
    ASSERT_EQ(send("http://srv/x"), 0);
    EXPECT_FALSE(room.reclaim(&resp_));
    EXPECT_STREQ(resp_.body, "body");

    kojelly_resp r{};
    char msg[256] = "";
    ASSERT_EQ(kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, nullptr, &r, msg, sizeof msg,
                           &other),
              0);
    EXPECT_FALSE(room.reclaim(&r));
    EXPECT_STREQ(r.body, "body");
    EXPECT_TRUE(other.reclaim(&r));
    EXPECT_EQ(room.kept(), 0u);
    EXPECT_EQ(other.kept(), 1u);
    EXPECT_FALSE(room.reclaim(nullptr));
    kojelly_resp_free(&r);
}

// A response freed instead of reclaimed takes its block along; the room goes on with new ones,
// and keeps at most kKept blocks when more answers come back than it lent out at a time.
TEST_F(HttpTest, RoomOutlivesResponsesThatAreNotReclaimed) {
    kojelly::BodyRoom room;
    std::vector<kojelly_resp> held(kojelly::BodyRoom::kKept + 2, kojelly_resp{});
    for (size_t i = 0; i < held.size(); ++i) {
        SCOPED_TRACE(i);
        s_.pieces = {"answer " + std::to_string(i)};
        char msg[256] = "";
        ASSERT_EQ(kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, nullptr, &held[i], msg,
                               sizeof msg, &room),
                  0);
        EXPECT_EQ(std::string(held[i].body), "answer " + std::to_string(i));
    }
    kojelly_resp_free(&held[0]);
    size_t taken = 0;
    for (size_t i = 1; i < held.size(); ++i) taken += room.reclaim(&held[i]) ? 1 : 0;
    EXPECT_EQ(taken, kojelly::BodyRoom::kKept);
    EXPECT_EQ(room.kept(), kojelly::BodyRoom::kKept);
    for (kojelly_resp &r : held) kojelly_resp_free(&r);

    s_.pieces = {"next"};
    kojelly_resp r{};
    char msg[256] = "";
    ASSERT_EQ(kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, nullptr, &r, msg, sizeof msg,
                           &room),
              0);
    EXPECT_STREQ(r.body, "next");
    EXPECT_EQ(room.kept(), kojelly::BodyRoom::kKept - 1);
    kojelly_resp_free(&r);
}

// Responses that are never reclaimed leave their records in the room; more of them than it
// records at once must not keep it from taking the next blocks back.
TEST_F(HttpTest, RoomTakesBlocksBackAfterManyWereNotReclaimed) {
    kojelly::BodyRoom room;
    s_.pieces = {"not reclaimed"};
    // Held while the next requests are made, so that every block has an address of its own.
    std::vector<kojelly_resp> held(kojelly::BodyRoom::kLent + 8, kojelly_resp{});
    for (kojelly_resp &r : held) {
        char msg[256] = "";
        ASSERT_EQ(kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, nullptr, &r, msg,
                               sizeof msg, &room),
                  0);
    }
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        s_.pieces = {"reclaimed " + std::to_string(round)};
        kojelly_resp r{};
        char msg[256] = "";
        ASSERT_EQ(kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, nullptr, &r, msg,
                               sizeof msg, &room),
                  0);
        EXPECT_EQ(std::string(r.body), "reclaimed " + std::to_string(round));
        EXPECT_TRUE(room.reclaim(&r));
        EXPECT_EQ(room.kept(), 1u);
        kojelly_resp_free(&r);
    }
    for (kojelly_resp &r : held) {
        EXPECT_STREQ(r.body, "not reclaimed");
        kojelly_resp_free(&r);
    }
}

// Every allocation of a request with a room can fail as one without: "out of memory" and an
// empty response, whatever the room keeps; the block a failed request was lent is freed with it.
TEST_F(HttpTest, RoomRequestAllocationFailureEndsAsOutOfMemory) {
    s_.headers = {{"X-Long", std::string(600, 'h')}};
    const std::vector<std::string> answer = {std::string(200, 'a'), std::string(4000, 'b')};
    struct Case {
        const char *what;
        std::string kept;  // the answer whose block the room keeps; "" for none
    } cases[] = {
        {"no block kept", ""},
        {"a smaller block kept: the answer outgrows it", "x"},
        {"a block kept that holds the answer", std::string(5000, 'k')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto run = [&](kojelly::BodyRoom &room, kojelly_resp *r, char(&msg)[256]) {
            return kojelly_http(&http_, "http://srv/x", nullptr, &cfg_, "tok", r, msg, sizeof msg,
                                &room);
        };
        // A room holding the case's block, and the request that is made with it.
        auto prepare = [&](kojelly::BodyRoom &room) {
            if (!c.kept.empty()) {
                s_.pieces = {c.kept};
                kojelly_resp r{};
                char msg[256] = "";
                ASSERT_EQ(run(room, &r, msg), 0);
                ASSERT_TRUE(room.reclaim(&r));
                kojelly_resp_free(&r);
            }
            s_.pieces = answer;
        };
        uint64_t n = 0;
        {
            kojelly::BodyRoom room;
            prepare(room);
            kojelly_resp r{};
            char msg[256] = "";
            n = alloc_fail::count([&] { EXPECT_EQ(run(room, &r, msg), 0); });
            EXPECT_EQ(r.body_len, 4200u);
            kojelly_resp_free(&r);
        }
        EXPECT_GE(n, 1u);
        for (uint64_t k = 1; k <= n; ++k) {
            SCOPED_TRACE(k);
            kojelly::BodyRoom room;
            prepare(room);
            kojelly_resp r{};
            char msg[256] = "";
            int rc;
            {
                alloc_fail::Countdown fail(k);
                rc = run(room, &r, msg);
                EXPECT_TRUE(fail.fired());
            }
            EXPECT_EQ(rc, -1);
            EXPECT_STREQ(msg, "out of memory");
            EXPECT_EQ(r.body, nullptr);
            EXPECT_EQ(r.headers, nullptr);
            EXPECT_EQ(room.kept(), 0u);
            kojelly_resp_free(&r);
        }
    }
}

// ---- Transport selection and the bare adaptor ----------------------------------------------

// A bare io written for these tests: plain get/post slots that record what they receive.
struct BareIo {
    const char *reply = "[]";
    int32_t status = 200;
    int32_t rc = 0;
    const char *error = nullptr;
    int gets = 0, posts = 0, frees = 0;
    std::string url, body, content_type;
};

int32_t bare_answer(BareIo *io, const char *url, char **body_out, int32_t *status_out,
                    char **error_out) {
    io->url = url;
    *status_out = io->status;
    *body_out = io->rc == 0 ? strdup(io->reply) : nullptr;
    if (io->error) *error_out = strdup(io->error);
    return io->rc;
}

int32_t bare_get(void *ctx, const char *url, char **body_out, int32_t *status_out,
                 char **error_out) {
    auto *io = static_cast<BareIo *>(ctx);
    ++io->gets;
    return bare_answer(io, url, body_out, status_out, error_out);
}

int32_t bare_post(void *ctx, const char *url, const char *body, const char *content_type,
                  char **body_out, int32_t *status_out, char **error_out) {
    auto *io = static_cast<BareIo *>(ctx);
    ++io->posts;
    io->body = body;
    io->content_type = content_type;
    return bare_answer(io, url, body_out, status_out, error_out);
}

void bare_free(void *ctx, void *mem) {
    ++static_cast<BareIo *>(ctx)->frees;
    std::free(mem);
}

TEST(TransportGet, SelectsTheHostTableOrTheAdaptorOrRefuses) {
    BareIo b;
    const tessel_io none{&b, nullptr, nullptr, bare_free};
    const tessel_io get_only{&b, bare_get, nullptr, nullptr};
    const tessel_io post_only{&b, nullptr, bare_post, nullptr};
    enum Want { kHostTable, kAdaptor, kRefusal };
    struct Case {
        const char *name;
        const tessel_io *io;
        Want want;
    } cases[] = {
        {"null io", nullptr, kRefusal},
        {"no get or post", &none, kRefusal},
        {"get only", &get_only, kAdaptor},
        {"post only", &post_only, kAdaptor},
        {"http-backed", kojelly_io_fake(), kHostTable},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        kojelly_transport tp;
        char msg[512] = "";
        const int rc = kojelly_transport_get(c.io, &tp, msg, sizeof msg);
        switch (c.want) {
            case kRefusal:
                EXPECT_EQ(rc, -1);
                EXPECT_EQ(tp.http, nullptr);
                EXPECT_STREQ(msg, kRefused);
                break;
            case kAdaptor:
                ASSERT_EQ(rc, 0);
                EXPECT_EQ(tp.http, &tp.adaptor);
                EXPECT_EQ(tp.adaptor.size, 32u);
                EXPECT_EQ(tp.adaptor.version, 1u);
                EXPECT_EQ(tp.adaptor.request, kojelly::bare_request);
                EXPECT_EQ(tp.adaptor.free, kojelly::bare_free_buf);
                EXPECT_EQ(tp.io.ctx, &b);
                break;
            case kHostTable:
                ASSERT_EQ(rc, 0);
                EXPECT_EQ(tp.http, kojelly_http_fake());
                break;
        }
    }
}

class BareTest : public ::testing::Test {
protected:
    void SetUp() override { cfg_.device_id = device_; }
    void TearDown() override { kojelly_resp_free(&resp_); }

    int send(const tessel_io &io, const char *url, const char *body = nullptr) {
        kojelly_resp_free(&resp_);
        msg_[0] = '\0';
        kojelly_transport tp;
        if (kojelly_transport_get(&io, &tp, msg_, sizeof msg_) != 0) return -99;
        return kojelly_http(&tp.http, url, body, &cfg_, "tok", &resp_, msg_, sizeof msg_);
    }

    BareIo b_;
    char device_[8] = "dev-1";
    kojelly_cfg cfg_{};
    kojelly_resp resp_{};
    char msg_[768] = "";
};

TEST_F(BareTest, GetAndPostReachThePlainSlots) {
    const tessel_io io{&b_, bare_get, bare_post, bare_free};
    b_.reply = "{\"a\":1}";
    b_.status = 201;
    ASSERT_EQ(send(io, "http://srv/x"), 0) << msg_;
    EXPECT_EQ(b_.gets, 1);
    EXPECT_EQ(b_.url, "http://srv/x");
    EXPECT_EQ(resp_.status, 201);
    EXPECT_STREQ(resp_.body, "{\"a\":1}");
    EXPECT_STREQ(resp_.headers, "");
    EXPECT_EQ(b_.frees, 1);

    // The record's first line is the Authorization line; the token must not travel as a media
    // type.
    ASSERT_EQ(send(io, "http://srv/y", "{\"k\":2}"), 0) << msg_;
    EXPECT_EQ(b_.posts, 1);
    EXPECT_EQ(b_.body, "{\"k\":2}");
    EXPECT_EQ(b_.content_type, "application/json");
    EXPECT_EQ(b_.frees, 2);
}

TEST_F(BareTest, ContentTypeComesFromAContentTypeLine) {
    tessel_io io{&b_, bare_get, bare_post, bare_free};
    struct Case {
        std::vector<const char *> lines;
        const char *want;
    } cases[] = {
        {{}, "application/json"},
        {{"Authorization: MediaBrowser Token=\"secret\""}, "application/json"},
        {{"Authorization: x", "content-type:  text/plain"}, "text/plain"},
        {{"Content-Type:"}, "application/json"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.want);
        tessel_http_req req{};
        req.size = 112;
        req.method = "POST";
        req.url = "http://srv/p";
        req.headers = c.lines.data();
        req.header_count = c.lines.size();
        req.body = "{}";
        req.body_len = 2;
        int32_t status = 0;
        char *error = nullptr;
        ASSERT_EQ(kojelly::bare_request(&io, &req, &status, &error), 0);
        EXPECT_EQ(b_.content_type, c.want);
        EXPECT_EQ(error, nullptr);
    }
}

TEST_F(BareTest, FailuresOfTheIoAndMissingSlots) {
    const tessel_io post_only{&b_, nullptr, bare_post, nullptr};
    EXPECT_EQ(send(post_only, "http://srv/x"), -1);
    EXPECT_STREQ(msg_, "GET http://srv/x: the io offers no GET");

    const tessel_io failing{&b_, bare_get, nullptr, nullptr};
    b_.rc = -1;
    b_.error = "host unreachable";
    EXPECT_EQ(send(failing, "http://srv/x?pw=hunter2"), -1);
    EXPECT_STREQ(msg_, "GET http://srv/x?pw=***: host unreachable");
    EXPECT_EQ(resp_.body, nullptr);
}

TEST_F(BareTest, NoAuthorizationReachesTheServerThroughABareIo) {
    kojelly::fake_reset_impl();
    ASSERT_EQ(kojelly::fake_set_impl("GET", "http://srv/System/Info", 200, "{}"), 0);
    const tessel_io plain{nullptr, kojelly::f_get, kojelly::f_post, kojelly::f_free};
    ASSERT_EQ(send(plain, "http://srv/System/Info"), 0) << msg_;
    EXPECT_STREQ(resp_.body, "{}");
    EXPECT_STREQ(kojelly::fake_last_headers_impl(), "");
    kojelly::fake_reset_impl();
}

TEST_F(BareTest, ConcurrentCallsEachUseTheirOwnIo) {
    constexpr int kRounds = 300;
    BareIo ios[2];
    ios[0].reply = "from-0";
    ios[1].reply = "from-1";
    auto worker = [&](int i, int *mismatches) {
        const tessel_io io{&ios[i], bare_get, bare_post, bare_free};
        for (int k = 0; k < kRounds; ++k) {
            kojelly_transport tp;
            char msg[256];
            kojelly_resp r{};
            if (kojelly_transport_get(&io, &tp, msg, sizeof msg) != 0 ||
                kojelly_http(&tp.http, "http://srv/x", nullptr, &cfg_, nullptr, &r, msg,
                             sizeof msg) != 0 ||
                std::strcmp(r.body, ios[i].reply) != 0) {
                ++*mismatches;
            }
            kojelly_resp_free(&r);
        }
    };
    int bad[2] = {0, 0};
    std::thread a(worker, 0, &bad[0]), b(worker, 1, &bad[1]);
    a.join();
    b.join();
    EXPECT_EQ(bad[0] + bad[1], 0);
    EXPECT_EQ(ios[0].gets, kRounds);
    EXPECT_EQ(ios[1].gets, kRounds);
}

// ---- Through the fake io -------------------------------------------------------------------

TEST(HttpThroughFake, HeadersAndBodyReachTheFakeServer) {
    kojelly::fake_reset_impl();
    char device[] = "dev-9";
    kojelly_cfg cfg{};
    cfg.device_id = device;
    kojelly_transport tp;
    char msg[768] = "";
    ASSERT_EQ(kojelly_transport_get(kojelly_io_fake(), &tp, msg, sizeof msg), 0);
    ASSERT_EQ(kojelly::fake_set_impl("GET", "http://srv/Items", 200, "[1]"), 0);
    ASSERT_EQ(kojelly::fake_set_impl("POST", "http://srv/Login", 200, "{\"ok\":1}"), 0);

    kojelly_resp r{};
    ASSERT_EQ(kojelly_http(&tp.http, "http://srv/Items", nullptr, &cfg, "tok", &r, msg, sizeof msg),
              0)
        << msg;
    EXPECT_EQ(r.status, 200);
    EXPECT_STREQ(r.body, "[1]");
    EXPECT_EQ(kojelly::fake_last_headers_impl(),
              "Authorization: " + auth_value("dev-9", "tok") + "\n");
    kojelly_resp_free(&r);

    ASSERT_EQ(kojelly_http(&tp.http, "http://srv/Login", "{\"u\":\"bob\"}", &cfg, nullptr, &r, msg,
                           sizeof msg),
              0)
        << msg;
    EXPECT_STREQ(r.body, "{\"ok\":1}");
    EXPECT_EQ(kojelly::fake_last_headers_impl(), "Authorization: " + auth_value("dev-9", nullptr) +
                                                     "\nContent-Type: application/json\n");
    EXPECT_STREQ(kojelly::fake_last_body_impl("http://srv/Login"), "{\"u\":\"bob\"}");
    kojelly_resp_free(&r);

    ASSERT_EQ(
        kojelly_http(&tp.http, "http://srv/none", nullptr, &cfg, nullptr, &r, msg, sizeof msg), 0);
    EXPECT_EQ(r.status, 404);
    EXPECT_STREQ(r.body, "Not Found");
    kojelly_resp_free(&r);
    kojelly::fake_reset_impl();
}

// Threads fetching with one room while others reclaim, as a listing's workers and its merging
// thread do: every body arrives whole, and no block is lost or handed out twice.
TEST(HttpThroughFake, RoomServesSeveralThreadsAtOnce) {
    kojelly::fake_reset_impl();
    kojelly_cfg cfg{};
    kojelly_transport tp;
    char msg[768] = "";
    ASSERT_EQ(kojelly_transport_get(kojelly_io_fake(), &tp, msg, sizeof msg), 0);
    constexpr int kThreads = 4;
    constexpr int kRounds = 300;
    std::vector<std::string> bodies;
    for (int t = 0; t < kThreads; ++t) {
        bodies.push_back(std::string(1000 + 700 * t, static_cast<char>('a' + t)));
        const std::string url = "http://srv/page" + std::to_string(t);
        ASSERT_EQ(kojelly::fake_set_impl("GET", url.c_str(), 200, bodies.back().c_str()), 0);
    }
    kojelly::BodyRoom room;
    auto worker = [&](int t, int *bad) {
        const std::string url = "http://srv/page" + std::to_string(t);
        for (int i = 0; i < kRounds; ++i) {
            kojelly_resp r{};
            char m[256] = "";
            if (kojelly_http(&tp.http, url.c_str(), nullptr, &cfg, nullptr, &r, m, sizeof m,
                             &room) != 0 ||
                r.body_len != bodies[t].size() || std::string(r.body) != bodies[t]) {
                ++*bad;
            }
            // Half of the answers are handed back; the rest go with their responses.
            if (i % 2 == 0) (void)room.reclaim(&r);
            kojelly_resp_free(&r);
        }
    };
    int bad[kThreads] = {};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(worker, t, &bad[t]);
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
    EXPECT_LE(room.kept(), kojelly::BodyRoom::kKept);

    // The room still lends and takes back as before.
    kojelly_resp r{};
    ASSERT_EQ(kojelly_http(&tp.http, "http://srv/page3", nullptr, &cfg, nullptr, &r, msg,
                           sizeof msg, &room),
              0);
    EXPECT_EQ(std::string(r.body), bodies[3]);
    const size_t before = room.kept();
    EXPECT_TRUE(room.reclaim(&r));
    EXPECT_EQ(room.kept(), before + 1);
    kojelly_resp_free(&r);
    kojelly::fake_reset_impl();
}

}  // namespace
