#include "fakes/kojelly_io_fake.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kojelly.h"
#include "support/alloc_fail.hpp"

namespace {

using namespace kojelly;

// What one request through fake_request yielded.
struct Answer {
    int32_t rc = 0;
    int32_t status = -77;  // stays -77 when the fake does not write it
    std::string body;
    int body_calls = 0;
    std::optional<std::string> error;
};

int32_t on_body(void *user, const void *bytes, uint64_t count) {
    auto *a = static_cast<Answer *>(user);
    ++a->body_calls;
    a->body.append(static_cast<const char *>(bytes), count);
    return 0;
}

Answer request(const char *method, const char *url, const char *body = nullptr,
               std::vector<const char *> lines = {}) {
    Answer a;
    tessel_http_req req{};
    req.size = 112;
    req.method = method;
    req.url = url;
    req.headers = lines.data();
    req.header_count = lines.size();
    req.body = body;
    req.body_len = body ? std::strlen(body) : 0;
    req.on_body = on_body;
    req.user = &a;
    char *error = nullptr;
    const tessel_http *t = kojelly_http_fake();
    a.rc = t->request(t->user, &req, &a.status, &error);
    if (error) a.error = error;
    t->free(t->user, error);
    return a;
}

class FakeIo : public ::testing::Test {
protected:
    void SetUp() override { fake_reset_impl(); }
    void TearDown() override { fake_reset_impl(); }
};

TEST_F(FakeIo, TransportObjectsAreHttpBackedAndStable) {
    const tessel_io *io = kojelly_io_fake();
    ASSERT_EQ(fake_set_impl("GET", "http://s/a", 200, "a"), 0);
    EXPECT_EQ(kojelly_io_fake(), io);
    EXPECT_EQ(tessel_http_of(io), kojelly_http_fake());
    const tessel_http *t = kojelly_http_fake();
    EXPECT_EQ(t->size, 32u);
    EXPECT_EQ(t->version, 1u);
    EXPECT_EQ(t->request, fake_request);
    const auto *ctx = static_cast<const tessel_http_ctx *>(io->ctx);
    EXPECT_EQ(ctx->size, 24u);
    EXPECT_EQ(ctx->reserved, nullptr);
    EXPECT_EQ(io->get, f_get);
    EXPECT_EQ(io->post, f_post);
    EXPECT_EQ(io->free, f_free);
    EXPECT_EQ(request("GET", "http://s/a").body, "a");  // routes survive a second call
}

TEST_F(FakeIo, UnroutedRequestAnswers404AndCountsOnlyInTheTotal) {
    const Answer a = request("GET", "http://s/anything");
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.status, 404);
    EXPECT_EQ(a.body, "Not Found");
    EXPECT_EQ(fake_calls_impl(nullptr, nullptr), 1);
    EXPECT_EQ(fake_calls_impl("GET", "http://s/anything"), 0);
}

TEST_F(FakeIo, RegistrationArguments) {
    struct Case {
        const char *name;
        const char *method;
        const char *url;
        int32_t status;
        int32_t want;
    } cases[] = {
        {"status 99", "GET", "http://s/99", 99, KOJELLY_EINVAL},
        {"status 100", "GET", "http://s/100", 100, 0},
        {"status 599", "GET", "http://s/599", 599, 0},
        {"status 600", "GET", "http://s/600", 600, KOJELLY_EINVAL},
        {"null method", nullptr, "http://s/m", 200, KOJELLY_EINVAL},
        {"null url", "GET", nullptr, 200, KOJELLY_EINVAL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fake_set_impl(c.method, c.url, c.status, "x"), c.want);
        if (c.method && c.url) {
            EXPECT_EQ(request(c.method, c.url).status, c.want == 0 ? c.status : 404);
        }
    }
    EXPECT_EQ(fake_fail_impl(nullptr, "http://s/f", "e"), KOJELLY_EINVAL);
    EXPECT_EQ(fake_fail_impl("GET", nullptr, "e"), KOJELLY_EINVAL);
    EXPECT_EQ(fake_fail_impl("GET", "http://s/f", nullptr), KOJELLY_EINVAL);
    EXPECT_EQ(request("GET", "http://s/f").status, 404);
}

