// Secrets are overwritten before their memory goes back to the allocator, so that a later
// allocation, a core dump or a heap inspection does not find them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "client/kojelly_session.hpp"
#include "fakes/kojelly_io_fake.hpp"
#include "kojelly.h"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
#include "torture/torture.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"

namespace {

TEST(SecretWipe, SettingsSecretsAreWipedWhenTheRecordIsFreed) {
    struct Case {
        const char *field;
        char *kojelly_cfg::*member;
    };
    const Case cases[] = {
        {"password", &kojelly_cfg::password},
        {"api key", &kojelly_cfg::api_key},
    };
    const char settings[] =
        R"({"FullUrl":"http://srv","UserName":"bob","Password":"pw-Secret-1357","APIKey":"key-Secret-2468"})";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.field);
        kojelly_cfg cfg{};
        kojelly::Error err;
        ASSERT_EQ(kojelly_cfg_parse(settings, 1, &cfg, err), 0) << err.msg;
        const char *secret = cfg.*c.member;
        ASSERT_NE(secret, nullptr);
        torture::watch_free(secret, std::strlen(secret));
        kojelly_cfg_free(&cfg);
        EXPECT_EQ(torture::watched(), torture::Freed::kWiped);
    }
}

TEST(SecretWipe, ABufferThatHeldASecretIsWipedOverItsCapacity) {
    kojelly_buf b{};
    ASSERT_EQ(kojelly_buf_adds(&b, "pw-Secret-1357"), 0);
    // Bytes past the content may hold an earlier, longer secret; all of them go.
    std::memset(b.data + b.len + 1, 'x', b.cap - b.len - 1);
    torture::watch_free(b.data, b.cap);
    kojelly_buf_free_secret(&b);
    EXPECT_EQ(torture::watched(), torture::Freed::kWiped);
    EXPECT_EQ(b.data, nullptr);
}

// A login's access token lives in the session, in the token cache and in the login answer; each
// copy is wiped when it goes.
TEST(SecretWipe, LoginTokensAreWipedWhenTheSessionAndTheCacheLetThemGo) {
    torture::settle();
    kojelly_forget_tokens();
    const std::string login_answer =
        std::string(R"({"AccessToken":")") + torture::kToken + R"(","User":{"Id":"42"}})";
    ASSERT_EQ(kojelly_fake_set("POST", "http://srv:8096/Users/AuthenticateByName", 200,
                               login_answer.c_str()),
              0);
    kojelly::OwnedCfg cfg;
    kojelly::Error err;
    ASSERT_EQ(kojelly_cfg_parse(torture::kLoginSettings, 1, cfg.get(), err), 0) << err.msg;
    kojelly_transport transport;
    ASSERT_EQ(kojelly_transport_get(kojelly_io_fake(), &transport, err), 0) << err.msg;

    // The login: its answer, which holds the token, is freed before the session opens.
    torture::watch_text(torture::kToken);
    kojelly_sess sess{};
    ASSERT_EQ(kojelly_sess_open(&sess, &transport.http, cfg.get(), err), 0) << err.msg;
    torture::watch_text("");
    ASSERT_STREQ(sess.token, torture::kToken);
    EXPECT_EQ(torture::text_found(), 0u) << "a block freed during the login held the token";

    torture::watch_free(sess.token, std::strlen(sess.token));
    kojelly_sess_close(&sess);
    EXPECT_EQ(torture::watched(), torture::Freed::kWiped) << "the session's token";

    // The cache still holds the login; forgetting it frees only its entry.
    torture::watch_text(torture::kToken);
    kojelly_forget_tokens();
    const uint64_t found = torture::text_found();
    torture::watch_text("");
    EXPECT_EQ(found, 0u) << "the token cache freed an unwiped token";
    torture::settle();
}

}  // namespace
