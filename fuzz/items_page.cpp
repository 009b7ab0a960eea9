// /Items pages: any body the server may send for a folder page. A parse either fails with -5 and
// a message, or fills a list of well-formed records with distinct ids whose listing JSON is
// valid; the same page given to the same list again adds nothing; and the kojelly_parse_items
// export yields exactly that listing.
#include <cstdint>
#include <string>

#include "fuzz_check.hpp"
#include "kojelly.h"
#include "listing_check.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const char *body = reinterpret_cast<const char *>(data);
    kojelly::OwnedItems list;
    uint64_t counted = 0;
    int64_t total = 0;
    kojelly::Error err;
    const int rc = kojelly_parse_items_page(body, size, list.get(), &counted, &total, err);
    if (rc != 0) {
        fuzz::check(rc == -5 && err.msg[0] != '\0', "a refused page gives -5 and a message");
        return 0;
    }
    fuzz::check(counted >= list->count, "every record was counted");
    fuzz::check_list(*list.get());
    const std::string listing = fuzz::listing_of(*list.get());
    fuzz::check_listing(listing, *list.get());

    const uint64_t held = list->count;
    fuzz::check(kojelly_parse_items_page(body, size, list.get(), nullptr, nullptr, err) == 0,
                "a page parses again");
    fuzz::check(list->count == held, "a page given twice adds nothing");

    const std::string text = fuzz::text_of(data, size);
    if (text.size() == size) {
        fuzz::check(kojelly_parse_items(text.c_str(), nullptr, 0) == 0, "the export agrees");
        fuzz::check(listing == kojelly_result_json(), "the export writes the same listing");
    }
    return 0;
}
