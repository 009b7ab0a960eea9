// The tool's libcurl transport against a small loopback server: what it sends, how it hands the
// answer to the record's callbacks, when it stops, and what it reports when no answer comes.
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <latch>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli_run.hpp"
#include "demo_library.hpp"
#include "demo_server.hpp"
#include "http_transport.hpp"
#include "tessel_http.h"

namespace {

using e2e::Doc;
using kojelly::cli::HttpTransport;
using kojelly::cli::TransportFailure;
using kojelly::cli::TransportOptions;
using kojelly::cli::TransportRecord;

constexpr std::size_t kBigBody = 1 << 20;

// What the callbacks received, and how they answer.
struct Received {
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    int body_calls = 0;
    int stop_after_pieces = 0;  // 0: never ask to stop
    bool stop_at_status = false;
};

std::int32_t on_header(void *user, const char *name, const char *value) {
    auto &r = *static_cast<Received *>(user);
    r.headers.emplace_back(name, value ? value : "");
    return r.stop_at_status && r.headers.size() == 1 ? 1 : 0;
}

std::int32_t on_body(void *user, const void *bytes, std::uint64_t count) {
    auto &r = *static_cast<Received *>(user);
    r.body.append(static_cast<const char *>(bytes), count);
    ++r.body_calls;
    return r.stop_after_pieces > 0 && r.body_calls >= r.stop_after_pieces ? 1 : 0;
}

struct Answer {
    std::int32_t result = -1;
    std::int32_t status = 0;
    std::string error;
};

Answer send(const HttpTransport &t, tessel_http_req &req, Received &r) {
    req.on_header = on_header;
    req.on_body = on_body;
    req.user = &r;
    Answer a;
    char *error = nullptr;
    const tessel_http *http = t.http();
    a.result = http->request(http->user, &req, &a.status, &error);
    if (error) {
        a.error = error;
        http->free(http->user, error);
    }
    return a;
}

// The record points into url, which must outlive it.
tessel_http_req request(const char *method, const std::string &url) {
    tessel_http_req req{};
    req.size = sizeof req;
    req.method = method;
    req.url = url.c_str();
    return req;
}

std::string header(const Received &r, const std::string &name) {
    for (const auto &[n, v] : r.headers) {
        if (n == name) return v;
    }
    return "<none>";
}

// A one-shot server speaking raw bytes, for answers a well-behaved server library will not
// produce (interim 1xx answers, folded header lines) and to see a request exactly as it went
// over the wire.
class RawServer {
public:
    explicit RawServer(std::string reply) : reply_(std::move(reply)) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        listen(fd_, 1);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~RawServer() {
        if (thread_.joinable()) thread_.join();
        close(fd_);
    }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/raw"; }
    // What the client sent; valid once the exchange is over.
    const std::string &request() {
        if (thread_.joinable()) thread_.join();
        return request_;
    }

private:
    void serve() {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, 5000) != 1) return;
        const int c = accept(fd_, nullptr, nullptr);
        if (c < 0) return;
        char buf[4096];
        // Read the head and as much body as Content-Length announces.
        while (true) {
            const auto end = request_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const auto cl = request_.find("Content-Length: ");
                const std::size_t body =
                    cl == std::string::npos ? 0 : std::stoul(request_.substr(cl + 16));
                if (request_.size() >= end + 4 + body) break;
            }
            pollfd q{c, POLLIN, 0};
            if (poll(&q, 1, 5000) != 1) break;
            const ssize_t n = read(c, buf, sizeof buf);
            if (n <= 0) break;
            request_.append(buf, static_cast<std::size_t>(n));
        }
        (void)!write(c, reply_.data(), reply_.size());
        shutdown(c, SHUT_RDWR);
        close(c);
    }

    std::string reply_;
    std::string request_;
    int fd_ = -1;
    int port_ = 0;
    std::thread thread_;
};

// An address on 127.0.0.1 where nobody listens.
std::string closed_url() {
    return "http://127.0.0.1:" + std::to_string(e2e::closed_port()) + "/";
}