TEST_F(FakeIo, RoutesMatchExactMethodAndUrl) {
    ASSERT_EQ(fake_set_impl("GET", "http://s/a?x=1", 200, "A"), 0);
    struct Case {
        const char *method;
        const char *url;
        int32_t status;
    } cases[] = {
        {"GET", "http://s/a?x=1", 200},     {"get", "http://s/a?x=1", 404},
        {"POST", "http://s/a?x=1", 404},    {"GET", "http://s/a", 404},
        {"GET", "http://s/a?x=1&y=2", 404}, {"GET", "http://S/a?x=1", 404},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.url);
        EXPECT_EQ(request(c.method, c.url).status, c.status);
    }
    EXPECT_EQ(fake_calls_impl("GET", "http://s/a?x=1"), 1);
    EXPECT_EQ(fake_calls_impl(nullptr, nullptr), 6);
}

TEST_F(FakeIo, NullBodyAnswersEmptyWithOneBodyCall) {
    ASSERT_EQ(fake_set_impl("GET", "http://s/e", 201, nullptr), 0);
    const Answer a = request("GET", "http://s/e");
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.status, 201);
    EXPECT_EQ(a.body, "");
    EXPECT_EQ(a.body_calls, 1);
}

TEST_F(FakeIo, FailThenSetAnswersAgainAndKeepsCounting) {
    const char *url = "http://s/f";
    ASSERT_EQ(fake_fail_impl("GET", url, "connection reset"), 0);
    Answer a = request("GET", url);
    EXPECT_EQ(a.rc, -1);
    EXPECT_EQ(a.error, "connection reset");
    EXPECT_EQ(a.status, -77);
    EXPECT_EQ(a.body_calls, 0);
    EXPECT_EQ(fake_calls_impl("GET", url), 1);

    ASSERT_EQ(fake_set_impl("GET", url, 200, "back"), 0);
    a = request("GET", url);
    EXPECT_EQ(a.rc, 0);
    EXPECT_EQ(a.body, "back");
    EXPECT_FALSE(a.error);
    EXPECT_EQ(fake_calls_impl("GET", url), 2);

    ASSERT_EQ(fake_fail_impl("GET", url, "again"), 0);
    EXPECT_EQ(request("GET", url).error, "again");
    EXPECT_EQ(fake_calls_impl("GET", url), 3);
}

TEST_F(FakeIo, LastBodyOfAPostRoute) {
    ASSERT_EQ(fake_set_impl("POST", "http://s/login", 200, "configured"), 0);
    ASSERT_EQ(fake_set_impl("GET", "http://s/get-only", 200, "g"), 0);
    EXPECT_STREQ(fake_last_body_impl("http://s/login"), "configured");

    request("POST", "http://s/login", "x");
    EXPECT_STREQ(fake_last_body_impl("http://s/login"), "x");
    ASSERT_EQ(fake_set_impl("POST", "http://s/login", 200, "reconfigured"), 0);
    EXPECT_STREQ(fake_last_body_impl("http://s/login"), "x");

    request("GET", "http://s/get-only", "ignored?");
    EXPECT_STREQ(fake_last_body_impl("http://s/get-only"), "");
    EXPECT_STREQ(fake_last_body_impl("http://s/unknown"), "");
    EXPECT_STREQ(fake_last_body_impl(nullptr), "");
}

TEST_F(FakeIo, LastUrlAndHeaderLines) {
    EXPECT_STREQ(fake_last_url_impl(), "");
    EXPECT_STREQ(fake_last_headers_impl(), "");
    request("GET", "http://s/one", nullptr, {"A: 1", "B: 2"});
    EXPECT_STREQ(fake_last_url_impl(), "http://s/one");
    EXPECT_STREQ(fake_last_headers_impl(), "A: 1\nB: 2\n");
    request("GET", "http://s/two");
    EXPECT_STREQ(fake_last_url_impl(), "http://s/two");
    EXPECT_STREQ(fake_last_headers_impl(), "");
}

TEST_F(FakeIo, ResetForgetsRoutesCountsAndRecords) {
    ASSERT_EQ(fake_set_impl("GET", "http://s/a", 200, "a"), 0);
    request("GET", "http://s/a", nullptr, {"A: 1"});
    fake_reset_impl();
    EXPECT_EQ(fake_calls_impl(nullptr, nullptr), 0);
    EXPECT_EQ(fake_calls_impl("GET", "http://s/a"), 0);
    EXPECT_STREQ(fake_last_url_impl(), "");
    EXPECT_STREQ(fake_last_headers_impl(), "");
    EXPECT_EQ(request("GET", "http://s/a").status, 404);
}

