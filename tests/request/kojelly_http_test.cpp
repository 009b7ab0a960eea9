#include "request/kojelly_http.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "fakes/kojelly_io_fake.hpp"
#include "kojelly.h"
#include "request/kojelly_cfg.hpp"
#include "support/alloc_fail.hpp"
#include "support/heap_size.hpp"

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

    int32_t send(const char *url, const char *body = nullptr, const char *token = nullptr) {
        kojelly_resp_free(&resp_);
        err_ = kojelly::Error{};
        return kojelly_http(&http_, &cfg_, {url, body, token}, &resp_, err_);
    }

    // A GET of http://srv/x whose body is collected into a block of the loan's room; the answer
    // in *out, a failure in err_.
    int32_t fetch(kojelly::BodyRoom::Loan &loan, kojelly_resp *out) {
        err_ = kojelly::Error{};
        return kojelly_http(&http_, &cfg_, {"http://srv/x"}, out, err_, &loan);
    }

    // A request that failed: the transport code returned and recorded, with its message.
    void expect_failed(int32_t rc, const std::string &msg) {
        EXPECT_EQ(rc, KOJELLY_ETRANSPORT);
        EXPECT_EQ(err_.code, KOJELLY_ETRANSPORT);
        EXPECT_EQ(err_.msg, msg);
    }

    void TearDown() override { kojelly_resp_free(&resp_); }

    Script s_;
    tessel_http table_{32, 1, &s_, script_request, script_free};
    const tessel_http *http_ = &table_;
    std::string device_;
    kojelly_cfg cfg_{};
    kojelly_resp resp_{};
    kojelly::Error err_;
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
        ASSERT_EQ(send("http://srv/Items", c.body, "tok"), 0) << err_.msg;
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

    ASSERT_EQ(send("http://srv/x", nullptr, fits.c_str()), 0) << err_.msg;
    EXPECT_EQ(s_.lines[0].size(), std::strlen("Authorization: ") + 496);

    expect_failed(send("http://srv/x", nullptr, over.c_str()), "auth header overflow");
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
        {kMaxUrl + 1, KOJELLY_ETRANSPORT, 0, "request URL longer than 8 KiB"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.len);
        s_.calls = 0;
        std::string url = "http://srv/x?q=";
        url.append(c.len - url.size(), 'a');
        EXPECT_EQ(send(url.c_str()), c.rc);
        EXPECT_EQ(err_.code, c.rc);
        EXPECT_EQ(s_.calls, c.calls);
        EXPECT_STREQ(err_.msg, c.msg);
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
        err_ = kojelly::Error{};
        expect_failed(kojelly_http(ref, &cfg_, {"http://srv/x"}, &resp_, err_), "no transport");
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
        expect_failed(send(url, c.body), c.want);
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
        {kMaxBody + 1, KOJELLY_ETRANSPORT, true},
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
            EXPECT_STREQ(err_.msg, "GET http://srv/big: response too large");
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
    ASSERT_EQ(send("http://srv/x"), 0) << err_.msg;
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
    auto run = [&](kojelly_resp *r, kojelly::Error &err) {
        return kojelly_http(&http_, &cfg_, {"http://srv/x", nullptr, "tok"}, r, err);
    };
    const uint64_t n = alloc_fail::count([&] {
        kojelly_resp r{};
        kojelly::Error err;
        EXPECT_EQ(run(&r, err), 0);
        kojelly_resp_free(&r);
    });
    for (uint64_t k = 1; k <= n; ++k) {
        SCOPED_TRACE(k);
        kojelly_resp r{};
        int32_t rc;
        {
            alloc_fail::Countdown fail(k);
            rc = run(&r, err_);
            EXPECT_TRUE(fail.fired());
        }
        expect_failed(rc, "out of memory");
        EXPECT_EQ(r.body, nullptr);
        EXPECT_EQ(r.headers, nullptr);
        kojelly_resp_free(&r);
    }
    EXPECT_GE(n, 4u);
}

// ---- The body room -------------------------------------------------------------------------