// Sets an environment variable for one scope and restores what was there.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = std::getenv(name)) old_ = old;
        if (value) {
            setenv(name, value, 1);
        } else {
            unsetenv(name);
        }
    }
    ~ScopedEnv() {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char *name_;
    std::optional<std::string> old_;
};

class TransportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        unsetenv("http_proxy");
        unsetenv("HTTP_PROXY");
        unsetenv("all_proxy");
        unsetenv("ALL_PROXY");
        std::string error;
        ASSERT_TRUE(HttpTransport::global_init(error)) << error;
        server_ = new httplib::Server();
        const auto echo = [](const httplib::Request &req, httplib::Response &res) {
            std::string out = "method=" + req.method + "\n";
            for (const auto &[name, value] : req.headers) out += name + ": " + value + "\n";
            out += "body=" + req.body;
            res.set_content(out, "text/plain");
            ++requests_;
        };
        server_->Get("/echo", echo);
        server_->Post("/echo", echo);
        server_->Put("/echo", echo);
        server_->Get("/headers", [](const httplib::Request &, httplib::Response &res) {
            ++requests_;
            res.status = 203;
            res.set_header("X-One", "1");
            res.headers.emplace("X-Two", "a");
            res.headers.emplace("X-Two", "b");
            res.set_content("ok", "text/plain");
        });
        server_->Get("/redirect", [](const httplib::Request &, httplib::Response &res) {
            ++requests_;
            res.set_redirect("/echo", 302);
        });
        server_->Get("/big", [](const httplib::Request &, httplib::Response &res) {
            ++requests_;
            res.set_content(std::string(kBigBody, 'x'), "application/octet-stream");
        });
        server_->Get("/slow", [](const httplib::Request &, httplib::Response &res) {
            ++requests_;
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            res.set_content("late", "text/plain");
        });
        port_ = server_->bind_to_any_port("127.0.0.1");
        ASSERT_GT(port_, 0);
        thread_ = new std::thread([] { server_->listen_after_bind(); });
        while (!server_->is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    static void TearDownTestSuite() {
        // An idle kept-alive connection would hold the server's shutdown until it times out.
        HttpTransport::close_thread_connections();
        server_->stop();
        thread_->join();
        delete thread_;
        delete server_;
    }
    static std::string url(const char *path) {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }

    static httplib::Server *server_;
    static std::thread *thread_;
    static int port_;
    static std::atomic<int> requests_;
};

httplib::Server *TransportTest::server_ = nullptr;
std::thread *TransportTest::thread_ = nullptr;
int TransportTest::port_ = 0;
std::atomic<int> TransportTest::requests_{0};

TEST_F(TransportTest, IoIsHttpBackedSoThePluginAcceptsIt) {
    HttpTransport t(TransportOptions{});
    EXPECT_EQ(tessel_http_of(t.io()), t.http());
    EXPECT_EQ(t.http()->version, 1u);
    EXPECT_GE(t.http()->size, 32u);
    EXPECT_NE(t.http()->free, nullptr);
}

