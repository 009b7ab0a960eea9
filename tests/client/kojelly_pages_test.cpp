// Folder pages fetched by several threads at once: the listing, its message and its status code
// are those of the one-page-at-a-time listing of the same server, whatever the folder's shape;
// no more requests are in flight than allowed, and few are sent beyond those needed.
#include "client/kojelly_pages.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/kojelly_list.hpp"
#include "client_fixture.hpp"

namespace {

using namespace client_test;

// Settings with the given number of pages in flight; 0 leaves the key out.
std::string key_settings(int lanes) {
    std::string s = R"({"FullUrl":"http://srv:8096","APIKey":"key-0123456789","DeviceId":"dev-0001")";
    if (lanes > 0) s += R"(,"ParallelPages":)" + std::to_string(lanes);
    return s + "}";
}
std::string login_settings(int lanes) {
    return R"({"FullUrl":"http://srv:8096","UserName":"bob","Password":"pw-secret",)"
           R"("DeviceId":"dev-0001","ParallelPages":)" +
           std::to_string(lanes) + "}";
}

// n file items with the ids first, first + 1, ...
std::vector<std::string> files(long long first, long long n) {
    std::vector<std::string> v;
    for (long long i = 0; i < n; ++i) v.push_back(item(std::to_string(first + i), false));
    return v;
}

// A folder of n items served in full pages of 500 with n as their total: page i answers
// StartIndex 500 * i.
std::vector<std::string> folder(long long n) {
    std::vector<std::string> pages;
    for (long long start = 0; start == 0 || start < n; start += 500)
        pages.push_back(page(files(1000 + start, std::min<long long>(500, n - start)), n));
    return pages;
}

// What one listing did: its outcome and the requests that reached the transport.
struct Listing {
    OpResult result;
    std::vector<std::string> requests;
    int most_in_flight;
};

class ParallelPagesTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        rec.hook([this](const std::string &url) { on_request(url); });
    }

    // Folder 7, its lookup in both modes and its pages.
    void serve(const std::vector<std::string> &pages) {
        route("POST", kLoginUrl, 200, login_answer("tok1"));
        route("GET", key_lookup_url("7"), 200, page({item("7", true, "Films")}));
        route("GET", login_lookup_url("7"), 200, item("7", true, "Films"));
        for (size_t i = 0; i < pages.size(); ++i)
            route("GET", page_url("7", 500 * static_cast<long long>(i)), 200, pages[i]);
    }

    Listing list(const std::string &settings) {
        in_flight = 0;
        most = 0;
        rec.reset();
        rec.hook([this](const std::string &url) { on_request(url); });
        Listing run;
        run.result = run_op(rec.handle(), settings.c_str(), kojelly::op_list, "7");
        run.requests = rec.log();
        run.most_in_flight = most.load();
        return run;
    }

    // Every page request takes a while, so that pages overlap; the hook may add its own step.
    void on_request(const std::string &url) {
        if (url.find("StartIndex=") == std::string::npos) return;
        const int now = ++in_flight;
        int seen = most.load();
        while (now > seen && !most.compare_exchange_weak(seen, now)) {
        }
        if (extra) extra(url);
        // With a gate, the pages after the first wait (for a bounded time) until that many
        // have been in flight at once.
        const bool gated = gate > 0 && url.find("StartIndex=0&") == std::string::npos;
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (gated && most.load() < gate && std::chrono::steady_clock::now() < until)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        --in_flight;
    }

    // The listing with lanes pages in flight must be the sequential one, sending every request
    // the sequential one sent and at most lanes - 1 more, with at most lanes at once.
    void expect_same_as_sequential(const Listing &seq, int lanes, const std::function<void()> &prepare) {
        SCOPED_TRACE("ParallelPages " + std::to_string(lanes));
        if (prepare) prepare();
        const Listing par = list(key_or_login(lanes));
        EXPECT_EQ(seq.result.code, par.result.code);
        EXPECT_EQ(seq.result.msg, par.result.msg);
        EXPECT_TRUE(seq.result.answer == par.result.answer) << "the answers differ";
        EXPECT_LE(par.most_in_flight, lanes);
        std::map<std::string, int> sent;
        for (const std::string &r : par.requests) ++sent[r];
        for (const std::string &r : seq.requests) {
            EXPECT_GT(sent[r]--, 0) << "not sent: " << r;
        }
        EXPECT_LE(par.requests.size(), seq.requests.size() + static_cast<size_t>(lanes - 1));
    }

    std::string key_or_login(int lanes) const {
        return login ? login_settings(lanes) : key_settings(lanes);
    }

    Recorder rec;
    bool login = false;
    std::function<void(const std::string &url)> extra;
    std::atomic<int> in_flight{0};
    std::atomic<int> most{0};
    int gate = 0;
};

