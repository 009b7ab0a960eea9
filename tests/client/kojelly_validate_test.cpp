// Server validation through the fake io: the request sequence, the answer object with its
// members in order, every failure, and the login it leaves in the token cache.
#include "client/kojelly_validate.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "client_fixture.hpp"
#include "kojelly.h"
#include "plugin/kojelly_handlers.hpp"

namespace {

using namespace client_test;

constexpr char kPublic[] = "http://srv:8096/System/Info/Public";
constexpr char kInfo[] = "http://srv:8096/System/Info";
constexpr char kServer[] = R"({"Id":"f00d","ServerName":"Media \"Box\"","Version":"10.9.1"})";

struct Answer {
    int32_t code;
    std::string out;
    std::string error;
};

class ValidateTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        base_routes();
    }
    // A server that answers every request of a validation with success.
    void base_routes() {
        route("GET", kPublic, 200, kServer);
        route("GET", kInfo, 200, "{}");
        route("POST", kLoginUrl, 200, login_answer("tok1"));
    }
    Answer validate(const char *settings, const tessel_io *io) {
        char out[1024] = {};
        const int32_t code = h_validate(io, settings, out, sizeof out);
        return {code, out, kojelly_last_error()};
    }
    Answer validate(const char *settings) { return validate(settings, rec.io()); }

    Recorder rec;
};

