// Content-Range values: a parse either fails with every out-value -1, or gives values that are
// -1 or more, an end that is not before its start, and a start not beyond the total; values
// written back in the canonical form parse to the same values.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "fuzz_check.hpp"
#include "tessel_http.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text = fuzz::text_of(data, size);
    int64_t start = 0, end = 0, total = 0;
    if (tessel_content_range(text.c_str(), &start, &end, &total) != 0) {
        fuzz::check(start == -1 && end == -1 && total == -1, "a failed parse gives -1 thrice");
        return 0;
    }
    fuzz::check(start >= -1 && end >= -1 && total >= -1, "values of -1 or more");
    if (end >= 0) fuzz::check(start >= 0 && end >= start, "an end needs a start before it");
    if (start >= 0 && end >= 0 && total >= 0) fuzz::check(start <= total, "a start in the total");

    // The canonical form of what was read.
    char again[128];
    std::string range = start < 0 ? "*"
                                  : std::to_string(start) + "-" +
                                        (end < 0 ? std::string("*") : std::to_string(end));
    std::snprintf(again, sizeof again, "bytes %s/%s", range.c_str(),
                  total < 0 ? "*" : std::to_string(total).c_str());
    int64_t s2 = 0, e2 = 0, t2 = 0;
    fuzz::check(tessel_content_range(again, &s2, &e2, &t2) == 0, "the canonical form parses");
    fuzz::check(s2 == start && e2 == end && t2 == total, "to the same values");
    return 0;
}
