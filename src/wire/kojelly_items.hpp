// Library entries: the item record filled from a server item object, and the growable item list
// that collects the pages of one listing with an id set, so that an id already held is dropped
// across pages too and the list never grows past its item limit. It reads the two item answers,
// an /Items page and a single item. Records and lists own every text they hold (malloc'd). A
// folder listing takes its pages through kojelly_page_entries, which writes each item's listing
// entry straight from the parsed page and keeps only ids in the list, and keeps the memory that
// one page leaves behind for the next in a PageScratch.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "util/kojelly_buf.hpp"
#include "util/kojelly_json.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_id_set.hpp"

struct kojelly_items;

namespace kojelly {

// What one listing keeps from page to page, made once per listing and handed to every
// kojelly_page_entries call. Without it a listing of 200 pages takes and gives back a page's
// document and a doubling answer 200 times, and the kernel clears every fresh page of that
// memory again. Used by one listing at a time, on one thread.
struct PageScratch {
    // The memory of each page's document, as much as the longest page so far needs.
    JsonArena arena;
    // The list and the entries were sized from a page's TotalRecordCount.
    bool sized = false;
    // Tags over the list's id set.
    SetTags tags;
};

}  // namespace kojelly

// One library entry. Strings are owned heap texts. The all-zero record is the empty record.
struct kojelly_item {
    char *id;     // "Id" (an integer as decimal text); passes kojelly_id_ok; never NULL once filled
    char *name;   // the cleaned display name (title, or the id); never NULL once filled
    char *title;  // "Name" as sent, or NULL
    char *parent_id;   // "ParentId", or NULL; not validated
    char *type;        // "Type", or NULL
    char *media_type;  // "MediaType", or NULL
    char *container;   // "Container" of the item, or NULL
    char *imdb;        // "ProviderIds" imdb id, or NULL
    char *tmdb;        // "ProviderIds" tmdb id, or NULL
    int32_t folder;    // 0 or 1
    int32_t year;      // 1800..9999, or 0
    int64_t size;      // bytes, -1 when not given
};

// A list of records in order of arrival, with an id set over them (wire/kojelly_id_set.hpp says
// how the set is laid out). The all-zero list is empty. Lists filled by kojelly_parse_items_page
// keep the set at most half full, which is what makes every probe end at an empty slot.
struct kojelly_items {
    kojelly_item *items;
    uint64_t count;
    uint64_t cap;
    uint64_t *set;
    uint64_t set_cap;  // 0, or 128 times a power of two
};

// Appends the new items of one /Items page to list. pages (optional) counts every object element
// of "Items"; total (optional) is "TotalRecordCount" or -1. 0, or -5 with err recorded;
// records appended before a failure stay in the list.
[[nodiscard]] int32_t kojelly_parse_items_page(const char *body, uint64_t body_len,
                                               kojelly_items *list, uint64_t *pages, int64_t *total,
                                               kojelly::Error &err);
// As kojelly_parse_items_page, but each new item is written straight into entries as its listing
// entry (kojelly_item_json, after a "," unless the list was empty) and the list keeps a record
// holding only the item's id and folder flag, which is all its id set needs: a folder's listing
// is written without holding a full record per item. Entries that would take the buffer past
// 256 MiB end the page with -5 "listing is larger than 256 MiB", before the buffer grows past
// it. On failure entries holds a partial text. With a scratch, the page is read into its arena,
// and the first page that reports a TotalRecordCount sizes the list, its id set and entries for
// that many items (at most the item limit, the entries at most the listing limit, from the
// bytes per entry of that page); a size that cannot be had is left to ordinary growth.
[[nodiscard]] int32_t kojelly_page_entries(const char *body, uint64_t body_len, kojelly_items *list,
                                           kojelly_buf *entries, uint64_t *pages, int64_t *total,
                                           kojelly::Error &err,
                                           kojelly::PageScratch *scratch = nullptr);
namespace kojelly {
// As kojelly_page_entries with the entries bounded at limit bytes instead of the listing's
// limit; past it -5 with "listing is larger than 256 MiB".
[[nodiscard]] int32_t page_entries_within(const char *body, uint64_t body_len, kojelly_items *list,
                                          kojelly_buf *entries, uint64_t limit, Error &err);
}  // namespace kojelly
// One item answer into *out (zeroed first). 0, or -5 with the record zeroed and err recorded.
[[nodiscard]] int32_t kojelly_parse_item(const char *body, uint64_t body_len, kojelly_item *out,
                                         kojelly::Error &err);
// Room for count + more records; count and the id set stay as they are. 0, or -1 with the list
// unchanged when memory runs out.
[[nodiscard]] int kojelly_acc_grow(kojelly_items *list, uint64_t more);
// Frees every record, the array and the set and zeroes the list; it may be used again.
void kojelly_items_free(kojelly_items *list);
// Frees the record's texts and zeroes it; harmless on a zeroed or freed record.
void kojelly_item_free(kojelly_item *item);

namespace kojelly {

// The most records a list may hold.
constexpr uint64_t kMaxItems = 100000;

// The yyjson versions (YYJSON_VERSION_HEX, from the first up to the end) whose value layout the
// walk over an item's members reads directly; the library is built against no other.
inline constexpr uint32_t kYyjsonLayoutFirst = 0x000A00;
inline constexpr uint32_t kYyjsonLayoutEnd = 0x000B00;

// Fills *out from an item object (zeroed first). 0, or -1 with the record zeroed when the object
// has no id or memory runs out.
[[nodiscard]] int fill_item(yyjson_val *obj, kojelly_item *out);
// An owned copy of the first non-empty string among the members of obj's "ProviderIds" whose key
// folds (ASCII) to the lower-case name; NULL when there is none or memory runs out.
char *provider(yyjson_val *obj, const char *name);

// A list owned by one scope.
using OwnedItems = Owned<kojelly_items, kojelly_items_free>;
// A record owned by one scope, unless its texts were handed over with release().
using OwnedItem = Owned<kojelly_item, kojelly_item_free>;

}  // namespace kojelly