// Answers collected with a room, each body given back before the next request: every body is
// whole and NUL-terminated however much longer the answer before it was, a body given back is
// the block that the next request collects into (which then allocates for its headers only), and
// a longer answer grows that block, which comes back at its new size.
TEST_F(HttpTest, RoomLendsEveryBodyGivenBackForTheNextAnswer) {
    struct Step {
        const char *what;
        std::vector<std::string> pieces;
        bool same_block;  // the body is the block that the last answer gave back
    } steps[] = {
        {"first answer: a new block", {std::string(300, 'a')}, false},
        {"shorter answer", {"short"}, true},
        {"empty answer", {}, true},
        {"answer in pieces that outgrows the block",
         {std::string(500, 'b'), std::string(700, 'c')},
         false},
        {"shorter again", {"{}"}, true},
        {"as long as the grown block allows", {std::string(1200, 'd')}, true},
    };
    s_.headers = {{"X-A", "1"}};
    kojelly::BodyRoom room;
    const char *given = nullptr;
    uint64_t given_cap = 0;
    for (const Step &st : steps) {
        SCOPED_TRACE(st.what);
        s_.pieces = st.pieces;
        std::string want;
        for (const std::string &p : st.pieces) want += p;
        kojelly::BodyRoom::Loan loan{&room};
        kojelly_resp r{};
        const uint64_t allocs =
            alloc_fail::count([&] { ASSERT_EQ(fetch(loan, &r), 0) << err_.msg; });
        ASSERT_NE(r.body, nullptr);
        EXPECT_EQ(r.body_len, want.size());
        EXPECT_EQ(std::string(r.body, r.body_len + 1), want + std::string(1, '\0'));
        EXPECT_STREQ(r.headers, "X-A");
        if (st.same_block) {
            EXPECT_EQ(r.body, given);
            EXPECT_EQ(allocs, 1u) << "the headers' buffer only";
        } else {
            EXPECT_EQ(allocs, 2u) << "the headers' buffer and the body's block";
        }
        // The loan holds the block's capacity: room for the body and its NUL, within the block.
        EXPECT_GT(loan.cap, r.body_len);
        EXPECT_LE(loan.cap, alloc_fail::usable_size(r.body));

        given = r.body;
        given_cap = loan.cap;
        EXPECT_TRUE(room.give_back(&r, loan));
        EXPECT_EQ(r.body, nullptr);
        EXPECT_EQ(r.body_len, 0u);
        EXPECT_STREQ(r.headers, "X-A");
        EXPECT_FALSE(room.give_back(&r, loan)) << "no body left to give";
        kojelly_resp_free(&r);
    }

    // The block given last is lent once, emptied, with its capacity; then the room has none.
    kojelly_buf block = room.lend();
    ASSERT_EQ(block.data, given);
    EXPECT_EQ(block.len, 0u);
    EXPECT_EQ(block.cap, given_cap);
    EXPECT_EQ(block.data[0], '\0');
    const kojelly_buf none = room.lend();
    EXPECT_EQ(none.data, nullptr);
    EXPECT_EQ(none.len, 0u);
    EXPECT_EQ(none.cap, 0u);
    kojelly_buf_free(&block);
}

// A body goes back only to the room whose loan collected it; every other response keeps its body.
TEST_F(HttpTest, RoomTakesBackOnlyWhatItsLoanCollected) {
    s_.pieces = {"body"};
    kojelly::BodyRoom room, other;
    ASSERT_EQ(send("http://srv/x"), 0);
    EXPECT_FALSE(room.give_back(&resp_, kojelly::BodyRoom::Loan{}));
    EXPECT_STREQ(resp_.body, "body");

    kojelly::BodyRoom::Loan theirs{&other};
    kojelly_resp r{};
    ASSERT_EQ(fetch(theirs, &r), 0) << err_.msg;
    EXPECT_FALSE(room.give_back(&r, theirs));
    EXPECT_STREQ(r.body, "body");
    EXPECT_EQ(r.body_len, 4u);
    EXPECT_EQ(room.lend().data, nullptr) << "the refused body went into the room";
    const char *block = r.body;
    EXPECT_TRUE(other.give_back(&r, theirs));
    kojelly_buf lent = other.lend();
    EXPECT_EQ(lent.data, block);
    kojelly_buf_free(&lent);
    EXPECT_FALSE(room.give_back(nullptr, theirs));
    kojelly_resp_free(&r);

    // A failed request leaves no body to give back.
    s_.rc = -1;
    kojelly::BodyRoom::Loan failed{&room};
    expect_failed(fetch(failed, &r), "GET http://srv/x: transport failure");
    EXPECT_FALSE(room.give_back(&r, failed));
    EXPECT_EQ(room.lend().data, nullptr);
    kojelly_resp_free(&r);
}

