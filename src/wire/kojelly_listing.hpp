// The listing JSON handed to the host for a folder: one object holding an array of entries, one
// per item record, in list order, written by hand into a text buffer without any whitespace.
// Each entry names its item as both "path" and "id", which is what a stream request later reads
// the item id back from.
#pragma once

#include <cstdint>

#include "util/kojelly_buf.hpp"
#include "wire/kojelly_items.hpp"

// Appends one entry, all sixteen members in their fixed order. 0, or -1 when the buffer cannot
// grow (the partial text stays; callers discard it).
[[nodiscard]] int kojelly_item_json(kojelly_buf *b, const kojelly_item *item);
// Appends {"items":[...]} for the whole list. 0, or -1 when the buffer cannot grow.
[[nodiscard]] int kojelly_items_json(kojelly_buf *b, const kojelly_items *list);

namespace kojelly {

// The text around the entries of a listing, for writers that append the entries themselves
// (kojelly_page_entries).
inline constexpr char kListingOpen[] = "{\"items\":[";
inline constexpr char kListingClose[] = "]}";

// The largest listing answer, 256 MiB. A realistic folder of 100000 items lists in about 37 MB,
// but escaping lets a hostile server multiply what it sends: a control byte in a name becomes
// six bytes. The entries of a listing stop short of the limit by room for its closing text.
inline constexpr uint64_t kMaxListing = uint64_t{256} << 20;
inline constexpr uint64_t kMaxEntries = kMaxListing - (sizeof kListingClose - 1);
inline constexpr char kListingTooLarge[] = "listing is larger than 256 MiB";

// As kojelly_item_json, but nothing takes the content of b past limit bytes: 0, -1 when the
// buffer cannot grow, kOverLimit when the entry would pass the limit (a partial text stays).
[[nodiscard]] int item_json(kojelly_buf *b, const kojelly_item *item, uint64_t limit);

}  // namespace kojelly