TEST_F(TransportTest, SendsMethodHeaderLinesAndBody) {
    struct Case {
        const char *method;
        std::vector<const char *> lines;
        std::string body;
        std::vector<std::string> sent;
        std::vector<std::string> not_sent;
    };
    const std::vector<Case> cases = {
        {"GET",
         {"Authorization: MediaBrowser Client=\"c\", Token=\"t\""},
         "",
         {"method=GET", "Authorization: MediaBrowser Client=\"c\", Token=\"t\"", "body="},
         {"Content-Type", "Expect"}},
        {"POST",
         {"Authorization: x", "Content-Type: application/json"},
         "{\"Pw\":\"p\"}",
         {"method=POST", "Content-Type: application/json", "Content-Length: 10",
          "body={\"Pw\":\"p\"}"},
         {"Expect", "x-www-form-urlencoded"}},
        {"POST", {}, "{}", {"method=POST", "body={}"}, {"Content-Type", "Expect"}},
        {"PUT", {"X-Custom: 1"}, "data", {"method=PUT", "X-Custom: 1", "body=data"}, {}},
    };
    HttpTransport t(TransportOptions{});
    const std::string target = url("/echo");
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.method) + " " + c.body);
        tessel_http_req req = request(c.method, target);
        req.headers = c.lines.data();
        req.header_count = c.lines.size();
        req.body = c.body.empty() ? nullptr : c.body.data();
        req.body_len = c.body.size();
        Received r;
        const Answer a = send(t, req, r);
        ASSERT_EQ(a.result, 0) << a.error;
        EXPECT_EQ(a.status, 200);
        for (const auto &text : c.sent)
            EXPECT_NE(r.body.find(text), std::string::npos) << text << "\n" << r.body;
        for (const auto &text : c.not_sent)
            EXPECT_EQ(r.body.find(text), std::string::npos) << text << "\n" << r.body;
    }
}

TEST_F(TransportTest, HeaderWithAnEmptyValueIsSentAsSuch) {
    RawServer raw("HTTP/1.1 204 No Content\r\nContent-Length: 0\r\n\r\n");
    const std::string target = raw.url();
    tessel_http_req req = request("GET", target);
    const char *lines[] = {"X-Empty: ", "X-Full: v"};
    req.headers = lines;
    req.header_count = 2;
    HttpTransport t(TransportOptions{});
    Received r;
    const Answer a = send(t, req, r);
    ASSERT_EQ(a.result, 0) << a.error;
    EXPECT_EQ(a.status, 204);
    EXPECT_NE(raw.request().find("\r\nX-Empty:\r\n"), std::string::npos) << raw.request();
    EXPECT_NE(raw.request().find("\r\nX-Full: v\r\n"), std::string::npos) << raw.request();
}

TEST_F(TransportTest, InterimAnswersNeverReachTheCaller) {
    RawServer raw(
        "HTTP/1.1 100 Continue\r\nX-Interim: yes\r\n\r\n"
        "HTTP/1.1 200 OK\r\nX-Folded: a\r\n  b\r\nContent-Length: 2\r\n\r\nok");
    const std::string target = raw.url();
    tessel_http_req req = request("GET", target);
    HttpTransport t(TransportOptions{});
    Received r;
    const Answer a = send(t, req, r);
    ASSERT_EQ(a.result, 0) << a.error;
    EXPECT_EQ(a.status, 200);
    ASSERT_FALSE(r.headers.empty());
    EXPECT_EQ(r.headers[0], (std::pair<std::string, std::string>(":status", "200")));
    EXPECT_EQ(header(r, "X-Interim"), "<none>");
    EXPECT_EQ(header(r, "X-Folded"), "a b");
    EXPECT_EQ(r.body, "ok");
}

TEST_F(TransportTest, DeliversTheStatusFirstThenEveryHeaderInOrder) {
    HttpTransport t(TransportOptions{});
    const std::string target = url("/headers");
    tessel_http_req req = request("GET", target);
    Received r;
    const Answer a = send(t, req, r);
    ASSERT_EQ(a.result, 0) << a.error;
    EXPECT_EQ(a.status, 203);
    ASSERT_FALSE(r.headers.empty());
    EXPECT_EQ(r.headers[0], (std::pair<std::string, std::string>(":status", "203")));
    EXPECT_EQ(header(r, "X-One"), "1");
    std::vector<std::string> twos;
    for (const auto &[n, v] : r.headers) {
        if (n == "X-Two") twos.push_back(v);
    }
    EXPECT_EQ(twos, (std::vector<std::string>{"a", "b"}));
    EXPECT_EQ(r.body, "ok");
}

