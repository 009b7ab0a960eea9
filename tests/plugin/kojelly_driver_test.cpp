#include "plugin/kojelly_driver.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "client/kojelly_session.hpp"
#include "fakes/kojelly_io_fake.hpp"
#include "kojelly.h"
#include "plugin/kojelly_export.hpp"
#include "request/kojelly_cfg.hpp"
#include "support/alloc_fail.hpp"
#include "util/kojelly_msg.hpp"

namespace {

constexpr char kKeySettings[] =
    R"({"FullUrl":"http://srv:8096","APIKey":"key-1234","DeviceId":"dev-5678"})";

class Driver : public ::testing::Test {
protected:
    void SetUp() override {
        kojelly_fake_reset();
        kojelly_forget_tokens();
        ASSERT_EQ(kojelly_set_io(nullptr), 0);
    }
    void TearDown() override { ASSERT_EQ(kojelly_set_io(nullptr), 0); }
};

kojelly_buf answer_of(const char *text) {
    kojelly_buf b{};
    EXPECT_EQ(kojelly_buf_adds(&b, text), 0);
    return b;
}

TEST_F(Driver, FinishWritesAnAnswerOnlyWhenItFits) {
    const std::string answer = R"({"a":1})";
    struct Case {
        int32_t out_len;
        int32_t code;
        const char *out, *error;
    } cases[] = {
        {int32_t(answer.size() + 1), 0, R"({"a":1})", ""},
        {int32_t(answer.size()), -9, "", "output buffer too small"},
        {1, -9, "", "output buffer too small"},
        {0, -9, nullptr, "output buffer too small"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.out_len);
        kojelly_buf b = answer_of(answer.c_str());
        char out[64];
        std::memset(out, 'z', sizeof out);
        char msg[kojelly::kHandlerMsgSize] = {};
        EXPECT_EQ(
            kojelly::finish(0, &b, msg, nullptr, nullptr, c.out_len ? out : nullptr, c.out_len),
            c.code);
        if (c.out) {
            EXPECT_STREQ(out, c.out);
        }
        EXPECT_STREQ(kojelly_last_error(), c.error);
        EXPECT_EQ(kojelly_result_json(), answer);
        // The result slot took the answer over: the buffer is left empty, nothing to release.
        EXPECT_EQ(b.data, nullptr);
        EXPECT_EQ(b.len, 0u);
    }

    kojelly_buf empty{};
    char msg[kojelly::kHandlerMsgSize] = {};
    char out[8];
    EXPECT_EQ(kojelly::finish(0, &empty, msg, nullptr, nullptr, out, sizeof out), 0);
    EXPECT_STREQ(out, "{}");
    EXPECT_STREQ(kojelly_result_json(), "{}");
}

TEST_F(Driver, FinishMasksEverySecretAndNeverTurnsAFailureIntoTooSmall) {
    kojelly::OwnedCfg cfg;
    kojelly::Error err;
    ASSERT_EQ(
        kojelly_cfg_parse(
            R"({"FullUrl":"http://srv","UserName":"u","Password":"pass-word","APIKey":"key-1234","DeviceId":"dev-5678"})",
            1, cfg.get(), err),
        0)
        << err.msg;
    char msg[kojelly::kHandlerMsgSize];
    std::snprintf(msg, sizeof msg, "p=pass-word k=key-1234 d=dev-5678 t=tok-9999 \"q\"");
    char out[256];
    EXPECT_EQ(kojelly::finish(-5, nullptr, msg, cfg.get(), "tok-9999", out, sizeof out), -5);
    EXPECT_STREQ(out, R"({"error":"p=*** k=*** d=*** t=*** \"q\""})");
    EXPECT_STREQ(kojelly_last_error(), "p=*** k=*** d=*** t=*** \"q\"");
    EXPECT_STREQ(kojelly_result_json(), "");

    std::snprintf(msg, sizeof msg, "short");
    char small[4] = "zzz";
    EXPECT_EQ(kojelly::finish(-2, nullptr, msg, nullptr, nullptr, small, sizeof small), -2);
    EXPECT_STREQ(small, "");
    EXPECT_STREQ(kojelly_last_error(), "short");
}

TEST_F(Driver, FinishWithoutMemoryLeavesTheBufferUntouched) {
    char msg[kojelly::kHandlerMsgSize] = "failed";
    char out[64] = "untouched";
    {
        alloc_fail::Countdown fail(1);
        EXPECT_EQ(kojelly::finish(-4, nullptr, msg, nullptr, nullptr, out, sizeof out), -4);
    }
    EXPECT_STREQ(out, "untouched");
}

