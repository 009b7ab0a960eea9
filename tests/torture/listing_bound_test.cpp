// The listing's size limit under allocation failure: a page that the limit cuts short ends in
// the limit's message or in "out of memory", whichever comes first, and leaks nothing.
#include <gtest/gtest.h>

#include <string>

#include "kojelly.h"
#include "support/alloc_fail.hpp"
#include "torture/torture.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"

namespace {

TEST(ListingBound, AmplifiedPageUnderAllocationFailure) {
    std::string page = R"({"Items":[)";
    for (int i = 0; i < 8; ++i) {
        page += std::string(i ? "," : "") + R"({"Id":")" + std::to_string(100 + i) +
                R"(","Name":")" + std::string(500, '\x7f') + R"("})";
    }
    page += "]}";
    constexpr uint64_t kLimit = 10000;  // the page would list as about 24000 bytes
    for (bool all_after : {false, true}) {
        SCOPED_TRACE(all_after ? "every allocation from the k-th on fails"
                               : "the k-th allocation fails");
        uint64_t bounded = 0;
        const uint64_t n = alloc_fail::sweep(
            [&] {
                const int64_t before = torture::live_blocks();
                {
                    kojelly::OwnedItems ids;
                    kojelly::OwnedBuf entries;
                    kojelly::Error err;
                    EXPECT_EQ(kojelly::page_entries_within(page.data(), page.size(), ids.get(),
                                                           entries.get(), kLimit, err),
                              KOJELLY_EFAIL);
                    const std::string m = err.msg;
                    EXPECT_TRUE(m == "listing is larger than 256 MiB" || m == "out of memory") << m;
                    bounded += m != "out of memory";
                    EXPECT_LE(entries->len, kLimit);
                }
                EXPECT_EQ(torture::live_blocks(), before) << "a block leaked";
            },
            all_after);
        EXPECT_GT(n, 3u);
        EXPECT_GT(bounded, 0u);
    }
}

}  // namespace