TEST_F(TransportTest, FollowsRedirectsOnlyWhenAskedAndShowsOnlyTheFinalAnswer) {
    struct Case {
        bool follow;
        std::int32_t status;
        std::string location;
    };
    for (const Case &c : {Case{false, 302, "/echo"}, Case{true, 200, "<none>"}}) {
        SCOPED_TRACE(c.follow ? "following" : "not following");
        TransportOptions o;
        o.follow_redirects = c.follow;
        HttpTransport t(o);
        const std::string target = url("/redirect");
        tessel_http_req req = request("GET", target);
        Received r;
        const Answer a = send(t, req, r);
        ASSERT_EQ(a.result, 0) << a.error;
        EXPECT_EQ(a.status, c.status);
        EXPECT_EQ(header(r, ":status"), std::to_string(c.status));
        EXPECT_EQ(header(r, "Location"), c.location);
    }
}

TEST_F(TransportTest, StopsDeliveringWhenACallbackAsks) {
    HttpTransport t(TransportOptions{});
    const std::string big = url("/big");
    {
        SCOPED_TRACE("body callback");
        tessel_http_req req = request("GET", big);
        Received r;
        r.stop_after_pieces = 1;
        const Answer a = send(t, req, r);
        EXPECT_EQ(a.result, 0) << "a stopped transfer still brought an answer: " << a.error;
        EXPECT_EQ(a.status, 200);
        EXPECT_EQ(r.body_calls, 1);
        EXPECT_LT(r.body.size(), kBigBody);
    }
    {
        SCOPED_TRACE("header callback");
        tessel_http_req req = request("GET", big);
        Received r;
        r.stop_at_status = true;
        const Answer a = send(t, req, r);
        EXPECT_EQ(a.result, 0) << a.error;
        EXPECT_EQ(r.headers.size(), 1u);
        EXPECT_EQ(r.body_calls, 0);
    }
    {
        SCOPED_TRACE("the handle is fine afterwards");
        tessel_http_req req = request("GET", big);
        Received r;
        ASSERT_EQ(send(t, req, r).result, 0);
        EXPECT_EQ(r.body.size(), kBigBody);
    }
}

TEST_F(TransportTest, NoAnswerIsAFailureWithTheReason) {
    const std::string refused = closed_url();

    struct Case {
        const char *name;
        std::string url;
        long timeout_ms;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"connection refused", refused, 5000, "onnect"},
        {"timeout", url("/slow"), 300, "imed out"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        TransportOptions o;
        o.timeout_ms = c.timeout_ms;
        HttpTransport t(o);
        tessel_http_req req = request("GET", c.url);
        Received r;
        const Answer a = send(t, req, r);
        EXPECT_NE(a.result, 0);
        EXPECT_EQ(a.status, 0);
        EXPECT_NE(a.error.find(c.reason), std::string::npos) << a.error;
    }
}

