// Concurrency stress: worker threads call every export for a bounded time, through the flat
// exports over the selected transport and through the handlers with a host transport and a bare
// io, while other threads switch the selection, forget the cached logins and rewrite fake routes.
// Every worker talks to a server of its own (its own base URL, credentials and token) and checks
// each outcome against what the same call gave before the race began; the only outcomes that
// the racing threads may add are "no transport" while nothing is selected, and either of the two
// answers of the one route that is rewritten under the workers' feet.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <latch>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kojelly.h"
#include "torture/torture.hpp"

namespace {

using torture::HostTransport;

constexpr int kWorkers = 6;
constexpr auto kRaceTime = std::chrono::seconds(2);
constexpr int32_t kOutLen = 1 << 16;
constexpr size_t kMaxReports = 5;
constexpr char kNoTransport[] = "no transport";

constexpr char kChaosViews[] = "http://chaos.srv:8096/UserViews";
constexpr char kChaosA[] = R"({"Items":[{"Id":"1","Name":"A","IsFolder":true}]})";
constexpr char kChaosB[] = R"({"Items":[{"Id":"2","Name":"B"},{"Id":"3","Name":"C"}]})";
constexpr char kChaosKey[] = R"({"FullUrl":"http://chaos.srv:8096","APIKey":"chaos-key"})";

// One outcome as a worker sees it: the code, the output buffer and both slots.
struct Seen {
    int32_t rc = 0;
    std::string out;
    std::string result;
    std::string error;
    bool operator==(const Seen &) const = default;
};

Seen seen(int32_t rc, const char *out) {
    return Seen{rc, out ? out : "", kojelly_result_json(), kojelly_last_error()};
}

// One worker's server, settings and expected outcomes.
class Worker {
public:
    explicit Worker(int index)
        : base_("http://w" + std::to_string(index) + ".srv:8096"),
          token_("tokW" + std::to_string(index) + "Secret"),
          key_settings_(R"({"FullUrl":")" + base_ + R"(","APIKey":"wkey-)" + std::to_string(index) +
                        R"(","DeviceId":"wdev-)" + std::to_string(index) + R"("})"),
          login_settings_(R"({"FullUrl":")" + base_ + R"(","UserName":"u)" + std::to_string(index) +
                          R"(","Password":"wpw-)" + std::to_string(index) + R"("})"),
          redact_in_(base_ + "/x?api_key=wkey-" + std::to_string(index) +
                     "&n=" + std::to_string(index)),
          page_(R"({"Items":[{"Id":")" + std::to_string(500 + index) +
                R"(","Name":"File","ProductionYear":2001}]})") {}

    // The routes of this worker's server; registering them again rewrites them in place.
    void routes() const {
        set("GET", "/System/Info/Public", 200,
            R"({"Id":"feed)" + std::to_string(base_.size()) + R"(","Version":"10.9.0"})");
        set("GET", "/System/Info", 200, "{}");
        set("POST", "/Users/AuthenticateByName", 200,
            R"({"AccessToken":")" + token_ + R"(","User":{"Id":"42"}})");
        set("GET", "/UserViews", 200,
            R"({"Items":[{"Id":"100","Name":"Movies","IsFolder":true}]})");
        set("GET", "/Items?Ids=100&Fields=ParentId%2CSize%2CContainer", 200,
            R"({"Items":[{"Id":"100","IsFolder":true}]})");
        set("GET", "/Users/42/Items/100", 200, R"({"Id":"100","IsFolder":true})");
        set("GET",
            "/Items?ParentId=100&Fields=ParentId%2CProductionYear%2CSize%2CProviderIds%2CContainer"
            "%2CMediaSources&SortBy=SortName&SortOrder=Ascending&StartIndex=0&Limit=500",
            200, page_);
        set("GET", "/Items?Ids=301&Fields=ParentId%2CSize%2CContainer", 200,
            R"({"Items":[{"Id":"301","Name":"Film"}]})");
        set("GET", "/Users/42/Items/301", 200, R"({"Id":"301","Name":"Film"})");
        set("GET", "/Items/301/PlaybackInfo", 405, "");
        set("POST", "/Items/301/PlaybackInfo", 200,
            R"({"MediaSources":[{"Id":"301","Size":7,"Container":"mkv"}]})");
    }

    // Every call of one round, in order. Calls through the selected transport are flagged, since
    // while nothing is selected they end in "no transport".
    struct Call {
        bool selected;
        std::function<Seen()> fn;
    };
    std::vector<Call> calls() const {
        const tessel_io *host = HostTransport::get().io();
        const tessel_io *bare = torture::bare_io();
        const kojelly_handler_table *t = korch_get();
        auto buffered = [](auto &&fn) {
            return [fn] {
                std::string out(kOutLen, '\0');
                const int32_t rc = fn(out.data(), kOutLen);
                return seen(rc, out.c_str());
            };
        };
        const char *key = key_settings_.c_str();
        const char *login = login_settings_.c_str();
        return {
            {true, buffered([key](char *o, int32_t n) { return kojelly_validate(key, o, n); })},
            {true, buffered([key](char *o, int32_t n) { return kojelly_list(key, "", o, n); })},
            {true,
             buffered([login](char *o, int32_t n) { return kojelly_list(login, "100", o, n); })},
            {true, [login] { return seen(kojelly_list(login, nullptr, nullptr, 0), nullptr); }},
            {true, buffered([key](char *o, int32_t n) {
                 return kojelly_stream_url(key, R"({"id":"301"})", o, n);
             })},
            {false,
             buffered([=](char *o, int32_t n) { return t->list(host, login, "100", o, n); })},
            {false, buffered([=](char *o, int32_t n) {
                 return t->stream_url(host, login, R"("301")", o, n);
             })},
            {false, buffered([=](char *o, int32_t n) { return t->validate(bare, key, o, n); })},
            {false, buffered([=](char *o, int32_t n) { return t->download(host, key, "", o, n); })},
            {false,
             buffered([key](char *o, int32_t n) { return kojelly_download(key, "", o, n); })},
            {false, [this] { return seen(0, kojelly_full_url(key_settings_.c_str())); }},
            {false, [this] { return seen(0, kojelly_redact(redact_in_.c_str())); }},
            {false,
             [key] {
                 char *id = kojelly_device_id(key);
                 Seen s = seen(0, id);
                 std::free(id);
                 return s;
             }},
            {false, buffered([this](char *o, int32_t n) {
                 return kojelly_parse_items(page_.c_str(), o, n);
             })},
            {false, [] { return seen(kojelly_allow_writes(1), nullptr); }},
        };
    }

