// The listing JSON handed to the host for a folder: one object holding an array of entries, one
// per item record, in list order, written by hand into a text buffer without any whitespace.
// Each entry names its item as both "path" and "id", which is what a stream request later reads
// the item id back from.
#pragma once

#include <cstdint>
#include <string_view>

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
// buffer cannot grow, kOverLimit when the entry would pass the limit. On failure nothing of the
// entry was appended.
[[nodiscard]] int item_json(kojelly_buf *b, const kojelly_item *item, uint64_t limit);

// What an entry is written from, as item_json writes a record: each text with its length, a view
// without data standing for a NULL text. Texts are written as they stand (they hold no NUL);
// name must already be the cleaned display name.
struct EntryTexts {
    std::string_view name, id, parent_id, title, type, media_type, container, imdb, tmdb;
    int32_t folder;
    int32_t year;
    int64_t size;
};

// As item_json, from texts that need not be held by a record, after a "," when comma is set.
[[nodiscard]] int entry_json(kojelly_buf *b, const EntryTexts &e, bool comma, uint64_t limit);

}  // namespace kojelly
