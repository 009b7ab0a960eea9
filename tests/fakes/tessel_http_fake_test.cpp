#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/alloc_fail.hpp"
#include "tessel_http.h"

namespace {

using namespace std::chrono_literals;

// What a request delivered through the callbacks.
struct Recorder {
    std::vector<std::pair<std::string, std::string>> headers;  // ":status" included
    std::string body;
    std::vector<uint64_t> pieces;
    int stop_at_header = -1;  // index of the header call that answers 1
    int stop_at_piece = -1;   // index of the body call that answers 1

    static int32_t on_header(void *user, const char *name, const char *value) {
        auto *r = static_cast<Recorder *>(user);
        r->headers.emplace_back(name, value);
        return static_cast<int>(r->headers.size()) - 1 == r->stop_at_header ? 1 : 0;
    }
    static int32_t on_body(void *user, const void *bytes, uint64_t count) {
        auto *r = static_cast<Recorder *>(user);
        r->body.append(static_cast<const char *>(bytes), count);
        r->pieces.push_back(count);
        return static_cast<int>(r->pieces.size()) - 1 == r->stop_at_piece ? 1 : 0;
    }

    // The delivered header lines (":status" left out) as "Name: value\n" text.
    std::string header_text() const {
        std::string text;
        for (const auto &[name, value] : headers) {
            if (name != ":status") text += name + ": " + value + "\n";
        }
        return text;
    }
};

struct Result {
    int32_t rc;
    int32_t status;
    std::string error;  // "" when none was handed out
};

struct Request {
    Request() = default;
    Request(const char *m, const char *u, std::vector<const char *> h = {}, uint64_t len = 0,
            uint64_t cred = 0)
        : method(m), url(u), headers(std::move(h)), body_len(len), credentials(cred) {}