// The transport's record tells the tool's hints, in no stack's words, why the last exchange
// brought no answer, its status when it did, and whether any answer or success came before.
TEST_F(TransportTest, RecordsWhyNoAnswerCameAndWhatCameBefore) {
    enum class Where { closed_port, raw_server, test_server };
    struct Case {
        const char *name;
        Where where;
        std::string what;  // the raw server's reply, or the test server's path
        long timeout_ms;
        TransportFailure failure;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {"refused", Where::closed_port, "", 5000, TransportFailure::cannot_connect, 0},
        {"closed without a word", Where::raw_server, "", 5000, TransportFailure::no_http_answer, 0},
        {"no status line", Where::raw_server, "SSH-2.0-OpenSSH_9.2\r\n", 5000,
         TransportFailure::no_http_answer, 0},
        {"timed out", Where::test_server, "/slow", 300, TransportFailure::timeout, 0},
        {"answered", Where::test_server, "/headers", 5000, TransportFailure::none, 203},
        {"answered 404", Where::test_server, "/no-such-path", 5000, TransportFailure::none, 404},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<RawServer> raw;
        std::string target;
        switch (c.where) {
            case Where::closed_port:
                target = closed_url();
                break;
            case Where::raw_server:
                raw.emplace(c.what);
                target = raw->url();
                break;
            case Where::test_server:
                target = url(c.what.c_str());
                break;
        }
        TransportOptions o;
        o.timeout_ms = c.timeout_ms;
        HttpTransport t(o);
        EXPECT_FALSE(t.record().answered) << "a fresh transport has a record of its own";
        tessel_http_req req = request("GET", target);
        Received r;
        send(t, req, r);
        const TransportRecord got = t.record();
        EXPECT_EQ(got.last_failure, c.failure);
        EXPECT_EQ(got.last_status, c.status);
        EXPECT_EQ(got.answered, c.failure == TransportFailure::none);
        EXPECT_EQ(got.succeeded, c.status >= 200 && c.status < 300);
    }

    // What came before stays known; the last exchange's failure and status are its own.
    HttpTransport t(TransportOptions{});
    const std::string ok = url("/headers");
    const std::string refused = closed_url();
    const std::string missing = url("/no-such-path");
    for (const std::string *target : {&ok, &refused}) {
        tessel_http_req req = request("GET", *target);
        Received r;
        send(t, req, r);
    }
    TransportRecord got = t.record();
    EXPECT_EQ(got.last_failure, TransportFailure::cannot_connect);
    EXPECT_EQ(got.last_status, 0);
    EXPECT_TRUE(got.answered);
    EXPECT_TRUE(got.succeeded);
    tessel_http_req req = request("GET", missing);
    Received r;
    send(t, req, r);
    got = t.record();
    EXPECT_EQ(got.last_failure, TransportFailure::none);
    EXPECT_EQ(got.last_status, 404);
}

TEST_F(TransportTest, TakesTheProxyFromTheEnvironmentUnlessBypassed) {
    RawServer proxy("HTTP/1.1 200 OK\r\nContent-Length: 7\r\n\r\nproxied");
    const ScopedEnv http_proxy("http_proxy", proxy.url().c_str());
    const ScopedEnv no_proxy("no_proxy", nullptr);
    const ScopedEnv no_proxy_upper("NO_PROXY", nullptr);
    {
        SCOPED_TRACE("through the proxy");
        HttpTransport t(TransportOptions{});
        const std::string target = "http://media.invalid/System/Info/Public";
        tessel_http_req req = request("GET", target);
        Received r;
        const Answer a = send(t, req, r);
        ASSERT_EQ(a.result, 0) << a.error;
        EXPECT_EQ(r.body, "proxied");
        EXPECT_EQ(proxy.request().rfind("GET " + target + " HTTP/1.1\r\n", 0), 0u)
            << proxy.request();
    }
    {
        SCOPED_TRACE("bypassed");
        RawServer direct("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\ndirect");
        const ScopedEnv dead_proxy("http_proxy", closed_url().c_str());
        TransportOptions o;
        o.bypass_proxy = true;
        HttpTransport t(o);
        const std::string target = direct.url();
        tessel_http_req req = request("GET", target);
        Received r;
        const Answer a = send(t, req, r);
        ASSERT_EQ(a.result, 0) << a.error;
        EXPECT_EQ(r.body, "direct");
    }
}

TEST_F(TransportTest, RefusesMalformedRequestsWithoutSendingThem) {
    const std::string target = url("/echo");
    const char *crlf[] = {"X-A: b\r\nX-Injected: 1"};
    const char *nameless[] = {": value"};
    const char *null_line[] = {nullptr};
    struct Case {
        const char *name;
        tessel_http_req req;
        std::string reason;
    };
    std::vector<Case> cases;
    {
        tessel_http_req r = request("GET", target);
        r.size = 104;
        cases.push_back({"short record", r, "smaller than 112"});
    }
    cases.push_back({"bad method", request("GE T", target), "method"});
    {
        tessel_http_req r = request("GET", target);
        r.headers = crlf;
        r.header_count = 1;
        cases.push_back({"line break in a header", r, "line break"});
    }
    {
        tessel_http_req r = request("GET", target);
        r.headers = nameless;
        r.header_count = 1;
        cases.push_back({"header without a name", r, "no name"});
    }
    {
        tessel_http_req r = request("GET", target);
        r.headers = null_line;
        r.header_count = 1;
        cases.push_back({"NULL header line", r, "NULL"});
    }
    {
        tessel_http_req r = request("POST", target);
        r.body_len = 4;
        cases.push_back({"body length without body", r, "body"});
    }
    const std::string no_url;
    cases.push_back({"no URL", request("GET", no_url), "URL"});
    HttpTransport t(TransportOptions{});
    for (Case &c : cases) {
        SCOPED_TRACE(c.name);
        const int before = requests_;
        Received r;
        const Answer a = send(t, c.req, r);
        EXPECT_NE(a.result, 0);
        EXPECT_NE(a.error.find(c.reason), std::string::npos) << a.error;
        EXPECT_EQ(requests_, before) << "nothing may reach the server";
    }
}

