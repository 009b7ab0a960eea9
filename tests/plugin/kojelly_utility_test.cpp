#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "kojelly.h"
#include "plugin/kojelly_export.hpp"
#include "support/alloc_fail.hpp"

namespace {

constexpr char kThreeItems[] =
    R"({"Items":[{"Id":"1","Name":"A"},{"Id":"2","Name":"B","IsFolder":true},{"Id":"3"}],"TotalRecordCount":3})";

TEST(Utility, FullUrlNeedsNoCredentialsAndSharesTheScratchSlot) {
    const char *url = kojelly_full_url(R"({"HostName":"srv","ServerPort":"9000"})");
    ASSERT_NE(url, nullptr);
    EXPECT_STREQ(url, "http://srv:9000");
    EXPECT_STREQ(kojelly_result_json(), "http://srv:9000");
    EXPECT_STREQ(kojelly_last_error(), "");

    EXPECT_EQ(kojelly_full_url(R"({"FullUrl":"ftp://srv"})"), nullptr);
    EXPECT_STREQ(kojelly_last_error(), "FullUrl scheme is not http or https");
    EXPECT_STREQ(kojelly_result_json(), "");

    // Both exports hand out the same per-thread slot: the later call replaces the text.
    const char *first = kojelly_full_url(R"({"FullUrl":"https://a.example/"})");
    ASSERT_NE(first, nullptr);
    EXPECT_STREQ(first, "https://a.example");
    const char *second = kojelly_redact("http://u:p@b.example/?api_key=k");
    EXPECT_STREQ(second, "http://b.example/?api_key=***");
}

TEST(Utility, RedactHandlesNullAndLackOfMemory) {
    EXPECT_STREQ(kojelly_redact(nullptr), "");
    const char *kept = kojelly_redact("keep me");
    ASSERT_STREQ(kept, "keep me");
    {
        alloc_fail::Countdown fail(1);
        EXPECT_STREQ(kojelly_redact("other"), "");
    }
    EXPECT_STREQ(kept, "keep me");  // the slot was left as it was
}

TEST(Utility, DeviceIdIsAHeapCopy) {
    char *configured = kojelly_device_id(R"({"FullUrl":"http://srv","DeviceId":"my dev"})");
    ASSERT_NE(configured, nullptr);
    EXPECT_STREQ(configured, "my dev");
    std::free(configured);

    char *a = kojelly_device_id(R"({"FullUrl":"http://srv"})");
    char *b = kojelly_device_id(R"({"FullUrl":"http://other"})");
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_STREQ(a, b);
    EXPECT_EQ(std::strncmp(a, "kojelly-", 8), 0);
    EXPECT_EQ(std::strlen(a), 16u);
    std::free(a);
    std::free(b);

    EXPECT_EQ(kojelly_device_id("not json"), nullptr);
    EXPECT_STREQ(kojelly_last_error(), "settings are not a JSON object");
}

TEST(Utility, ParseItemsWritesTheListing) {
    EXPECT_EQ(kojelly_parse_items(nullptr, nullptr, 0), -5);
    EXPECT_STREQ(kojelly_last_error(), "body is NULL");

    EXPECT_EQ(kojelly_parse_items("[]", nullptr, 0), -5);
    EXPECT_STREQ(kojelly_last_error(), "/Items answered something that is not a JSON object");
    EXPECT_STREQ(kojelly_result_json(), "");

    ASSERT_EQ(kojelly_parse_items(kThreeItems, nullptr, 0), 0);
    const std::string listing = kojelly_result_json();
    EXPECT_EQ(listing.rfind(R"({"items":[{"name":"A","path":"1")", 0), 0u) << listing;
    EXPECT_NE(listing.find(R"("name":"3","path":"3")"), std::string::npos);
    EXPECT_STREQ(kojelly_last_error(), "");

    std::string out(listing.size() + 1, 'z');
    EXPECT_EQ(kojelly_parse_items(kThreeItems, out.data(), int32_t(out.size())), 0);
    EXPECT_STREQ(out.c_str(), listing.c_str());
    EXPECT_EQ(kojelly_parse_items(kThreeItems, out.data(), int32_t(listing.size())), -9);
    EXPECT_STREQ(out.c_str(), "");
    EXPECT_STREQ(kojelly_last_error(), "output buffer too small");
    EXPECT_EQ(kojelly_result_json(), listing);
}

TEST(Utility, ParseItemsUnderAllocationFailure) {
    alloc_fail::sweep([] {
        const int32_t rc = kojelly_parse_items(kThreeItems, nullptr, 0);
        if (rc != 0) {
            EXPECT_EQ(rc, -5);
            // The slot copies themselves may have failed; then they read "".
            const std::string error = kojelly_last_error();
            EXPECT_TRUE(error == "out of memory" || error.empty()) << error;
        }
    });
}

TEST(Utility, FakeControlsAnswerPerThread) {
    kojelly_fake_reset();
    EXPECT_EQ(kojelly_fake_set("GET", "http://srv/x", 99, "b"), -8);
    EXPECT_EQ(kojelly_fake_set("GET", "http://srv/x", 200, "b"), 0);
    EXPECT_EQ(kojelly_fake_fail("GET", "http://srv/y", "down"), 0);
    EXPECT_EQ(kojelly_fake_calls(nullptr, nullptr), 0);
    EXPECT_STREQ(kojelly_fake_last_url(), "");
    EXPECT_STREQ(kojelly_fake_last_headers(), "");
    EXPECT_STREQ(kojelly_fake_last_body("http://srv/x"), "");
    kojelly_fake_reset();
}

}  // namespace
