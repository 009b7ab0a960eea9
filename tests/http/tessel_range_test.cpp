// The byte ranges a file server answers: the strict reading (as the tool's demo server asks for
// it) and the loose one (as the fake server asks for it), under the rules each of them uses.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "tessel_http.h"

namespace {

// The demo server's rules: HTTP's reading, several ranges and a suffix of no bytes answered
// with the whole file, an end past the file cut.
constexpr uint32_t kMedia = 0;
// The fake server's (range_mode 1), and with an end past the file refused (range_mode 2).
constexpr uint32_t kFake =
    TESSEL_RANGE_LOOSE | TESSEL_RANGE_FIRST_ONLY | TESSEL_RANGE_EMPTY_REFUSED;
constexpr uint32_t kFakeStrict = kFake | TESSEL_RANGE_END_INSIDE;

struct Case {
    const char *value;  // NULL: no Range header
    uint64_t size;
    uint32_t rules;
    int32_t status;
    uint64_t first, count;
};

const Case kCases[] = {
    // No range, or another unit: the whole file.
    {nullptr, 1000, kMedia, 200, 0, 1000},
    {nullptr, 1000, kFake, 200, 0, 1000},
    {"items=0-5", 1000, kFake, 200, 0, 1000},
    {"Bytes=0-5", 1000, kMedia, 200, 0, 1000},
    {nullptr, 0, kFake, 200, 0, 0},

    // Closed and open ranges read alike either way.
    {"bytes=0-99", 1000, kMedia, 206, 0, 100},
    {"bytes=0-99", 1000, kFake, 206, 0, 100},
    {"bytes=999-999", 1000, kMedia, 206, 999, 1},
    {"bytes=10-", 1000, kMedia, 206, 10, 990},
    {"bytes=10-", 1000, kFake, 206, 10, 990},
    {"bytes= 5-9 ", 1000, kMedia, 206, 5, 5},
    {"bytes= 5-9", 1000, kFake, 206, 5, 5},

    // An end past the file is cut, or refused by the strict end rule.
    {"bytes=900-2000", 1000, kMedia, 206, 900, 100},
    {"bytes=900-2000", 1000, kFake, 206, 900, 100},
    {"bytes=900-2000", 1000, kFakeStrict, 416, 0, 0},
    {"bytes=900-999", 1000, kFakeStrict, 206, 900, 100},
    {"bytes=0-99999999999999999999", 1000, kMedia, 206, 0, 1000},
    {"bytes=0-99999999999999999999", 1000, kFakeStrict, 416, 0, 0},

    // A start at or past the end is unsatisfiable; so is every range of an empty file.
    {"bytes=1000-", 1000, kMedia, 416, 0, 0},
    {"bytes=1000-", 1000, kFake, 416, 0, 0},
    {"bytes=5000-6000", 1000, kMedia, 416, 0, 0},
    {"bytes=99999999999999999999-", 1000, kMedia, 416, 0, 0},
    {"bytes=99999999999999999999-", 1000, kFake, 416, 0, 0},
    {"bytes=0-", 0, kMedia, 416, 0, 0},
    {"bytes=0-", 0, kFake, 416, 0, 0},
    {"bytes=-10", 0, kMedia, 416, 0, 0},
    {"bytes=-10", 0, kFake, 416, 0, 0},

    // A range that ends before it starts is ignored, even when it starts past the file.
    {"bytes=500-100", 1000, kMedia, 200, 0, 1000},
    {"bytes=500-100", 1000, kFake, 200, 0, 1000},
    {"bytes=2000-100", 1000, kFake, 200, 0, 1000},
    {"bytes=5--3", 1000, kFake, 200, 0, 1000},

    // Suffixes: the last N bytes, at most the whole file; a suffix of no bytes by the rule.
    {"bytes=-100", 1000, kMedia, 206, 900, 100},
    {"bytes=-100", 1000, kFake, 206, 900, 100},
    {"bytes=-100", 1000, kFakeStrict, 206, 900, 100},
    {"bytes=-5000", 1000, kMedia, 206, 0, 1000},
    {"bytes=-99999999999999999999", 1000, kFake, 206, 0, 1000},
    {"bytes=-0", 1000, kMedia, 200, 0, 1000},
    {"bytes=-0", 1000, kFake, 416, 0, 0},
    {"bytes=-0", 0, kMedia, 200, 0, 0},
    {"bytes=-0", 0, kFake, 416, 0, 0},

    // Several ranges: the whole file, or the first one alone.
    {"bytes=0-1,5-6", 1000, kMedia, 200, 0, 1000},
    {"bytes=0-1, 5-6", 1000, kMedia, 200, 0, 1000},
    {"bytes=0-1,5-6", 1000, kFake, 206, 0, 2},
    {"bytes=-10,0-1", 1000, kFake, 206, 990, 10},
    {"bytes=5-,0-1", 1000, TESSEL_RANGE_FIRST_ONLY, 206, 5, 995},
    {"bytes=0-1,x", 1000, TESSEL_RANGE_FIRST_ONLY, 200, 0, 1000},

    // Malformed: the strict reading ignores the value, the loose one reads what it can.
    {"bytes=5", 1000, kMedia, 200, 0, 1000},
    {"bytes=5", 1000, kFake, 206, 5, 995},
    {"bytes=-", 1000, kMedia, 200, 0, 1000},
    {"bytes=-", 1000, kFake, 206, 0, 1000},
    {"bytes=", 1000, kMedia, 200, 0, 1000},
    {"bytes=", 1000, kFake, 206, 0, 1000},
    {"bytes=abc", 1000, kMedia, 200, 0, 1000},
    {"bytes=abc", 1000, kFake, 206, 0, 1000},
    {"bytes=5-9x", 1000, kMedia, 200, 0, 1000},
    {"bytes=5-9x", 1000, kFake, 206, 5, 5},
    {"bytes=+5-9", 1000, kMedia, 200, 0, 1000},
    {"bytes=+5-9", 1000, kFake, 206, 5, 5},
    {"bytes=0-1,x", 1000, kMedia, 200, 0, 1000},
    {"bytes=0-1,x", 1000, kFake, 206, 0, 2},
    {"bytes=0-1,", 1000, kMedia, 200, 0, 1000},
};

TEST(RangeSlice, AnswersEachServerAsItAnswersToday) {
    for (const Case &c : kCases) {
        SCOPED_TRACE(std::string(c.value != nullptr ? c.value : "(no Range)") + " / size " +
                     std::to_string(c.size) + " / rules " + std::to_string(c.rules));
        uint64_t first = 77, count = 77;
        EXPECT_EQ(tessel_range_slice(c.value, c.size, c.rules, &first, &count), c.status);
        EXPECT_EQ(first, c.first);
        EXPECT_EQ(count, c.count);
        EXPECT_EQ(tessel_range_slice(c.value, c.size, c.rules, nullptr, nullptr), c.status);
    }
}

}  // namespace