TEST_F(FakeIo, RouteTableGrowsWithoutBound) {
    constexpr int kRoutes = 100;
    for (int i = 0; i < kRoutes; ++i) {
        const std::string url = "http://s/" + std::to_string(i);
        ASSERT_EQ(fake_set_impl("GET", url.c_str(), 200, url.c_str()), 0);
    }
    for (int i = 0; i < kRoutes; ++i) {
        const std::string url = "http://s/" + std::to_string(i);
        EXPECT_EQ(request("GET", url.c_str()).body, url);
    }
}

TEST_F(FakeIo, RecordsWithoutMethodOrUrlOrWithNullLinesDoNotCrash) {
    EXPECT_EQ(request(nullptr, "http://s/a").rc, -1);
    EXPECT_EQ(request("GET", nullptr).rc, -1);
    EXPECT_EQ(request("GET", "http://s/a", nullptr, {"A: 1", nullptr, "C: 3"}).status, 404);
    EXPECT_STREQ(fake_last_headers_impl(), "A: 1\nC: 3\n");
}

TEST_F(FakeIo, PlainSlotsAnswerFromTheRoutes) {
    const tessel_io *io = kojelly_io_fake();
    ASSERT_EQ(fake_set_impl("GET", "http://s/g", 200, "got"), 0);
    ASSERT_EQ(fake_set_impl("POST", "http://s/p", 201, ""), 0);
    ASSERT_EQ(fake_fail_impl("GET", "http://s/bad", "refused"), 0);

    char *body = nullptr;
    char *error = nullptr;
    int32_t status = 0;
    ASSERT_EQ(io->get(io->ctx, "http://s/g", &body, &status, &error), 0);
    EXPECT_EQ(status, 200);
    EXPECT_STREQ(body, "got");
    EXPECT_EQ(error, nullptr);
    io->free(io->ctx, body);

    ASSERT_EQ(io->post(io->ctx, "http://s/p", nullptr, "text/plain", &body, &status, &error), 0);
    EXPECT_EQ(status, 201);
    EXPECT_STREQ(body, "");  // an empty reply is an empty text, not NULL
    io->free(io->ctx, body);
    EXPECT_STREQ(fake_last_body_impl("http://s/p"), "");
    ASSERT_EQ(io->post(io->ctx, "http://s/p", "x", "text/plain", &body, &status, &error), 0);
    io->free(io->ctx, body);
    EXPECT_STREQ(fake_last_body_impl("http://s/p"), "x");
    EXPECT_STREQ(fake_last_headers_impl(), "");

    body = reinterpret_cast<char *>(1);
    EXPECT_EQ(io->get(io->ctx, "http://s/bad", &body, &status, &error), -1);
    EXPECT_EQ(body, nullptr);
    EXPECT_STREQ(error, "refused");
    std::free(error);
}

// A returned text belongs to the thread that asked: other threads' requests and getter calls
// never change it, and only the same thread's next getter call replaces it.
TEST_F(FakeIo, GetterTextsAreThreadLocal) {
    request("GET", "http://s/mine", nullptr, {"Mine: 1"});
    const char *url = fake_last_url_impl();
    ASSERT_STREQ(url, "http://s/mine");

    std::string seen_url, seen_headers;
    std::thread other([&] {
        for (int i = 0; i < 200; ++i) {
            request("GET", "http://s/theirs", nullptr, {"Theirs: 2"});
            seen_url = fake_last_url_impl();
            seen_headers = fake_last_headers_impl();
        }
    });
    other.join();
    EXPECT_STREQ(url, "http://s/mine");
    EXPECT_EQ(seen_url, "http://s/theirs");
    EXPECT_EQ(seen_headers, "Theirs: 2\n");

    const char *headers = fake_last_headers_impl();
    EXPECT_STREQ(headers, "Theirs: 2\n");
}

