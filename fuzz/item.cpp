// Single item answers: a parse either fails with -5, a message and a zeroed record, or gives one
// well-formed record whose listing entry is valid JSON.
#include <cstdint>

#include "fuzz_check.hpp"
#include "listing_check.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    kojelly_item item{};
    kojelly::Error err;
    const int rc = kojelly_parse_item(reinterpret_cast<const char *>(data), size, &item, err);
    if (rc != 0) {
        fuzz::check(rc == -5 && err.msg[0] != '\0', "a refused item gives -5 and a message");
        fuzz::check(!item.id && !item.name && !item.title && !item.parent_id && !item.type &&
                        !item.media_type && !item.container && !item.imdb && !item.tmdb,
                    "a refused item leaves an empty record");
        return 0;
    }
    fuzz::check_item(item);
    kojelly::OwnedItems list;
    fuzz::check(kojelly_acc_grow(list.get(), 1) == 0, "room for one record");
    list->items[list->count++] = item;
    fuzz::check_listing(fuzz::listing_of(*list.get()), *list.get());
    return 0;
}
