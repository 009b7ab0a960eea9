// Secrets are overwritten before their memory goes back to the allocator, so that a later
// allocation, a core dump or a heap inspection does not find them.
#include <gtest/gtest.h>

#include <cstring>

#include "torture/torture.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_cfg.hpp"

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
        char msg[256] = {};
        ASSERT_EQ(kojelly_cfg_parse(settings, 1, &cfg, msg, sizeof msg), 0) << msg;
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

}  // namespace
