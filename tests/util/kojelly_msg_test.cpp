// The failure record: the code and the message recorded together, the message cut on a whole
// character, and a failure passed on from one record to another.
#include "util/kojelly_msg.hpp"

#include <gtest/gtest.h>

#include <string>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"

namespace {

TEST(ErrorRecord, FailRecordsCodeAndMessageAndReturnsTheCode) {
    kojelly::Error err;
    EXPECT_EQ(KOJELLY_ENOTFOUND, err.fail(KOJELLY_ENOTFOUND, "folder %s does not exist", "7"));
    EXPECT_EQ(KOJELLY_ENOTFOUND, err.code);
    EXPECT_STREQ("folder 7 does not exist", err.msg);

    EXPECT_EQ(KOJELLY_EFAIL, err.out_of_memory());
    EXPECT_EQ(KOJELLY_EFAIL, err.code);
    EXPECT_STREQ("out of memory", err.msg);

    kojelly::Error other;
    EXPECT_EQ(KOJELLY_EFAIL, other.take(err));
    EXPECT_STREQ("out of memory", other.msg);
    EXPECT_EQ(KOJELLY_EFAIL, other.take(other));
}

TEST(ErrorRecord, LongMessageIsCutOnAWholeCharacter) {
    // Three-byte characters from the first byte on: the record's size is not a multiple of
    // three, so a plain cut would split the last one.
    std::string text;
    while (text.size() < 2 * kojelly::kMsgSize) text += "\xE2\x88\x95";
    kojelly::Error err;
    err.fail(KOJELLY_EFAIL, "%s", text.c_str());
    const std::string got = err.msg;
    EXPECT_LT(got.size(), kojelly::kMsgSize);
    EXPECT_GT(got.size(), kojelly::kMsgSize - 4);
    EXPECT_EQ(got.size() % 3, 0u);
    EXPECT_EQ(1, kojelly_utf8_ok(got.data(), got.size()));
    EXPECT_EQ(text.substr(0, got.size()), got);
}

}  // namespace