private:
    void set(const char *method, const std::string &path, int status,
             const std::string &body) const {
        const std::string where = base_ + path;
        if (kojelly_fake_set(method, where.c_str(), status, body.c_str()) != 0)
            ADD_FAILURE() << "cannot register " << where;
    }

    std::string base_;
    std::string token_;
    std::string key_settings_;
    std::string login_settings_;
    std::string redact_in_;
    std::string page_;
};

// Reports of one thread, kept short.
class Reports {
public:
    void add(const std::string &what) {
        std::lock_guard<std::mutex> hold(lock_);
        ++count_;
        if (list_.size() < kMaxReports) list_.push_back(what);
    }
    size_t count() const { return count_; }
    std::string text() const {
        std::string s;
        for (const std::string &r : list_) s += "\n  " + r;
        return s;
    }

private:
    std::mutex lock_;
    size_t count_ = 0;
    std::vector<std::string> list_;
};

std::string show(const Seen &s) {
    return std::to_string(s.rc) + " out=" + s.out.substr(0, 120) + " error=" + s.error;
}

TEST(ConcurrencyStress, EveryExportRacesSelectionForgetAndRouteChanges) {
    torture::settle();
    std::vector<Worker> workers;
    for (int i = 0; i < kWorkers; ++i) workers.emplace_back(i);
    for (const Worker &w : workers) w.routes();
    ASSERT_EQ(kojelly_fake_set("GET", kChaosViews, 200, kChaosA), 0);

    // What each call gives without a race, and the two answers of the rewritten route.
    std::vector<std::vector<Seen>> expected;
    for (const Worker &w : workers) {
        expected.emplace_back();
        for (const Worker::Call &c : w.calls()) expected.back().push_back(c.fn());
    }
    for (const std::vector<Seen> &round : expected) {
        for (const Seen &s : round) ASSERT_NE(s.rc, KOJELLY_ETRANSPORT) << show(s);
    }
    std::string chaos_out(kOutLen, '\0');
    ASSERT_EQ(kojelly_list(kChaosKey, "", chaos_out.data(), kOutLen), 0);
    const std::string chaos_a = chaos_out.c_str();
    ASSERT_EQ(kojelly_fake_set("GET", kChaosViews, 200, kChaosB), 0);
    ASSERT_EQ(kojelly_list(kChaosKey, "", chaos_out.data(), kOutLen), 0);
    const std::string chaos_b = chaos_out.c_str();

    std::atomic<bool> stop{false};
    std::latch start(kWorkers + 3);
    Reports reports;
    std::atomic<uint64_t> rounds{0};
    std::vector<std::thread> threads;

    for (int i = 0; i < kWorkers; ++i) {
        threads.emplace_back([&, i] {
            const std::vector<Worker::Call> calls = workers[i].calls();
            start.arrive_and_wait();
            while (!stop.load()) {
                for (size_t c = 0; c < calls.size(); ++c) {
                    const Seen got = calls[c].fn();
                    const Seen &want = expected[i][c];
                    const bool unselected = calls[c].selected && got.rc == KOJELLY_ETRANSPORT &&
                                            got.error == kNoTransport;
                    if (!(got == want) && !unselected)
                        reports.add("worker " + std::to_string(i) + " call " +
                                    std::to_string(c + 1) + ": " + show(got) + "; wanted " +
                                    show(want));
                }
                std::string out(kOutLen, '\0');
                const int32_t rc = kojelly_list(kChaosKey, "", out.data(), kOutLen);
                const bool unselected =
                    rc == KOJELLY_ETRANSPORT && kojelly_last_error() == std::string(kNoTransport);
                if (!unselected && (rc != 0 || (out.c_str() != chaos_a && out.c_str() != chaos_b)))
                    reports.add("worker " + std::to_string(i) +
                                " chaos root: " + std::to_string(rc) + " " + out.c_str());
                // Another thread's last request; only its shape is known.
                const std::string last = kojelly_fake_last_url();
                if (last.rfind("http://", 0) != 0) reports.add("last url " + last);
                rounds.fetch_add(1);
            }
        });
    }
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (unsigned n = 0; !stop.load(); ++n) {
            switch (n % 4) {
                case 0:
                    (void)kojelly_set_io(HostTransport::get().io());
                    break;
                case 1:
                    (void)kojelly_set_io(nullptr);
                    break;
                case 2:
                    if (kojelly_use_curl() != KOJELLY_EUNSUPPORTED) reports.add("use_curl");
                    if (kojelly_set_io(torture::bare_io()) != KOJELLY_EUNSUPPORTED)
                        reports.add("set_io took a bare io");
                    break;
                default:
                    (void)kojelly_use_fake();
                    break;
            }
            std::this_thread::yield();
        }
        (void)kojelly_use_fake();
    });
    threads.emplace_back([&] {
        start.arrive_and_wait();
        while (!stop.load()) {
            kojelly_forget_tokens();
            std::this_thread::yield();
        }
    });
    threads.emplace_back([&] {
        start.arrive_and_wait();
        for (unsigned n = 0; !stop.load(); ++n) {
            (void)kojelly_fake_set("GET", kChaosViews, 200, n % 2 ? kChaosA : kChaosB);
            workers[n % kWorkers].routes();
            (void)kojelly_fake_calls(nullptr, nullptr);
            (void)kojelly_fake_last_headers();
            std::this_thread::yield();
        }
    });

    std::this_thread::sleep_for(kRaceTime);
    stop.store(true);
    for (std::thread &t : threads) t.join();

    EXPECT_EQ(reports.count(), 0u) << reports.text();
    EXPECT_GT(rounds.load(), 0u);
    std::printf("[ stress   ] %d workers, %llu rounds in %lld s\n", kWorkers,
                static_cast<unsigned long long>(rounds.load()),
                static_cast<long long>(kRaceTime.count()));
    torture::settle();
}

}  // namespace