TEST_F(TransportTest, RangeGetThroughTheTransportCollectsOneRange) {
    HttpTransport t(TransportOptions{});
    tessel_collect c;
    tessel_collect_init(&c, 0);
    std::int32_t status = 0;
    char *error = nullptr;
    const std::int32_t rc =
        tessel_http_range(t.http(), url("/big").c_str(), 1000, 1999, &c, &status, &error);
    EXPECT_EQ(rc, 0) << (error ? error : "");
    if (error) t.http()->free(t.http()->user, error);
    EXPECT_EQ(status, 206);
    EXPECT_EQ(c.body.len, 1000u);
    const char *range = tessel_hdrs_get(&c.headers, "content-range");
    EXPECT_STREQ(range, "bytes 1000-1999/1048576");
    tessel_collect_free(&c);
}

// ---- Requests on many threads at once --------------------------------------------------------

// What one thread found wrong; empty when every answer was the one it asked for.
std::string check_page(const HttpTransport &t, const std::string &url, std::int64_t start,
                       const std::vector<std::string> &ids, const char *auth) {
    tessel_http_req req = request("GET", url);
    req.headers = &auth;
    req.header_count = 1;
    Received r;
    const Answer a = send(t, req, r);
    if (a.result != 0 || a.status != 200) return url + ": " + std::to_string(a.status) + a.error;
    const Doc doc(yyjson_read(r.body.data(), r.body.size(), 0));
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    yyjson_val *items = yyjson_obj_get(root, "Items");
    if (yyjson_get_sint(yyjson_obj_get(root, "StartIndex")) != start || !yyjson_is_arr(items))
        return url + ": another page came back";
    const auto expected = std::min<std::size_t>(ids.size() - static_cast<std::size_t>(start), 50);
    if (yyjson_arr_size(items) != expected) return url + ": wrong number of items";
    for (std::size_t i = 0; i < expected; ++i) {
        const char *id = yyjson_get_str(yyjson_obj_get(yyjson_arr_get(items, i), "Id"));
        if (!id || id != ids[static_cast<std::size_t>(start) + i]) return url + ": wrong item";
    }
    return {};
}

std::string check_range(const HttpTransport &t, const std::string &url, const std::string &id,
                        std::int64_t first, std::int64_t count) {
    tessel_collect c;
    tessel_collect_init(&c, 0);
    std::int32_t status = 0;
    char *error = nullptr;
    const std::int32_t rc =
        tessel_http_range(t.http(), url.c_str(), first, first + count - 1, &c, &status, &error);
    std::string wrong;
    if (rc != 0 || status != 206) {
        wrong = url + ": " + std::to_string(status) + (error ? error : "");
    } else {
        std::string want(static_cast<std::size_t>(count), '\0');
        kojelly::cli::demo_bytes(id, static_cast<std::uint64_t>(first), want.data(), want.size());
        if (std::string(c.body.data ? c.body.data : "", c.body.len) != want)
            wrong = url + ": other bytes came back";
    }
    if (error) t.http()->free(t.http()->user, error);
    tessel_collect_free(&c);
    return wrong;
}

