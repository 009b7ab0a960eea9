// The listing JSON handed to the host for a folder: one object holding an array of entries, one
// per item record, in list order, written by hand into a text buffer without any whitespace.
// Each entry names its item as both "path" and "id", which is what a stream request later reads
// the item id back from.
#pragma once

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

}  // namespace kojelly
