#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include "kojelly.h"
#include "kojelly_version.hpp"
#include "plugin/kojelly_export.hpp"
#include "support/alloc_fail.hpp"

namespace {

TEST(Frame, HandlerTableAndIdentity) {
    const kojelly_handler_table *t = korch_get();
    ASSERT_NE(t, nullptr);
    EXPECT_STREQ(t->runtime_type, "JELLYFIN");
    EXPECT_EQ(t->caps, 51);
    EXPECT_EQ(kojelly_caps(), 51);
    EXPECT_STREQ(kojelly_version(), KOJELLY_VERSION_STRING);
    EXPECT_STREQ(kojelly_runtime_type(), "JELLYFIN");
    EXPECT_EQ(t->reserved[0], nullptr);
    EXPECT_EQ(t->reserved[1], nullptr);
    EXPECT_EQ(korch_get(), t);
}

TEST(Frame, SlotsReadEmptyOnAFreshThread) {
    std::string result = "unset", error = "unset";
    std::thread([&] {
        const char *r = kojelly_result_json();
        const char *e = kojelly_last_error();
        result = r ? r : "NULL";
        error = e ? e : "NULL";
    }).join();
    EXPECT_EQ(result, "");
    EXPECT_EQ(error, "");
}

TEST(Frame, PublishFillsBothSlots) {
    struct Case {
        int32_t code;
        const char *error, *result;
        const char *want_error, *want_result;
    } cases[] = {
        {-5, "broken", nullptr, "broken", ""},
        {-5, nullptr, "r", "", "r"},
        {0, "ignored on success", "{}", "", "{}"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.want_error);
        kojelly_publish(c.code, c.error, c.result);
        EXPECT_STREQ(kojelly_last_error(), c.want_error);
        EXPECT_STREQ(kojelly_result_json(), c.want_result);
    }
}

TEST(Frame, SlotsArePerThread) {
    kojelly_publish(-4, "main thread", "main");
    std::string other_error;
    std::thread([&] {
        kojelly_publish(-2, "other thread", "other");
        other_error = kojelly_last_error();
    }).join();
    EXPECT_EQ(other_error, "other thread");
    EXPECT_STREQ(kojelly_last_error(), "main thread");
    EXPECT_STREQ(kojelly_result_json(), "main");
}

TEST(Frame, ACopyThatCannotBeMadeLeavesTheSlotEmpty) {
    kojelly_publish(-5, "before", "before");
    {
        alloc_fail::Countdown fail(1, true);
        kojelly_publish(-5, "lost", "lost");
    }
    EXPECT_STREQ(kojelly_last_error(), "");
    EXPECT_STREQ(kojelly_result_json(), "");
}

TEST(Frame, DownloadIsRefusedWithTheFixedAnswer) {
    struct Case {
        int32_t len;
        const char *want;
    } cases[] = {
        {39, R"({"error":"JELLYFIN does not download"})"},
        {200, R"({"error":"JELLYFIN does not download"})"},
        {38, ""},
        {1, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.len);
        char out[256];
        std::memset(out, 'z', sizeof out);
        EXPECT_EQ(korch_get()->download(nullptr, nullptr, nullptr, out, c.len), -6);
        EXPECT_STREQ(out, c.want);
        EXPECT_STREQ(kojelly_last_error(), "JELLYFIN does not download");
        EXPECT_STREQ(kojelly_result_json(), "");
    }
    char untouched = 'z';
    EXPECT_EQ(korch_get()->download(nullptr, nullptr, nullptr, &untouched, 0), -6);
    EXPECT_EQ(untouched, 'z');
}

TEST(Frame, WritesAreRefused) {
    EXPECT_EQ(kojelly_allow_writes(1), -6);
    EXPECT_STREQ(kojelly_last_error(), "JELLYFIN has no write ops");
    EXPECT_STREQ(kojelly_result_json(), "");
    kojelly_publish(-5, "x", "y");
    EXPECT_EQ(kojelly_allow_writes(0), 0);
    EXPECT_STREQ(kojelly_last_error(), "");
    EXPECT_STREQ(kojelly_result_json(), "");
}

}  // namespace