TEST_F(ParallelPagesTest, ThreadedListingsEqualTheSequentialOnes) {
    // A page of 500 items followed by a page with fewer than the total promised.
    std::vector<std::string> short_middle = folder(3000);
    short_middle[2] = page(files(2000, 200), 3000);
    // The total grows while the listing runs: the listing goes on past the first total.
    std::vector<std::string> growing = folder(2500);
    growing[0] = page(files(1000, 500), 1000);
    // The total shrinks: the second page's total ends the listing.
    std::vector<std::string> shrinking = folder(3000);
    shrinking[1] = page(files(1500, 500), 1000);
    // Pages repeat items of the page before.
    std::vector<std::string> duplicates = folder(2000);
    duplicates[1] = page(files(1250, 500), 2000);
    duplicates[2] = page(files(1250, 500), 2000);
    // A server that ignores StartIndex answers every page with the first.
    const std::vector<std::string> ignores_start(6, page(files(1000, 500), 3000));
    // A page that holds more than was asked for moves every later start.
    std::vector<std::string> long_page = folder(3000);
    long_page[1] = page(files(1500, 600), 3000);
    // Failures of the first page fetched ahead, of one in the middle and of the last.
    const auto failing = [](size_t at, const std::string &body) {
        std::vector<std::string> pages = folder(3000);
        pages[at] = body;
        return pages;
    };
    // No total: the listing stays one page at a time.
    std::vector<std::string> no_total = {page(files(1000, 500)), page(files(1500, 500)),
                                         page(files(2000, 10))};

    struct Case {
        const char *what;
        std::vector<std::string> pages;
        std::function<void()> prepare;  // after the routes, before each run
    } cases[] = {
        {"empty folder", {page({}, 0)}, nullptr},
        {"1 item", folder(1), nullptr},
        {"499 items", folder(499), nullptr},
        {"500 items", folder(500), nullptr},
        {"501 items", folder(501), nullptr},
        {"1020 items", folder(1020), nullptr},
        {"20000 items", folder(20000), nullptr},
        {"a short page in the middle", short_middle, nullptr},
        {"a total that grows", growing, nullptr},
        {"a total that shrinks", shrinking, nullptr},
        {"duplicates across pages", duplicates, nullptr},
        {"a server that ignores StartIndex", ignores_start, nullptr},
        {"a page longer than asked for", long_page, nullptr},
        {"no total", no_total, nullptr},
        {"the second page is not JSON", failing(1, "<html>"), nullptr},
        {"a middle page has no Items", failing(3, "{}"), nullptr},
        {"the last page is not JSON", failing(5, "[1]"), nullptr},
        {"the second page answers 500", folder(3000),
         [] { route("GET", page_url("7", 500), 500, "busy"); }},
        {"a middle page answers 404", folder(3000),
         [] { route("GET", page_url("7", 1500), 404, "gone"); }},
        {"the last page is refused with 429", folder(3000),
         [] { route("GET", page_url("7", 2500), 429, ""); }},
        {"a middle page does not complete", folder(3000),
         [] {
             ASSERT_EQ(0, kojelly::fake_fail_impl("GET", page_url("7", 1000).c_str(), "reset"));
         }},
        {"two pages fail, the earlier is reported", folder(3000),
         [] {
             route("GET", page_url("7", 2000), 500, "second");
             route("GET", page_url("7", 1000), 503, "first");
         }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly::fake_reset_impl();
        serve(c.pages);
        if (c.prepare) c.prepare();
        const Listing seq = list(key_settings(1));
        // One page in flight sends exactly what a listing without the key sends.
        const Listing plain = list(key_settings(0));
        EXPECT_EQ(seq.requests, plain.requests);
        EXPECT_EQ(seq.result.answer, plain.result.answer);
        EXPECT_EQ(seq.most_in_flight, 1);
        for (const int lanes : {2, 4, 16}) expect_same_as_sequential(seq, lanes, c.prepare);
    }
}

TEST_F(ParallelPagesTest, ThreadsOverlapPagesUpToTheLimit) {
    serve(folder(20000));
    for (const int lanes : {2, 4, 8}) {
        SCOPED_TRACE(lanes);
        gate = lanes;
        const Listing run = list(key_settings(lanes));
        gate = 0;
        ASSERT_EQ(0, run.result.code) << run.result.msg;
        EXPECT_EQ(run.most_in_flight, lanes);
    }
}

// A revoked cached token met by several pages at once is renewed by one login, after which
// every page is sent again with the new token.
TEST_F(ParallelPagesTest, ARefusedTokenMetByConcurrentPagesIsRenewedOnce) {
    struct Case {
        const char *what;
        int renewal_status;  // the status of the renewal login
    } cases[] = {{"the renewal succeeds", 200}, {"the renewal fails", 500}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Listing runs[2];
        for (const int lanes : {1, 4}) {
            kojelly_cache_clear();
            kojelly::fake_reset_impl();
            serve(folder(5000));
            login = true;
            // A first listing caches the login of tok1.
            ASSERT_EQ(0, list(login_settings(lanes)).result.code);
            // The server forgets tok1 once the second listing's first page is answered.
            route("POST", kLoginUrl, c.renewal_status,
                  c.renewal_status == 200 ? login_answer("tok2") : "down");
            extra = [this](const std::string &url) {
                if (url.find("StartIndex=0&") != std::string::npos) rec.refuse("tok1");
            };
            Listing run = list(login_settings(lanes));
            extra = nullptr;
            int logins = 0;
            for (const std::string &r : run.requests) logins += r == "POST " + std::string(kLoginUrl);
            EXPECT_EQ(1, logins) << lanes;
            runs[lanes == 1 ? 0 : 1] = std::move(run);
        }
        EXPECT_EQ(runs[0].result.code, runs[1].result.code);
        EXPECT_EQ(runs[0].result.msg, runs[1].result.msg);
        EXPECT_TRUE(runs[0].result.answer == runs[1].result.answer);
        if (c.renewal_status == 200) {
            EXPECT_EQ(0, runs[1].result.code) << runs[1].result.msg;
            // The cache holds the renewed login: a third listing sends no login.
            const Listing third = list(login_settings(4));
            EXPECT_EQ(0, third.result.code);
            for (const std::string &r : third.requests) EXPECT_EQ(r.find("POST"), std::string::npos);
        }
        login = false;
    }
}

// Listings of the same folder on several threads at once, each with pages in flight of its own.
TEST_F(ParallelPagesTest, ConcurrentParallelListingsAgree) {
    serve(folder(5000));
    const OpResult expected = run_op(rec.handle(), key_settings(1).c_str(), kojelly::op_list, "7");
    ASSERT_EQ(0, expected.code);
    std::vector<std::thread> threads;
    std::vector<OpResult> got(4);
    for (size_t i = 0; i < got.size(); ++i) {
        threads.emplace_back([&, i] {
            got[i] = run_op(rec.handle(), key_settings(4).c_str(), kojelly::op_list, "7");
        });
    }
    for (std::thread &t : threads) t.join();
    for (const OpResult &r : got) {
        EXPECT_EQ(0, r.code) << r.msg;
        EXPECT_TRUE(r.answer == expected.answer);
    }
}

}  // namespace