    const char *method = "GET";
    const char *url = "/";
    std::vector<const char *> headers;
    uint64_t body_len = 0;
    uint64_t credentials = 0;
};

tessel_http_req make_record(const Request &r, Recorder *rec) {
    tessel_http_req req{};
    req.size = sizeof req;
    req.method = r.method;
    req.url = r.url;
    req.headers = r.headers.empty() ? nullptr : r.headers.data();
    req.header_count = r.headers.size();
    req.body_len = r.body_len;
    req.credentials = r.credentials;
    if (rec != nullptr) {
        req.on_header = Recorder::on_header;
        req.on_body = Recorder::on_body;
        req.user = rec;
    }
    return req;
}

Result call(const tessel_http_req *req) {
    const tessel_http *http = tessel_http_fake();
    Result res{0, -1, ""};
    char *error = nullptr;
    res.rc = http->request(http->user, req, &res.status, &error);
    if (error != nullptr) {
        res.error = error;
        http->free(http->user, error);
    }
    return res;
}

Result send(const Request &r, Recorder *rec = nullptr) {
    const tessel_http_req req = make_record(r, rec);
    return call(&req);
}

std::string numbered(size_t n) {
    std::string s;
    for (size_t i = 0; i < n; ++i) s += static_cast<char>('a' + i % 26);
    return s;
}

class FakeHttp : public ::testing::Test {
protected:
    void SetUp() override { tessel_fake_reset(); }
    void TearDown() override { tessel_fake_reset(); }
};

TEST_F(FakeHttp, TableIsAVersion1RequestTable) {
    const tessel_http *http = tessel_http_fake();
    ASSERT_NE(http, nullptr);
    EXPECT_EQ(http->size, 32u);
    EXPECT_EQ(http->version, 1u);
    EXPECT_NE(http->request, nullptr);
    EXPECT_NE(http->free, nullptr);
    const tessel_http_ctx ctx{TESSEL_HTTP_CTX_MAGIC, sizeof(tessel_http_ctx), http, nullptr};
    EXPECT_EQ(tessel_http_from_ctx(&ctx), http);
}

TEST_F(FakeHttp, MalformedRequestsAreRefusedUncounted) {
    ASSERT_EQ(tessel_fake_set("GET", "/a", 200, nullptr, nullptr, 0), 0);
    struct Case {
        const char *what;
        uint32_t size;
        const char *method;
        const char *url;
        const char *error;
    };
    const Case cases[] = {
        {"record of 111 bytes", 111, "GET", "/a", "fake: bad request"},
        {"no method", 112, nullptr, "/a", "fake: bad request"},
        {"no url", 112, "GET", nullptr, "fake: bad request"},
        {"method with a blank", 112, "G E", "/a", "fake: bad method"},
        {"empty method", 112, "", "/a", "fake: bad method"},
        {"method of 33 characters", 112, "ABCDEFGHIJKLMNOPQRSTUVWXYZABCDEFG", "/a",
         "fake: bad method"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Recorder rec;
        tessel_http_req req = make_record(Request{}, &rec);
        req.size = c.size;
        req.method = c.method;
        req.url = c.url;
        const Result res = call(&req);
        EXPECT_EQ(res.rc, -1);
        EXPECT_EQ(res.status, 0);
        EXPECT_EQ(res.error, c.error);
        EXPECT_TRUE(rec.headers.empty());
    }
    EXPECT_EQ(call(nullptr).error, "fake: bad request");
    // Without out-parameters the refusal still comes back as -1.
    const tessel_http *http = tessel_http_fake();
    EXPECT_EQ(http->request(nullptr, nullptr, nullptr, nullptr), -1);

    EXPECT_EQ(tessel_fake_calls(nullptr, nullptr), 0);
    EXPECT_EQ(tessel_fake_calls("GET", "/a"), 0);
    EXPECT_EQ(tessel_fake_last_request(), nullptr);
}

TEST_F(FakeHttp, UnroutedRequestIsA404Answer) {
    Recorder rec;
    const Result res = send(Request{"GET", "/nothing"}, &rec);
    EXPECT_EQ(res.rc, 0);
    EXPECT_EQ(res.status, 404);
    EXPECT_EQ(res.error, "");
    ASSERT_EQ(rec.headers.size(), 1u);
    EXPECT_EQ(rec.headers[0], std::make_pair(std::string(":status"), std::string("404")));
    EXPECT_TRUE(rec.pieces.empty());
    EXPECT_EQ(tessel_fake_calls(nullptr, nullptr), 1);
}

TEST_F(FakeHttp, WritesAreCountedByExactMethod) {
    const char *writes[] = {"PUT",       "MKCOL", "DELETE", "MOVE", "COPY",
                            "PROPPATCH", "LOCK",  "UNLOCK", "POST"};
    const char *reads[] = {"GET", "HEAD", "post", "Put", "OPTIONS", "PROPFIND", "PATCH"};
    for (const char *m : writes) send(Request{m, "/w"});
    for (const char *m : reads) send(Request{m, "/r"});
    EXPECT_EQ(tessel_fake_writes_sent(), 9);
    EXPECT_EQ(tessel_fake_calls(nullptr, nullptr), 16);
    tessel_fake_reset();
    EXPECT_EQ(tessel_fake_writes_sent(), 0);
    EXPECT_EQ(tessel_fake_calls(nullptr, nullptr), 0);
}

TEST_F(FakeHttp, CannedAnswerDeliversStatusHeadersAndBody) {
    const std::string long_value(512, 'v');
    const std::string longest_value(511, 'w');
    const std::string long_name(128, 'n');
    const std::string header_text = "X-A:   v\r\nno colon here\n\nX-Long: " + long_value +
                                    "\nX-Max: " + longest_value + "\n" + long_name +
                                    ": x\nX-Colon: a:b\nX-Empty:\nX-Last: end";
    ASSERT_EQ(tessel_fake_set("POST", "/c?q=1", 201, header_text.c_str(), "hello", 5), 0);
    Recorder rec;
    const Result res = send(Request{"POST", "/c?q=1"}, &rec);
    EXPECT_EQ(res.rc, 0);
    EXPECT_EQ(res.status, 201);
    EXPECT_EQ(rec.headers.front(), std::make_pair(std::string(":status"), std::string("201")));
    EXPECT_EQ(rec.header_text(),
              "X-A: v\nX-Max: " + longest_value + "\nX-Colon: a:b\nX-Empty: \nX-Last: end\n");
    EXPECT_EQ(rec.body, "hello");
    EXPECT_EQ(tessel_fake_calls("POST", "/c?q=1"), 1);

    // Methods and URLs match exactly.
    EXPECT_EQ(send(Request{"post", "/c?q=1"}).status, 404);
    EXPECT_EQ(send(Request{"POST", "/c"}).status, 404);
    EXPECT_EQ(tessel_fake_calls("POST", "/c?q=1"), 1);
}

TEST_F(FakeHttp, HeadReachesTheGetRoute) {
    ASSERT_EQ(tessel_fake_set("GET", "/g", 200, "X-A: 1", "body", 4), 0);
    Recorder rec;
    EXPECT_EQ(send(Request{"HEAD", "/g"}, &rec).status, 200);
    EXPECT_EQ(rec.header_text(), "X-A: 1\n");
    EXPECT_EQ(rec.body, "body");  // a canned answer is sent as registered
    EXPECT_EQ(tessel_fake_calls("GET", "/g"), 1);
    EXPECT_EQ(tessel_fake_calls("HEAD", "/g"), 0);

    ASSERT_EQ(tessel_fake_set("HEAD", "/g", 204, nullptr, nullptr, 0), 0);
    EXPECT_EQ(send(Request{"HEAD", "/g"}).status, 204);
    EXPECT_EQ(tessel_fake_calls("GET", "/g"), 1);
}

TEST_F(FakeHttp, CallbacksThatAnswerNonZeroStopTheDelivery) {
    const std::string big(100 * 1024, 'b');
    ASSERT_EQ(tessel_fake_set("GET", "/big", 200, "X-A: 1\nX-B: 2", big.data(), big.size()), 0);
    struct Case {
        const char *what;
        int stop_at_header, stop_at_piece;
        size_t headers;
        std::vector<uint64_t> pieces;
    };
    const Case cases[] = {
        {"nobody stops", -1, -1, 3, {65536, 36864}},
        {"stop at the first piece", -1, 0, 3, {65536}},
        {"stop at the status", 0, -1, 1, {}},
        {"stop at the first header", 1, -1, 2, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Recorder rec;
        rec.stop_at_header = c.stop_at_header;
        rec.stop_at_piece = c.stop_at_piece;
        const Result res = send(Request{"GET", "/big"}, &rec);
        EXPECT_EQ(res.rc, 0);
        EXPECT_EQ(res.status, 200);
        EXPECT_EQ(rec.headers.size(), c.headers);
        EXPECT_EQ(rec.pieces, c.pieces);
    }
}

TEST_F(FakeHttp, FailureRouteAnswersNothing) {
    ASSERT_EQ(tessel_fake_file("/f", "data", 4, 1), 0);
    ASSERT_EQ(tessel_fake_fail("GET", "/f", "connection reset"), 0);  // a file turned failure
    ASSERT_EQ(tessel_fake_fail("PUT", "/f", nullptr), 0);
    struct Case {
        const char *method;
        const char *error;
    };
    const Case cases[] = {{"GET", "connection reset"}, {"PUT", "fake: transport failure"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.method);
        Recorder rec;
        const Result res = send(Request{c.method, "/f"}, &rec);
        EXPECT_EQ(res.rc, -1);
        EXPECT_EQ(res.status, 0);
        EXPECT_EQ(res.error, c.error);
        EXPECT_TRUE(rec.headers.empty());
        EXPECT_TRUE(rec.pieces.empty());
        EXPECT_EQ(tessel_fake_calls(c.method, "/f"), 1);
    }
    const tessel_http *http = tessel_http_fake();
    tessel_http_req req = make_record(Request{"GET", "/f"}, nullptr);
    EXPECT_EQ(http->request(nullptr, &req, nullptr, nullptr), -1);
}

// ---- Files -----------------------------------------------------------------------------------

struct FileCase {
    const char *what;
    const char *url;
    int32_t mode;
    const char *method;
    const char *range;  // the whole header line, or NULL
    int32_t status;
    const char *headers;
    size_t first, count;  // expected slice of the file
};

constexpr size_t kFileSize = 1000;

const FileCase kFileCases[] = {
    {"no Range", "/f1", 1, "GET", nullptr, 200, "Content-Length: 1000\nAccept-Ranges: bytes\n", 0,
     1000},
    {"first 100 bytes", "/f1", 1, "GET", "Range: bytes=0-99", 206,
     "Content-Range: bytes 0-99/1000\nContent-Length: 100\n", 0, 100},
    {"end past the file is clamped", "/f1", 1, "GET", "Range: bytes=900-2000", 206,
     "Content-Range: bytes 900-999/1000\nContent-Length: 100\n", 900, 100},
    {"open range at the end", "/f1", 1, "GET", "Range: bytes=1000-", 416,
     "Content-Range: bytes */1000\n", 0, 0},
    {"open range", "/f1", 1, "GET", "Range: bytes=10-", 206,
     "Content-Range: bytes 10-999/1000\nContent-Length: 990\n", 10, 990},
    {"start past the file", "/f1", 1, "GET", "Range: bytes=5000-6000", 416,
     "Content-Range: bytes */1000\n", 0, 0},
    {"start only", "/f1", 1, "GET", "Range: bytes=5", 206,
     "Content-Range: bytes 5-999/1000\nContent-Length: 995\n", 5, 995},
    {"only the first of several ranges", "/f1", 1, "GET", "Range: bytes=0-1,5-6", 206,
     "Content-Range: bytes 0-1/1000\nContent-Length: 2\n", 0, 2},
    {"header name in any case", "/f1", 1, "GET", "rANGE:    bytes=5-9", 206,
     "Content-Range: bytes 5-9/1000\nContent-Length: 5\n", 5, 5},
    {"other unit", "/f1", 1, "GET", "Range: items=0-5", 200,
     "Content-Length: 1000\nAccept-Ranges: bytes\n", 0, 1000},
    {"not a Range header", "/f1", 1, "GET", "X-Range: bytes=0-5", 200,
     "Content-Length: 1000\nAccept-Ranges: bytes\n", 0, 1000},
    {"last before first is ignored", "/f1", 1, "GET", "Range: bytes=500-100", 200,
     "Content-Length: 1000\nAccept-Ranges: bytes\n", 0, 1000},
    {"last before first, start past the file", "/f1", 1, "GET", "Range: bytes=2000-100", 200,
     "Content-Length: 1000\nAccept-Ranges: bytes\n", 0, 1000},
    {"suffix", "/f1", 1, "GET", "Range: bytes=-100", 206,
     "Content-Range: bytes 900-999/1000\nContent-Length: 100\n", 900, 100},
    {"suffix longer than the file", "/f1", 1, "GET", "Range: bytes=-5000", 206,
     "Content-Range: bytes 0-999/1000\nContent-Length: 1000\n", 0, 1000},
    {"empty suffix", "/f1", 1, "GET", "Range: bytes=-0", 416, "Content-Range: bytes */1000\n", 0,
     0},
    {"suffix, strict", "/f2", 2, "GET", "Range: bytes=-100", 206,
     "Content-Range: bytes 900-999/1000\nContent-Length: 100\n", 900, 100},
    {"strict refuses an end past the file", "/f2", 2, "GET", "Range: bytes=900-2000", 416,
     "Content-Range: bytes */1000\n", 0, 0},
    {"strict serves a range inside", "/f2", 2, "GET", "Range: bytes=900-999", 206,
     "Content-Range: bytes 900-999/1000\nContent-Length: 100\n", 900, 100},
    {"ranges ignored", "/f0", 0, "GET", "Range: bytes=900-2000", 200,
     "Content-Length: 1000\nAccept-Ranges: bytes\n", 0, 1000},
    {"HEAD with Range", "/f1", 1, "HEAD", "Range: bytes=0-99", 206,
     "Content-Range: bytes 0-99/1000\nContent-Length: 100\n", 0, 0},
    {"HEAD", "/f1", 1, "HEAD", nullptr, 200, "Content-Length: 1000\nAccept-Ranges: bytes\n", 0, 0},
    {"empty file", "/empty", 1, "GET", nullptr, 200, "Content-Length: 0\nAccept-Ranges: bytes\n", 0,
     0},
    {"empty file, open range", "/empty", 1, "GET", "Range: bytes=0-", 416,
     "Content-Range: bytes */0\n", 0, 0},
    {"empty file, suffix", "/empty", 1, "GET", "Range: bytes=-10", 416,
     "Content-Range: bytes */0\n", 0, 0},
};

TEST_F(FakeHttp, FileAnswersFollowTheRangeHeader) {
    const std::string file = numbered(kFileSize);
    ASSERT_EQ(tessel_fake_file("/f0", file.data(), file.size(), 0), 0);
    ASSERT_EQ(tessel_fake_file("/f1", file.data(), file.size(), 1), 0);
    ASSERT_EQ(tessel_fake_file("/f2", file.data(), file.size(), 2), 0);
    ASSERT_EQ(tessel_fake_file("/empty", nullptr, 0, 1), 0);
    for (const FileCase &c : kFileCases) {
        SCOPED_TRACE(std::string(c.what) + " / " + (c.range ? c.range : "(no Range)"));
        Recorder rec;
        Request r{c.method, c.url};
        if (c.range != nullptr) r.headers = {nullptr, "Accept: */*", c.range};
        const int32_t before = tessel_fake_calls("GET", c.url);
        const Result res = send(r, &rec);
        EXPECT_EQ(res.rc, 0);
        EXPECT_EQ(res.status, c.status);
        EXPECT_EQ(rec.headers.front().second, std::to_string(c.status));
        EXPECT_EQ(rec.header_text(), c.headers);
        EXPECT_EQ(rec.body, file.substr(c.first, c.count));
        if (c.count == 0) {
            EXPECT_TRUE(rec.pieces.empty());
        }
        EXPECT_EQ(tessel_fake_calls("GET", c.url), before + 1);
    }
}

TEST_F(FakeHttp, RangeGetThroughTheServer) {
    const std::string file = numbered(kFileSize);
    ASSERT_EQ(tessel_fake_file("/ranged", file.data(), file.size(), 1), 0);
    ASSERT_EQ(tessel_fake_file("/plain", file.data(), file.size(), 0), 0);
    for (const char *url : {"/ranged", "/plain"}) {
        SCOPED_TRACE(url);
        tessel_collect col;
        tessel_collect_init(&col, 0);
        int32_t status = 0;
        char *error = nullptr;
        ASSERT_EQ(tessel_http_range(tessel_http_fake(), url, 100, 199, &col, &status, &error), 0);
        EXPECT_EQ(error, nullptr);
        EXPECT_EQ(col.status, status);
        // The server that ignores ranges sends everything; the front is cut away.
        EXPECT_EQ(std::string(col.body.data, col.body.len),
                  status == 206 ? file.substr(100, 100) : file.substr(100));
        tessel_collect_free(&col);
    }
}

// ---- Drips -----------------------------------------------------------------------------------

TEST_F(FakeHttp, DripSendsSmallPiecesUntilCutShort) {
    const std::string body = numbered(200);
    struct Case {
        const char *what;
        int32_t limit;
        int stop_at_header, stop_at_piece;
        std::vector<uint64_t> pieces;
    };
    const Case cases[] = {
        {"all pieces", 0, -1, -1, {64, 64, 64, 8}},
        {"negative limit sends all", -1, -1, -1, {64, 64, 64, 8}},
        {"two pieces at most", 2, -1, -1, {64, 64}},
        {"callback stops the first piece", 0, -1, 0, {64}},
        {"callback stops the headers", 0, 1, -1, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(tessel_fake_drip("/slow", 203, body.data(), body.size(), c.limit), 0);
        Recorder rec;
        rec.stop_at_header = c.stop_at_header;
        rec.stop_at_piece = c.stop_at_piece;
        const Result res = send(Request{"GET", "/slow"}, &rec);
        EXPECT_EQ(res.rc, 0);
        EXPECT_EQ(res.status, 203);
        EXPECT_EQ(rec.headers.front().second, "203");
        if (c.stop_at_header < 0) {
            EXPECT_EQ(rec.header_text(), "Content-Type: application/octet-stream\n");
        }
        EXPECT_EQ(rec.pieces, c.pieces);
        EXPECT_EQ(rec.body, body.substr(0, rec.body.size()));
    }
    EXPECT_EQ(tessel_fake_calls("GET", "/slow"), 5);  // re-registration keeps the count
}

// One thread's drip is under way (in its callback, then in its pauses) while another registers
// routes and sends requests: neither waits for the drip.
TEST_F(FakeHttp, LockIsFreeWhileACallbackRuns) {
    const std::string body = numbered(3 * 64);
    ASSERT_EQ(tessel_fake_drip("/slow", 200, body.data(), body.size(), 0), 0);
    struct Shared {
        std::atomic<bool> in_callback{false};
        std::promise<void> other_done;
        std::future<void> other_done_seen = other_done.get_future();
        bool saw_other = false;
        static int32_t on_body(void *user, const void *, uint64_t) {
            auto *s = static_cast<Shared *>(user);
            if (!s->in_callback.exchange(true))
                s->saw_other = s->other_done_seen.wait_for(5s) == std::future_status::ready;
            return 0;
        }
    } shared;
    std::thread dripper([&] {
        tessel_http_req req = make_record(Request{"GET", "/slow"}, nullptr);
        req.on_body = Shared::on_body;
        req.user = &shared;
        call(&req);
    });
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (!shared.in_callback && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
    EXPECT_EQ(tessel_fake_set("GET", "/other", 200, nullptr, "x", 1), 0);
    EXPECT_EQ(send(Request{"GET", "/other"}).status, 200);
    EXPECT_EQ(tessel_fake_calls("GET", "/other"), 1);
    shared.other_done.set_value();
    dripper.join();
    EXPECT_TRUE(shared.saw_other);
}

// After each piece the dripping thread pauses 10 ms: ample time for a registration and a
// request made from another thread to finish before the next piece comes. A lock held through
// the pauses would make nearly every one of them wait for the next piece.
TEST_F(FakeHttp, LockIsFreeDuringDripPauses) {
    constexpr int kPieces = 40;
    const std::string body = numbered(kPieces * 64);
    ASSERT_EQ(tessel_fake_drip("/slow", 200, body.data(), body.size(), 0), 0);
    std::atomic<int> pieces{0};
    auto count_piece = [](void *user, const void *, uint64_t) -> int32_t {
        ++*static_cast<std::atomic<int> *>(user);
        return 0;
    };
    std::thread dripper([&] {
        tessel_http_req req = make_record(Request{"GET", "/slow"}, nullptr);
        req.on_body = count_piece;
        req.user = &pieces;
        call(&req);
    });
    int seen = 0, trials = 0, within_pause = 0, failures = 0;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (seen < kPieces && std::chrono::steady_clock::now() < deadline) {
        const int p = pieces.load();
        if (p == seen) {
            std::this_thread::yield();
            continue;
        }
        seen = p;
        const std::string url = "/r" + std::to_string(p);
        if (tessel_fake_set("PUT", url.c_str(), 204, nullptr, nullptr, 0) != 0 ||
            send(Request{"PUT", url.c_str()}).status != 204)
            ++failures;
        ++trials;
        if (pieces.load() == p) ++within_pause;
    }
    dripper.join();
    EXPECT_EQ(pieces, kPieces);
    EXPECT_EQ(failures, 0);
    EXPECT_GE(trials, kPieces / 2);
    EXPECT_GE(within_pause, trials * 3 / 4) << within_pause << " of " << trials;
}

// ---- Last-request record ---------------------------------------------------------------------

TEST_F(FakeHttp, LastRequestIsRecordedAsJson) {
    struct Case {
        const char *what;
        Request request;
        const char *json;
    };
    const Case cases[] = {
        {"plain GET",
         {"GET", "/a", {"Accept: x"}},
         R"({"method":"GET","url":"/a","headers":["Accept: x"],"body_len":0,"credentials":false})"},
        {"escaping",
         {"POST", "/q?a=\"b\"\\", {"X-Tab: a\tb", nullptr, "X-Ctl: \x01\x1f\x7f\xc3\xa9"}, 12, 1},
         "{\"method\":\"POST\",\"url\":\"/q?a=\\\"b\\\"\\\\\",\"headers\":[\"X-Tab: a\\u0009b\","
         "\"\",\"X-Ctl: \\u0001\\u001f\x7f\xc3\xa9\"],\"body_len\":12,\"credentials\":true}"},
        {"unrouted and without headers",
         {"DELETE", "/gone\n"},
         R"({"method":"DELETE","url":"/gone\u000a","headers":[],"body_len":0,"credentials":false})"},
    };
    EXPECT_EQ(tessel_fake_last_request(), nullptr);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        send(c.request);
        ASSERT_NE(tessel_fake_last_request(), nullptr);
        EXPECT_STREQ(tessel_fake_last_request(), c.json);
    }
    // Refused requests leave the record alone.
    send(Request{"G E", "/x"});
    EXPECT_STREQ(tessel_fake_last_request(), cases[2].json);
    tessel_fake_reset();
    EXPECT_EQ(tessel_fake_last_request(), nullptr);
}

TEST_F(FakeHttp, HeaderCountWithoutAnArrayIsNotRead) {
    const std::string file = numbered(10);
    ASSERT_EQ(tessel_fake_file("/f", file.data(), file.size(), 1), 0);
    Recorder rec;
    tessel_http_req req = make_record(Request{"GET", "/f"}, &rec);
    req.headers = nullptr;
    req.header_count = 5;
    const Result res = call(&req);
    EXPECT_EQ(res.status, 200);
    EXPECT_EQ(rec.body, file);
    EXPECT_STREQ(tessel_fake_last_request(),
                 R"({"method":"GET","url":"/f","headers":[],"body_len":0,"credentials":false})");
}

// ---- Registration ----------------------------------------------------------------------------

TEST_F(FakeHttp, BadRegistrationsAddNoRoute) {
    EXPECT_EQ(tessel_fake_set(nullptr, "/a", 200, nullptr, nullptr, 0), -1);
    EXPECT_EQ(tessel_fake_set("GET", nullptr, 200, nullptr, nullptr, 0), -1);
    EXPECT_EQ(tessel_fake_set("G E", "/a", 200, nullptr, nullptr, 0), -1);
    EXPECT_EQ(tessel_fake_set("GET", "/a", 200, nullptr, nullptr, 5), -1);
    EXPECT_EQ(tessel_fake_file(nullptr, "x", 1, 1), -1);
    EXPECT_EQ(tessel_fake_file("/a", nullptr, 5, 1), -1);
    EXPECT_EQ(tessel_fake_drip(nullptr, 200, "x", 1, 0), -1);
    EXPECT_EQ(tessel_fake_drip("/a", 200, nullptr, 5, 0), -1);
    EXPECT_EQ(tessel_fake_fail(nullptr, "/a", nullptr), -1);
    EXPECT_EQ(tessel_fake_fail("GET", nullptr, nullptr), -1);
    EXPECT_EQ(send(Request{"GET", "/a"}).status, 404);
}

TEST_F(FakeHttp, ReRegistrationReplacesTheAnswerAndKeepsTheCount) {
    ASSERT_EQ(tessel_fake_set("GET", "/a", 200, "X-Old: 1", "old", 3), 0);
    send(Request{"GET", "/a"});
    ASSERT_EQ(tessel_fake_set("GET", "/a", 202, nullptr, nullptr, 0), 0);
    Recorder rec;
    EXPECT_EQ(send(Request{"GET", "/a"}, &rec).status, 202);
    EXPECT_EQ(rec.header_text(), "");
    EXPECT_TRUE(rec.pieces.empty());
    EXPECT_EQ(tessel_fake_calls("GET", "/a"), 2);
}

TEST_F(FakeHttp, TableHoldsAtMost256Routes) {
    for (int i = 0; i < 256; ++i) {
        const std::string url = "/r" + std::to_string(i);
        ASSERT_EQ(tessel_fake_set("GET", url.c_str(), 200 + i % 2, nullptr, nullptr, 0), 0) << i;
    }
    EXPECT_EQ(tessel_fake_set("GET", "/full", 200, nullptr, nullptr, 0), -1);
    EXPECT_EQ(tessel_fake_set("PUT", "/r0", 200, nullptr, nullptr, 0), -1);
    EXPECT_EQ(tessel_fake_file("/full", "x", 1, 1), -1);
    EXPECT_EQ(tessel_fake_drip("/full", 200, "x", 1, 0), -1);
    EXPECT_EQ(tessel_fake_fail("GET", "/full", nullptr), -1);
    EXPECT_EQ(send(Request{"GET", "/full"}).status, 404);
    // Existing routes still change, and every one of them still answers.
    EXPECT_EQ(tessel_fake_set("GET", "/r255", 299, nullptr, nullptr, 0), 0);
    for (int i = 0; i < 256; ++i) {
        const std::string url = "/r" + std::to_string(i);
        EXPECT_EQ(send(Request{"GET", url.c_str()}).status, i == 255 ? 299 : 200 + i % 2) << i;
    }
}

// ---- Out of memory ---------------------------------------------------------------------------

TEST_F(FakeHttp, RegistrationOutOfMemoryLeavesAUsableTable) {
    const std::string body = numbered(100);
    alloc_fail::sweep([&] {
        tessel_fake_reset();
        const int rc = tessel_fake_set("GET", "/a", 200, "X-A: 1", body.data(), body.size());
        Recorder rec;
        const Result res = send(Request{"GET", "/a"}, &rec);
        EXPECT_EQ(res.rc, 0);
        if (rc == -1) {
            EXPECT_NE(res.status, 200);  // either no route or one without an answer
        } else {
            EXPECT_EQ(res.status, 200);
            EXPECT_TRUE(rec.body.empty() || rec.body == body);
        }
    });
    alloc_fail::sweep([&] {
        tessel_fake_reset();
        const int rc = tessel_fake_file("/f", body.data(), body.size(), 1);
        const Result res = send(Request{"GET", "/f"});
        EXPECT_EQ(res.rc, 0);
        EXPECT_EQ(res.status, rc == 0 ? 200 : 404);
    });
}

TEST_F(FakeHttp, AnswerOutOfMemoryStillAnswers) {
    const std::string file = numbered(kFileSize);
    ASSERT_EQ(tessel_fake_file("/f", file.data(), file.size(), 1), 0);
    ASSERT_EQ(tessel_fake_fail("GET", "/down", "gone"), 0);
    alloc_fail::sweep([&] {
        Recorder rec;
        const Result res = send(Request{"GET", "/f", {"Range: bytes=10-19"}}, &rec);
        EXPECT_EQ(res.rc, 0);
        EXPECT_EQ(res.status, 206);
        EXPECT_TRUE(rec.body.empty() || rec.body == file.substr(10, 10));
        const Result down = send(Request{"GET", "/down"});
        EXPECT_EQ(down.rc, -1);
        EXPECT_TRUE(down.error.empty() || down.error == "gone");
        // The record is either whole or absent, never stale.
        const char *last = tessel_fake_last_request();
        if (last != nullptr) {
            EXPECT_NE(std::string(last).find("/down"), std::string::npos);
        }
    });
}

}  // namespace