// The room keeps at most kKept blocks: responses freed without giving their bodies back take
// their blocks along, and a body given back to a full room stays with its response and goes with
// it. The room goes on either way: each block it kept serves one later request, and a request
// beyond them collects into a block of its own.
TEST_F(HttpTest, RoomKeepsAtMostKKeptBlocksAndTheRestGoWithTheirResponses) {
    using Loan = kojelly::BodyRoom::Loan;
    constexpr size_t kKept = kojelly::BodyRoom::kKept;
    kojelly::BodyRoom room;
    auto answer = [](const char *what, size_t i) { return what + std::to_string(i); };

    // Held together, so that every answer has a block of its own.
    std::vector<Loan> loans(kKept + 3, Loan{&room});
    std::vector<kojelly_resp> held(loans.size(), kojelly_resp{});
    for (size_t i = 0; i < held.size(); ++i) {
        s_.pieces = {answer("answer ", i)};
        ASSERT_EQ(fetch(loans[i], &held[i]), 0) << err_.msg;
    }
    kojelly_resp_free(&held[0]);  // never given back
    std::set<const char *> kept;
    for (size_t i = 1; i < held.size(); ++i) {
        SCOPED_TRACE(i);
        const char *block = held[i].body;
        if (room.give_back(&held[i], loans[i])) {
            kept.insert(block);
        } else {
            EXPECT_EQ(held[i].body, block);
            EXPECT_EQ(std::string(held[i].body), answer("answer ", i));
        }
    }
    EXPECT_EQ(kept.size(), kKept);
    for (kojelly_resp &r : held) kojelly_resp_free(&r);

    std::vector<Loan> next_loans(kKept + 1, Loan{&room});
    std::vector<kojelly_resp> next(next_loans.size(), kojelly_resp{});
    for (size_t i = 0; i < next.size(); ++i) {
        SCOPED_TRACE(i);
        s_.pieces = {answer("next ", i)};
        const uint64_t allocs =
            alloc_fail::count([&] { ASSERT_EQ(fetch(next_loans[i], &next[i]), 0) << err_.msg; });
        ASSERT_NE(next[i].body, nullptr);
        EXPECT_EQ(std::string(next[i].body), answer("next ", i));
        if (i < kKept) {
            EXPECT_EQ(kept.erase(next[i].body), 1u) << "not one of the blocks kept";
            EXPECT_EQ(allocs, 1u) << "the headers' buffer only";
        } else {
            EXPECT_EQ(allocs, 2u) << "the headers' buffer and a new block";
        }
    }
    for (kojelly_resp &r : next) kojelly_resp_free(&r);
}