TEST_F(FakeIo, ConcurrentRequestsAndRegistrationsAreAllCounted) {
    constexpr int kThreads = 4;
    constexpr int kRounds = 250;
    ASSERT_EQ(fake_set_impl("GET", "http://s/c", 200, "c"), 0);
    std::vector<std::thread> threads;
    int bad[kThreads] = {};
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < kRounds; ++i) {
                const Answer a = request("GET", "http://s/c");
                if (a.rc != 0 || a.body != "c") ++bad[t];
                const std::string url = "http://s/t" + std::to_string(t);
                if (fake_set_impl("POST", url.c_str(), 200, "p") != 0) ++bad[t];
                (void)fake_last_url_impl();
            }
        });
    }
    for (std::thread &th : threads) th.join();
    for (int t = 0; t < kThreads; ++t) EXPECT_EQ(bad[t], 0) << "thread " << t;
    EXPECT_EQ(fake_calls_impl("GET", "http://s/c"), kThreads * kRounds);
    EXPECT_EQ(fake_calls_impl(nullptr, nullptr), kThreads * kRounds);
}

// ---- Allocation failure --------------------------------------------------------------------

TEST_F(FakeIo, RouteCreationThatRunsOutOfMemoryLeavesTheTableUnchanged) {
    const uint64_t n =
        alloc_fail::count([] { EXPECT_EQ(fake_set_impl("GET", "http://s/n", 200, "body"), 0); });
    ASSERT_GE(n, 5u);  // table, method, url, configured, reply
    for (uint64_t k = 1; k <= n; ++k) {
        SCOPED_TRACE(k);
        fake_reset_impl();
        int32_t rc;
        {
            alloc_fail::Countdown fail(k);
            rc = fake_set_impl("GET", "http://s/n", 200, "body");
        }
        const Answer a = request("GET", "http://s/n");
        if (rc == KOJELLY_EFAIL) {
            EXPECT_EQ(a.status, 404);
        } else {
            // A lost copy of the reply shows as "fake: no body", never as a wrong answer.
            ASSERT_EQ(rc, 0);
            EXPECT_TRUE((a.rc == 0 && a.body == "body") ||
                        (a.rc == -1 && a.error == "fake: no body"));
        }
    }
    fake_reset_impl();
    {
        alloc_fail::Countdown fail(1);
        EXPECT_EQ(fake_set_impl("GET", "http://s/n", 200, "body"), KOJELLY_EFAIL);
    }
}

TEST_F(FakeIo, RequestThatRunsOutOfMemoryFailsWithOom) {
    ASSERT_EQ(fake_set_impl("GET", "http://s/r", 200, "reply"), 0);
    const tessel_io *io = kojelly_io_fake();
    // Through the request function and through the plain slot, whose collecting of the answer
    // allocates too: the outcome is the reply or "oom", never a success without the reply.
    const uint64_t n = alloc_fail::sweep([io] {
        char *body = nullptr;
        char *error = nullptr;
        int32_t status = 0;
        const int32_t rc = io->get(io->ctx, "http://s/r", &body, &status, &error);
        if (rc == 0) {
            EXPECT_STREQ(body, "reply");
            EXPECT_EQ(status, 200);
        } else {
            EXPECT_EQ(body, nullptr);
            EXPECT_STREQ(error, "oom");
        }
        std::free(body);
        std::free(error);
    });
    EXPECT_GE(n, 3u);

    // The fake keeps the last URL and header lines in buffers that it reuses, so only a request
    // that finds them too small allocates: each run starts from a fresh table.
    auto fresh = [] {
        fake_reset_impl();
        ASSERT_EQ(fake_set_impl("GET", "http://s/r", 200, "reply"), 0);
    };
    fresh();
    const uint64_t m = alloc_fail::count([] { request("GET", "http://s/r", nullptr, {"A: 1"}); });
    EXPECT_GE(m, 2u);  // the URL and the header lines; the reply is delivered without a copy
    uint64_t refused = 0;
    for (uint64_t k = 1; k <= m; ++k) {
        SCOPED_TRACE(k);
        fresh();
        Answer a;
        {
            alloc_fail::Countdown fail(k);
            a = request("GET", "http://s/r", nullptr, {"A: 1"});
        }
        EXPECT_TRUE((a.rc == 0 && a.body == "reply") || (a.rc == -1 && a.error == "oom"));
        if (a.rc == -1) ++refused;
    }
    EXPECT_GE(refused, 1u);
}

}  // namespace