TEST_F(ValidateTest, AnswerHoldsItsMembersInOrder) {
    struct Case {
        const char *what;
        const char *settings;
        const char *server;
        const char *answer;
    } cases[] = {
        {"all four", kApiKeySettings, kServer,
         R"({"FullUrl":"http://srv:8096","ID":"f00d","ServerName":"Media \"Box\"","ServerVersion":"10.9.1"})"},
        {"settings carry an ID", R"({"HostName":"srv","APIKey":"k-1234","ID":"mine"})", kServer,
         R"({"FullUrl":"http://srv:8096","ServerName":"Media \"Box\"","ServerVersion":"10.9.1"})"},
        {"settings carry an empty ID", R"({"ServerUrl":"srv:8096","APIKey":"k-1234","ID":""})",
         kServer,
         R"({"FullUrl":"http://srv:8096","ID":"f00d","ServerName":"Media \"Box\"","ServerVersion":"10.9.1"})"},
        {"server without a name", kLoginSettings, R"({"Version":"4.8","Id":"77ab"})",
         R"({"FullUrl":"http://srv:8096","ID":"77ab","ServerVersion":"4.8"})"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        route("GET", kPublic, 200, c.server);
        const Answer got = validate(c.settings);
        EXPECT_EQ(0, got.code) << got.error;
        EXPECT_EQ(c.answer, got.out);
        EXPECT_EQ("", got.error);
    }
}

TEST_F(ValidateTest, ServerIsCheckedWithoutTokenBeforeTheCredentials) {
    struct Case {
        const char *settings;
        std::vector<std::string> log;
        std::vector<std::string> tokens;
    } cases[] = {
        {kApiKeySettings,
         {std::string("GET ") + kPublic, std::string("GET ") + kInfo},
         {"", kApiKey}},
        {kLoginSettings,
         {std::string("GET ") + kPublic, std::string("POST ") + kLoginUrl},
         {"", ""}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        rec.reset();
        ASSERT_EQ(0, validate(c.settings).code);
        EXPECT_EQ(c.log, rec.log());
        EXPECT_EQ(c.tokens, rec.tokens());
    }
}

TEST_F(ValidateTest, FailuresGiveTheirCodeAndMessage) {
    const std::string pub = kPublic;
    struct Case {
        const char *what;
        const char *settings;
        const char *method;
        const char *url;
        int status;  // 0: the request fails in the transport
        const char *body;
        int32_t code;
        std::string msg;
    } cases[] = {
        {"no server info endpoint", kApiKeySettings, "GET", kPublic, 404, "Not Found", -4,
         "server info: " + pub + " answered HTTP 404: Not Found"},
        {"server info 410", kApiKeySettings, "GET", kPublic, 410, "", -4,
         "server info: " + pub + " answered HTTP 410"},
        {"server info refused", kApiKeySettings, "GET", kPublic, 401, "", -1,
         "server info: " + pub + " answered HTTP 401"},
        {"server info 429", kApiKeySettings, "GET", kPublic, 429, "", -3,
         "server info: " + pub + " answered HTTP 429"},
        {"not a server", kApiKeySettings, "GET", kPublic, 200, R"({"Id":"f00d"})", -5,
         "System/Info/Public has no Id / Version: not a Jellyfin/Emby server"},
        {"not JSON", kApiKeySettings, "GET", kPublic, 200, "<html>", -5,
         "System/Info/Public answered something that is not a JSON object"},
        {"unreachable", kApiKeySettings, "GET", kPublic, 0, "connection refused", -4,
         "GET " + pub + ": connection refused"},
        {"API key refused", kApiKeySettings, "GET", kInfo, 401, "", -1,
         std::string("APIKey check: ") + kInfo + " answered HTTP 401"},
        {"API key check fails", kApiKeySettings, "GET", kInfo, 500, "", -4,
         std::string("APIKey check: ") + kInfo + " answered HTTP 500"},
        {"API key check missing", kApiKeySettings, "GET", kInfo, 404, "", -5,
         std::string("APIKey check: ") + kInfo + " answered HTTP 404"},
        {"API key check unreachable", kApiKeySettings, "GET", kInfo, 0, "reset", -4,
         std::string("GET ") + kInfo + ": reset"},
        {"login refused", kLoginSettings, "POST", kLoginUrl, 401, "Invalid", -1,
         std::string("login: ") + kLoginUrl + " answered HTTP 401: Invalid"},
        {"login missing", kLoginSettings, "POST", kLoginUrl, 404, "", -5,
         std::string("login: ") + kLoginUrl + " answered HTTP 404"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly::fake_reset_impl();
        base_routes();
        if (c.status) {
            route(c.method, c.url, c.status, c.body);
        } else {
            ASSERT_EQ(0, kojelly::fake_fail_impl(c.method, c.url, c.body));
        }
        const Answer got = validate(c.settings);
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.error);
    }
}

TEST_F(ValidateTest, SettingsAndTransportAreCheckedFirst) {
    const tessel_io bare{};
    struct Case {
        const char *what;
        const char *settings;
        const tessel_io *io;
        int32_t code;
        const char *msg;
    } cases[] = {
        {"invalid settings", "[]", nullptr, -8, "settings are not a JSON object"},
        {"no credentials", R"({"FullUrl":"http://srv"})", nullptr, -8,
         "APIKey or UserName is required"},
        {"no io", kApiKeySettings, nullptr, -4, "no transport"},
        {"io without any slot", kApiKeySettings, &bare, -6,
         "the transport must carry request headers: install a tessel_http-backed io "
         "(tessel_io_over_http) or call kojelly_use_curl/kojelly_use_fake; a bare tessel_io "
         "cannot authenticate to Jellyfin 12"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        const Answer got = validate(c.settings, c.io);
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.error);
    }
    EXPECT_EQ(0, kojelly::fake_calls_impl(nullptr, nullptr));
}

TEST_F(ValidateTest, LoginIsFreshButLeavesItsTokenCached) {
    ASSERT_EQ(0, validate(kLoginSettings).code);
    ASSERT_EQ(0, validate(kLoginSettings).code);
    EXPECT_EQ(2, calls("POST", kLoginUrl));  // validation never trusts the cache

    TestCall call(rec.handle(), kLoginSettings);
    ASSERT_EQ(0, call.open());
    EXPECT_EQ(1, call.session.record().from_cache);
    EXPECT_STREQ("tok1", call.session.record().token);
    EXPECT_EQ(2, calls("POST", kLoginUrl));
}

TEST_F(ValidateTest, WorksOverTheFakeIoItself) {
    char out[512];
    EXPECT_EQ(0, h_validate(kojelly_io_fake(), kApiKeySettings, out, sizeof out));
    EXPECT_EQ(
        R"({"FullUrl":"http://srv:8096","ID":"f00d","ServerName":"Media \"Box\"","ServerVersion":"10.9.1"})",
        std::string(out));
}

}  // namespace