// Every allocation of a request with a loan can fail as one without: "out of memory" and an
// empty response, whatever the room keeps; the block a failed request was lent goes with it
// (leaks show in the sanitizer build), and the room serves the next request.
TEST_F(HttpTest, RoomRequestAllocationFailureEndsAsOutOfMemory) {
    s_.headers = {{"X-Long", std::string(600, 'h')}};
    const std::vector<std::string> answer = {std::string(200, 'a'), std::string(4000, 'b')};
    struct Case {
        const char *what;
        std::string kept;  // the answer whose body the room keeps; "" for none
    } cases[] = {
        {"no block kept", ""},
        {"a smaller block kept: the answer outgrows it", "x"},
        {"a block kept that holds the answer", std::string(5000, 'k')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // A room holding the case's block.
        auto prepare = [&](kojelly::BodyRoom &room) {
            if (!c.kept.empty()) {
                s_.pieces = {c.kept};
                kojelly::BodyRoom::Loan loan{&room};
                kojelly_resp r{};
                ASSERT_EQ(fetch(loan, &r), 0) << err_.msg;
                ASSERT_TRUE(room.give_back(&r, loan));
                kojelly_resp_free(&r);
            }
            s_.pieces = answer;
        };
        uint64_t n = 0;
        {
            kojelly::BodyRoom room;
            prepare(room);
            kojelly::BodyRoom::Loan loan{&room};
            kojelly_resp r{};
            n = alloc_fail::count([&] { EXPECT_EQ(fetch(loan, &r), 0) << err_.msg; });
            EXPECT_EQ(r.body_len, 4200u);
            kojelly_resp_free(&r);
        }
        EXPECT_GE(n, 1u);
        for (uint64_t k = 1; k <= n; ++k) {
            SCOPED_TRACE(k);
            kojelly::BodyRoom room;
            prepare(room);
            kojelly::BodyRoom::Loan loan{&room};
            kojelly_resp r{};
            int32_t rc;
            {
                alloc_fail::Countdown fail(k);
                rc = fetch(loan, &r);
                EXPECT_TRUE(fail.fired());
            }
            expect_failed(rc, "out of memory");
            EXPECT_EQ(r.body, nullptr);
            EXPECT_EQ(r.headers, nullptr);
            EXPECT_FALSE(room.give_back(&r, loan));

            kojelly::BodyRoom::Loan again{&room};
            ASSERT_EQ(fetch(again, &r), 0) << err_.msg;
            EXPECT_EQ(std::string(r.body, r.body_len), answer[0] + answer[1]);
            EXPECT_TRUE(room.give_back(&r, again));
            kojelly_resp_free(&r);
        }
    }
}

// A transport for any number of threads at once: it answers "http://srv/page<n>" with the n-th
// of its pages in one piece, and does little else, so that threads meet in the room rather than
// in the transport.
int32_t page_request(void *user, const tessel_http_req *req, int32_t *status, char **) {
    const auto *pages = static_cast<const std::vector<std::string> *>(user);
    const std::string &page = pages->at(std::strtoul(req->url + 15, nullptr, 10));
    *status = 200;
    (void)req->on_body(req->user, page.data(), page.size());
    return 0;
}

// Threads fetching with one room while others give the bodies back, as a listing's workers and
// its merging thread do; the fetchers also give back every other body of their own at once, so
// that the room is met from every side. A body handed on waits in a queue before it is checked,
// so that a block lent to two requests at once shows as a body that another answer overwrote:
// every body must arrive whole, and the room must end up with at most kKept distinct blocks.
TEST(HttpRoomThreads, FetchersAndGiversShareOneRoom) {
    constexpr int kFetchers = 4;
    constexpr int kGivers = 2;
    constexpr int kRounds = 20000;
    std::vector<std::string> pages;
    for (int t = 0; t < kFetchers; ++t) {
        pages.push_back(std::string(1000 + 700 * t, static_cast<char>('a' + t)));
    }
    const tessel_http table{32, 1, &pages, page_request, nullptr};
    const tessel_http *http = &table;
    const kojelly_cfg cfg{};
    kojelly::BodyRoom room;
    auto fetch = [&](int t, kojelly::BodyRoom::Loan &loan, kojelly_resp *r, kojelly::Error &e) {
        const std::string url = "http://srv/page" + std::to_string(t);
        return kojelly_http(&http, &cfg, {url.c_str()}, r, e, &loan);
    };
    auto whole = [&](int t, const kojelly_resp &r) {
        return r.body && r.body_len == pages[t].size() && std::string(r.body) == pages[t];
    };

    struct Fetched {
        int page;
        kojelly::BodyRoom::Loan loan;
        kojelly_resp resp;
    };
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Fetched> queue;
    int fetching = kFetchers;
    std::atomic<int> failed{0}, broken{0};
    auto fetcher = [&](int t) {
        for (int i = 0; i < kRounds; ++i) {
            Fetched f{t, {&room}, {}};
            kojelly::Error e;
            if (fetch(t, f.loan, &f.resp, e) != 0) ++failed;
            if (i % 2 == 0) {
                if (!whole(t, f.resp)) ++broken;
                (void)room.give_back(&f.resp, f.loan);
                kojelly_resp_free(&f.resp);
                continue;
            }
            std::lock_guard hold(lock);
            queue.push_back(f);
            ready.notify_one();
        }
        std::lock_guard hold(lock);
        --fetching;
        ready.notify_all();
    };
    auto giver = [&] {
        for (uint64_t n = 0;; ++n) {
            Fetched f;
            {
                std::unique_lock hold(lock);
                ready.wait(hold, [&] { return !queue.empty() || fetching == 0; });
                if (queue.empty()) return;
                f = queue.front();
                queue.pop_front();
            }
            if (!whole(f.page, f.resp)) ++broken;
            // Half of the bodies are given back; the rest go with their responses.
            if (n % 2 == 0) (void)room.give_back(&f.resp, f.loan);
            kojelly_resp_free(&f.resp);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kFetchers; ++t) threads.emplace_back(fetcher, t);
    for (int g = 0; g < kGivers; ++g) threads.emplace_back(giver);
    for (std::thread &th : threads) th.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(broken.load(), 0) << "bodies that did not arrive whole";

    // What the room kept: at most kKept blocks, all different, each lent once and emptied.
    std::vector<kojelly_buf> kept;
    std::set<const char *> blocks;
    kept.reserve(kojelly::BodyRoom::kKept + 1);
    for (size_t i = 0; i <= kojelly::BodyRoom::kKept; ++i) {
        kojelly_buf b = room.lend();
        if (!b.data) break;
        EXPECT_EQ(b.len, 0u);
        EXPECT_EQ(b.data[0], '\0');
        EXPECT_GT(b.cap, pages[0].size());
        kept.push_back(b);
        blocks.insert(b.data);
    }
    EXPECT_LE(kept.size(), kojelly::BodyRoom::kKept);
    EXPECT_EQ(blocks.size(), kept.size()) << "a block kept twice";
    for (kojelly_buf &b : kept) kojelly_buf_free(&b);

    // The room still takes a body back and lends it to the next request.
    kojelly::Error err;
    kojelly::BodyRoom::Loan loan{&room};
    kojelly_resp r{};
    ASSERT_EQ(fetch(3, loan, &r, err), 0) << err.msg;
    const char *block = r.body;
    EXPECT_TRUE(room.give_back(&r, loan));
    kojelly_resp_free(&r);
    kojelly::BodyRoom::Loan next{&room};
    ASSERT_EQ(fetch(2, next, &r, err), 0) << err.msg;
    EXPECT_TRUE(whole(2, r));
    EXPECT_EQ(r.body, block);
    kojelly_resp_free(&r);
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
        kojelly::Error err;
        const int32_t rc = kojelly_transport_get(c.io, &tp, err);
        switch (c.want) {
            case kRefusal:
                EXPECT_EQ(rc, KOJELLY_EUNSUPPORTED);
                EXPECT_EQ(err.code, KOJELLY_EUNSUPPORTED);
                EXPECT_EQ(tp.http, nullptr);
                EXPECT_STREQ(err.msg, kRefused);
                break;
            case kAdaptor:
                ASSERT_EQ(rc, 0) << err.msg;
                EXPECT_EQ(err.code, 0);
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

    int32_t send(const tessel_io &io, const char *url, const char *body = nullptr) {
        kojelly_resp_free(&resp_);
        err_ = kojelly::Error{};
        kojelly_transport tp;
        if (kojelly_transport_get(&io, &tp, err_) != 0) return -99;
        return kojelly_http(&tp.http, &cfg_, {url, body, "tok"}, &resp_, err_);
    }

    BareIo b_;
    char device_[8] = "dev-1";
    kojelly_cfg cfg_{};
    kojelly_resp resp_{};
    kojelly::Error err_;
};

TEST_F(BareTest, GetAndPostReachThePlainSlots) {
    const tessel_io io{&b_, bare_get, bare_post, bare_free};
    b_.reply = "{\"a\":1}";
    b_.status = 201;
    ASSERT_EQ(send(io, "http://srv/x"), 0) << err_.msg;
    EXPECT_EQ(b_.gets, 1);
    EXPECT_EQ(b_.url, "http://srv/x");
    EXPECT_EQ(resp_.status, 201);
    EXPECT_STREQ(resp_.body, "{\"a\":1}");
    EXPECT_STREQ(resp_.headers, "");
    EXPECT_EQ(b_.frees, 1);

    // The record's first line is the Authorization line; the token must not travel as a media
    // type.
    ASSERT_EQ(send(io, "http://srv/y", "{\"k\":2}"), 0) << err_.msg;
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
    EXPECT_EQ(send(post_only, "http://srv/x"), KOJELLY_ETRANSPORT);
    EXPECT_STREQ(err_.msg, "GET http://srv/x: the io offers no GET");

    const tessel_io failing{&b_, bare_get, nullptr, nullptr};
    b_.rc = -1;
    b_.error = "host unreachable";
    EXPECT_EQ(send(failing, "http://srv/x?pw=hunter2"), KOJELLY_ETRANSPORT);
    EXPECT_STREQ(err_.msg, "GET http://srv/x?pw=***: host unreachable");
    EXPECT_EQ(resp_.body, nullptr);
}

TEST_F(BareTest, NoAuthorizationReachesTheServerThroughABareIo) {
    kojelly::fake_reset_impl();
    ASSERT_EQ(kojelly::fake_set_impl("GET", "http://srv/System/Info", 200, "{}"), 0);
    const tessel_io plain{nullptr, kojelly::f_get, kojelly::f_post, kojelly::f_free};
    ASSERT_EQ(send(plain, "http://srv/System/Info"), 0) << err_.msg;
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
            kojelly::Error err;
            kojelly_resp r{};
            if (kojelly_transport_get(&io, &tp, err) != 0 ||
                kojelly_http(&tp.http, &cfg_, {"http://srv/x"}, &r, err) != 0 ||
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
    kojelly::Error err;
    ASSERT_EQ(kojelly_transport_get(kojelly_io_fake(), &tp, err), 0) << err.msg;
    ASSERT_EQ(kojelly::fake_set_impl("GET", "http://srv/Items", 200, "[1]"), 0);
    ASSERT_EQ(kojelly::fake_set_impl("POST", "http://srv/Login", 200, "{\"ok\":1}"), 0);

    kojelly_resp r{};
    ASSERT_EQ(kojelly_http(&tp.http, &cfg, {"http://srv/Items", nullptr, "tok"}, &r, err), 0)
        << err.msg;
    EXPECT_EQ(r.status, 200);
    EXPECT_STREQ(r.body, "[1]");
    EXPECT_EQ(kojelly::fake_last_headers_impl(),
              "Authorization: " + auth_value("dev-9", "tok") + "\n");
    kojelly_resp_free(&r);

    ASSERT_EQ(kojelly_http(&tp.http, &cfg, {"http://srv/Login", "{\"u\":\"bob\"}"}, &r, err), 0)
        << err.msg;
    EXPECT_STREQ(r.body, "{\"ok\":1}");
    EXPECT_EQ(kojelly::fake_last_headers_impl(), "Authorization: " + auth_value("dev-9", nullptr) +
                                                     "\nContent-Type: application/json\n");
    EXPECT_STREQ(kojelly::fake_last_body_impl("http://srv/Login"), "{\"u\":\"bob\"}");
    kojelly_resp_free(&r);

    ASSERT_EQ(kojelly_http(&tp.http, &cfg, {"http://srv/none"}, &r, err), 0) << err.msg;
    EXPECT_EQ(r.status, 404);
    EXPECT_STREQ(r.body, "Not Found");
    kojelly_resp_free(&r);
    kojelly::fake_reset_impl();
}

}  // namespace