TEST_F(Driver, RequestsWithoutATransportOrWithBadSettingsFail) {
    struct Case {
        const char *settings;
        int32_t code;
        const char *error;
    } cases[] = {
        {kKeySettings, -4, "no transport"},
        {"{}", -8, "FullUrl (or ServerUrl / HostName) is required"},
        {R"({"FullUrl":"http://srv"})", -8, "APIKey or UserName is required"},
        {nullptr, -8, "settings are NULL"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.error);
        char out[256];
        EXPECT_EQ(kojelly_list(c.settings, "", out, sizeof out), c.code);
        EXPECT_EQ(std::string(out), std::string(R"({"error":")") + c.error + "\"}");
        EXPECT_STREQ(kojelly_last_error(), c.error);
        EXPECT_EQ(korch_get()->list(nullptr, c.settings, "", out, sizeof out), c.code);
    }
}

TEST_F(Driver, TransportSelection) {
    EXPECT_EQ(kojelly_use_curl(), -6);
    tessel_io bare{};
    bare.get = [](void *, const char *, char **, int32_t *, char **) -> int32_t { return -1; };
    EXPECT_EQ(kojelly_set_io(&bare), -6);
    char out[256];
    EXPECT_EQ(kojelly_list(kKeySettings, "", out, sizeof out), -4);  // still nothing selected

    ASSERT_EQ(kojelly_use_fake(), 0);
    EXPECT_EQ(kojelly_use_curl(), -6);  // the fake stays selected
    ASSERT_EQ(kojelly_fake_set("GET", "http://srv:8096/UserViews", 200, R"({"Items":[]})"), 0);
    EXPECT_EQ(kojelly_list(kKeySettings, "", out, sizeof out), 0);
    EXPECT_STREQ(out, R"({"items":[]})");

    // A host's http-backed io is copied: the host's own table may go away after the call.
    {
        tessel_io host = *kojelly_io_fake();
        ASSERT_EQ(kojelly_set_io(&host), 0);
        std::memset(&host, 0, sizeof host);
    }
    EXPECT_EQ(kojelly_list(kKeySettings, "", out, sizeof out), 0);
    EXPECT_EQ(kojelly_set_io(nullptr), 0);
    EXPECT_EQ(kojelly_list(kKeySettings, "", out, sizeof out), -4);
}

TEST_F(Driver, FlatCallsWithoutABufferLeaveTheAnswerInTheResultSlot) {
    ASSERT_EQ(kojelly_use_fake(), 0);
    ASSERT_EQ(kojelly_fake_set("GET", "http://srv:8096/UserViews", 200,
                               R"({"Items":[{"Id":"7","Name":"Films","IsFolder":true}]})"),
              0);
    for (int32_t len : {0, -1}) {
        SCOPED_TRACE(len);
        kojelly_publish(-5, "stale", "stale");
        EXPECT_EQ(kojelly_list(kKeySettings, nullptr, nullptr, len), 0);
        EXPECT_STREQ(kojelly_last_error(), "");
        EXPECT_NE(std::string(kojelly_result_json()).find(R"("path":"7")"), std::string::npos);
    }
    char small[8];
    EXPECT_EQ(kojelly_list(kKeySettings, nullptr, small, sizeof small), -9);
    EXPECT_STREQ(small, "");
    EXPECT_STREQ(kojelly_last_error(), "output buffer too small");
    EXPECT_NE(std::string(kojelly_result_json()).find(R"("path":"7")"), std::string::npos);

    ASSERT_EQ(kojelly_fake_set("GET", "http://srv:8096/UserViews", 401, ""), 0);
    EXPECT_EQ(kojelly_list(kKeySettings, nullptr, nullptr, 0), -1);
    EXPECT_NE(std::string(kojelly_last_error()).find("views"), std::string::npos);
    EXPECT_STREQ(kojelly_result_json(), "");
}

TEST_F(Driver, DownloadThroughTheFlatExport) {
    char out[64];
    EXPECT_EQ(kojelly_download(kKeySettings, "x", out, sizeof out), -6);
    EXPECT_STREQ(out, R"({"error":"JELLYFIN does not download"})");
    EXPECT_EQ(kojelly_download(nullptr, nullptr, nullptr, 0), -6);
    EXPECT_STREQ(kojelly_last_error(), "JELLYFIN does not download");
}

TEST_F(Driver, ATokenInAFailureMessageIsMasked) {
    ASSERT_EQ(kojelly_use_fake(), 0);
    // The server echoes the session token in its error text.
    ASSERT_EQ(kojelly_fake_set("GET", "http://srv:8096/UserViews", 500,
                               "bad token key-1234 for device dev-5678"),
              0);
    char out[768];
    EXPECT_EQ(kojelly_list(kKeySettings, "", out, sizeof out), -4);
    const std::string error = kojelly_last_error();
    EXPECT_EQ(error.find("key-1234"), std::string::npos) << error;
    EXPECT_EQ(error.find("dev-5678"), std::string::npos) << error;
    EXPECT_NE(error.find("***"), std::string::npos) << error;
    EXPECT_EQ(std::string(out).find("key-1234"), std::string::npos);
}

TEST_F(Driver, SelectionChangesWhileRequestsRun) {
    ASSERT_EQ(kojelly_use_fake(), 0);
    ASSERT_EQ(kojelly_fake_set("GET", "http://srv:8096/UserViews", 200, R"({"Items":[]})"), 0);
    std::vector<std::thread> threads;
    std::atomic<int> bad{0};
    for (int t = 0; t < 2; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 300; ++i) {
                const int32_t rc = kojelly_list(kKeySettings, "", nullptr, 0);
                if (rc != 0 && rc != -4) ++bad;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        tessel_io host = *kojelly_io_fake();
        (void)kojelly_set_io(i % 2 ? &host : nullptr);
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(bad.load(), 0);
}

}  // namespace
