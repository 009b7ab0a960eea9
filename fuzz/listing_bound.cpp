// The listing's size limit: the first two bytes give a limit, the rest is an /Items page. The
// entries never pass the limit; they stop with the limit's message exactly when the page's
// entries would not fit, and otherwise are the very entries written without a limit.
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz_check.hpp"
#include "kojelly.h"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const uint64_t limit = uint64_t{data[0]} << 8 | data[1];
    const char *body = reinterpret_cast<const char *>(data + 2);
    const size_t body_len = size - 2;

    kojelly::OwnedItems all_ids;
    kojelly::OwnedBuf all;
    kojelly::Error err;
    const int full =
        kojelly_page_entries(body, body_len, all_ids.get(), all.get(), nullptr, nullptr, err);

    kojelly::OwnedItems ids;
    kojelly::OwnedBuf entries;
    const int rc =
        kojelly::page_entries_within(body, body_len, ids.get(), entries.get(), limit, err);
    fuzz::check(entries->len <= limit, "the entries stay within the limit");
    if (full != 0) {
        fuzz::check(rc == -5, "a page refused without a limit is refused with one");
        return 0;
    }
    if (all->len <= limit) {
        fuzz::check(rc == 0, "entries that fit are written");
        fuzz::check(std::string(entries.c_str()) == all.c_str(),
                    "the same entries as without a limit");
    } else {
        fuzz::check(rc == -5 && std::strcmp(err.msg, "listing is larger than 256 MiB") == 0,
                    "entries that do not fit end with the limit's message");
    }
    return 0;
}