// Threads share one transport for the API and another for streams, as the tool's plug-in
// threads and its own thread do, and send requests of their own to the demo server at once,
// which takes 20 ms over every page so that they overlap there. Every answer must be the one its
// thread asked for, the trace must see every exchange, and threads that end (releasing their
// handles) must not disturb those still running.
TEST(TransportThreads, ConcurrentRequestsEachGetTheirOwnAnswer) {
    const std::string key = "00112233445566778899aabbccddeeff";
    kojelly::cli::DemoOptions o;
    o.api_key = key;
    o.faults.push_back({"/Items", 0, "", "", 20});
    kojelly::cli::DemoServer server(o);
    std::string error;
    ASSERT_TRUE(server.start(error)) << error;
    ASSERT_TRUE(HttpTransport::global_init(error)) << error;
    const auto &lib = server.library();
    std::vector<std::string> ids;
    for (const std::size_t pos : lib.movies().children) ids.push_back(lib.items()[pos].id);

    std::mutex traced_lock;
    int traced = 0;
    int traced_ok = 0;
    TransportOptions api;
    api.bypass_proxy = true;
    api.trace = [&](const kojelly::cli::TransportTrace &t) {
        const std::lock_guard<std::mutex> guard(traced_lock);
        ++traced;
        traced_ok += t.status == 200 || t.status == 206;
    };
    TransportOptions media = api;
    media.follow_redirects = true;
    const HttpTransport api_transport(api);
    const HttpTransport media_transport(media);
    const std::string auth = "Authorization: MediaBrowser Token=\"" + key + "\"";

    // One request of each kind first. The server library, built without the sanitizer, sets up
    // function-local statics (the patterns of its Range parser) on first use, behind a guard
    // that ThreadSanitizer cannot see; once one request has gone through, the lock of the
    // server's thread pool orders that set-up before every later request.
    const std::string &first = ids.front();
    ASSERT_EQ(
        check_page(api_transport,
                   server.url() + "/Items?ParentId=" + lib.movies().id + "&StartIndex=0&Limit=50",
                   0, ids, auth.c_str()),
        "");
    ASSERT_EQ(check_range(media_transport,
                          server.url() + "/videos/" + first + "/stream?static=true&ApiKey=" + key,
                          first, 0, 4096),
              "");

    constexpr int kThreads = 6;
    std::latch go(kThreads);
    std::vector<std::string> wrong(kThreads);  // each thread writes its own
    std::vector<std::thread> threads;
    int exchanges = 2;
    for (int i = 0; i < kThreads; ++i) {
        const int rounds = 3 + i;  // so that threads end while others still run
        exchanges += 2 * rounds;
        threads.emplace_back([&, i, rounds] {
            go.arrive_and_wait();
            for (int r = 0; r < rounds && wrong[i].empty(); ++r) {
                const auto start = static_cast<std::int64_t>((i * 97 + r * 331) % ids.size());
                wrong[i] = check_page(api_transport,
                                      server.url() + "/Items?ParentId=" + lib.movies().id +
                                          "&StartIndex=" + std::to_string(start) + "&Limit=50",
                                      start, ids, auth.c_str());
                if (!wrong[i].empty()) break;
                const std::string &file = ids[static_cast<std::size_t>(i * 11 + r) % ids.size()];
                wrong[i] = check_range(
                    media_transport,
                    server.url() + "/videos/" + file + "/stream?static=true&ApiKey=" + key, file,
                    1000 * r + i, 4096);
            }
        });
    }
    for (std::thread &t : threads) t.join();
    // The threads' connections closed with them; this one's would hold the server's stop.
    HttpTransport::close_thread_connections();
    for (int i = 0; i < kThreads; ++i) {
        SCOPED_TRACE("thread " + std::to_string(i));
        EXPECT_EQ(wrong[i], "");
    }
    EXPECT_EQ(traced, exchanges);
    EXPECT_EQ(traced_ok, exchanges);
    EXPECT_GE(server.stats().items_at_once, 2) << "the requests never overlapped";
    EXPECT_EQ(server.stats().item_pages, exchanges / 2);
}

}  // namespace
