// Item records, the item list, and the /Items and single-item answers. An item object is read
// in one walk over its members (gather) into borrowed texts (Borrowed), from which a record is
// copied (fill) or a listing entry written. A page is taken in three steps: open_page reads the
// answer and finds its items, walk_items hands each item that the list does not hold yet to a
// sink, and the sink appends it: RecordSink as a full record, EntrySink as a listing entry with
// a record that keeps only the id.
#include "wire/kojelly_items.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http/tessel_http_util.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_id_set.hpp"
#include "wire/kojelly_listing.hpp"
#include "wire/kojelly_wire.hpp"

static_assert(sizeof(kojelly_item) == 88);
static_assert(offsetof(kojelly_item, folder) == 72);
static_assert(offsetof(kojelly_item, year) == 76);
static_assert(offsetof(kojelly_item, size) == 80);
static_assert(sizeof(kojelly_items) == 40);

namespace {

constexpr uint64_t kFirstRecords = 64;
constexpr uint64_t kMaxRecords = SIZE_MAX / sizeof(kojelly_item);
constexpr int64_t kMinYear = 1800;
constexpr int64_t kMaxYear = 9999;
// Entries written before their length sizes the rest of the page's (or listing's) entries.
constexpr uint64_t kSampleEntries = 16;
constexpr uint64_t kEntriesSpareDivisor = 8;

constexpr const char kPageNotObject[] = "/Items answered something that is not a JSON object";
constexpr const char kPageNoItems[] = "/Items answer has no Items array";
constexpr const char kTooMany[] = "folder has more than %u items";
constexpr const char kItemNotObject[] = "item answer is not a JSON object";
constexpr const char kItemNoId[] = "item answer has no valid Id";

// ---- Reading an item object ------------------------------------------------------------------

// The members a record is made of, each the first member with its key; gather fills them all.
struct Members {
    yyjson_val *id;
    yyjson_val *name;
    yyjson_val *is_folder;
    yyjson_val *parent_id;
    yyjson_val *type;
    yyjson_val *media_type;
    yyjson_val *container;
    yyjson_val *size;
    yyjson_val *media_sources;
    yyjson_val *year;
    yyjson_val *provider_ids;
};

// Whether a key is the wanted one of the same length. The length is a constant, so the
// comparison is a few loads and compares rather than a call, however the compiler optimises.
template <size_t N>
bool is_key(const char *key, const char (&wanted)[N]) {
    return std::memcmp(key, wanted, N - 1) == 0;
}

// Where a member with this key goes, or NULL for a key that is not wanted. Keys are told apart by
// their length first, which most of an item's dozens of members fail.
yyjson_val **slot_of(Members &m, const char *k, size_t len) {
    switch (len) {
        case 2:
            return is_key(k, "Id") ? &m.id : nullptr;
        case 4:
            return is_key(k, "Name")   ? &m.name
                   : is_key(k, "Type") ? &m.type
                   : is_key(k, "Size") ? &m.size
                                       : nullptr;
        case 8:
            return is_key(k, "IsFolder")   ? &m.is_folder
                   : is_key(k, "ParentId") ? &m.parent_id
                                           : nullptr;
        case 9:
            return is_key(k, "MediaType")   ? &m.media_type
                   : is_key(k, "Container") ? &m.container
                                            : nullptr;
        case 11:
            return is_key(k, "ProviderIds") ? &m.provider_ids : nullptr;
        case 12:
            return is_key(k, "MediaSources") ? &m.media_sources : nullptr;
        case 14:
            return is_key(k, "ProductionYear") ? &m.year : nullptr;
        default:
            return nullptr;
    }
}

// The member walk below steps through yyjson's value layout directly: a key is followed by its
// value, a scalar takes one yyjson_val and a container's uni.ofs is the byte offset past it. The
// header publishes that layout without promising to keep it, so the walk is built only against
// the versions it was checked with (kojelly_items.hpp); for another version, check next_key
// against that version's unsafe_yyjson_get_next and widen the range.
static_assert(YYJSON_VERSION_HEX >= kojelly::kYyjsonLayoutFirst &&
                  YYJSON_VERSION_HEX < kojelly::kYyjsonLayoutEnd,
              "the member walk (next_key) was not checked against this yyjson version");

// The member after the one whose value is val. Written as a branch: yyjson's own step selects
// between the two offsets and so loads a container's offset for every value, which puts a load on
// the path from each member to the next. Most of an item's members are scalars, and in the items
// of one page they come in the same order, so the branch is well predicted. Stepping with
// yyjson's iterators instead made the export 0.02 to 0.04 slower against one read of the page
// (E1/P, bench/findings.md).
inline yyjson_val *next_key(yyjson_val *val) {
    if (unsafe_yyjson_is_ctn(val)) [[unlikely]] {
        return reinterpret_cast<yyjson_val *>(reinterpret_cast<uint8_t *>(val) + val->uni.ofs);
    }
    return val + 1;
}

// One walk over the object's members: a real item carries dozens of members, and a page holds
// hundreds of items, so looking each wanted key up separately would walk every item many times.
void gather(yyjson_val *obj, Members *m) {
    // Member by member: clearing the record as a whole becomes a string instruction with a slow
    // start, once for every item of every page.
    m->id = m->name = m->is_folder = m->parent_id = m->type = m->media_type = nullptr;
    m->container = m->size = m->media_sources = m->year = m->provider_ids = nullptr;
    if (!yyjson_is_obj(obj)) return;
    const size_t members = unsafe_yyjson_get_len(obj);
    yyjson_val *key = unsafe_yyjson_get_first(obj);
    for (size_t i = 0; i < members; ++i) {
        yyjson_val *val = key + 1;
        yyjson_val **slot = slot_of(*m, unsafe_yyjson_get_str(key), unsafe_yyjson_get_len(key));
        if (slot && !*slot) *slot = val;
        key = next_key(val);
    }
}

// ---- The texts of an item --------------------------------------------------------------------

bool folds_to(std::string_view key, std::string_view lower) {
    if (key.size() != lower.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        const auto folded = tessel::fold(static_cast<unsigned char>(key[i]));
        if (folded != static_cast<unsigned char>(lower[i])) return false;
    }
    return true;
}

int32_t folder_flag(yyjson_val *v) {
    if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? 1 : 0;
    if (yyjson_is_str(v)) return folds_to(kojelly::str_view(v), "true") ? 1 : 0;
    return 0;
}

// A text borrowed from the document (its strings end in a NUL), or from an id printed into
// scratch; a view without data stands for none.
using Text = std::string_view;

// The bytes of s before its first NUL. Tested eight bytes at a time, inline: an item has half a
// dozen short texts, and a call to memchr for each cost more than the search.
std::string_view up_to_nul(std::string_view s) {
    const auto *p = reinterpret_cast<const unsigned char *>(s.data());
    const size_t n = s.size();
    size_t i = 0;
    for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
        if (kojelly::text::any_below(kojelly::text::word_at(p + i), 1)) break;
    }
    for (; i < n; ++i) {
        if (p[i] == 0) return s.substr(0, i);
    }
    return s;
}

// The text of a string value up to its first NUL; none for anything else, and for a string that
// an embedded NUL cuts to nothing, which is as good as missing rather than a present but empty
// text.
Text text_of(yyjson_val *v) {
    const std::string_view cut = up_to_nul(kojelly::str_view(v));
    return cut.empty() ? Text() : cut;
}

// The text of an id value up to its first NUL: borrowed from the document, or an integer printed
// into scratch; none when the value does not count. A string that starts with a NUL is an empty
// text, not none.
Text id_text(yyjson_val *v, char (&scratch)[kojelly::kIdScratch]) {
    const std::string_view s = kojelly::id_view(v, scratch);
    return s.empty() ? Text() : up_to_nul(s);
}

// The first "ProviderIds" member matching name with a non-empty string value (a matching member
// of another type is passed over), as text_of reads it.
Text provider_text(yyjson_val *ids, std::string_view name) {
    if (!yyjson_is_obj(ids)) return Text();
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(ids, idx, max, key, val) {
        const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
        if (folds_to(k, name) && !kojelly::str_view(val).empty()) return text_of(val);
    }
    return Text();
}

// Both provider texts that the listing writes, in one walk over "ProviderIds": each as
// provider_text would find it.
void imdb_and_tmdb(yyjson_val *ids, Text *imdb, Text *tmdb) {
    *imdb = Text();
    *tmdb = Text();
    if (!yyjson_is_obj(ids)) return;
    bool imdb_found = false, tmdb_found = false;
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(ids, idx, max, key, val) {
        const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
        if (kojelly::str_view(val).empty()) continue;
        if (!imdb_found && folds_to(k, "imdb")) {
            *imdb = text_of(val);
            imdb_found = true;
        } else if (!tmdb_found && folds_to(k, "tmdb")) {
            *tmdb = text_of(val);
            tmdb_found = true;
        }
        if (imdb_found && tmdb_found) return;
    }
}

int64_t size_of(const Members &m, bool folder) {
    // A folder's own "Size" is the sum of its children on some servers, never a file size.
    int64_t size = folder ? -1 : kojelly::num_val(m.size, -1);
    if (size < 0 && yyjson_is_arr(m.media_sources)) {
        yyjson_val *first = yyjson_arr_get_first(m.media_sources);
        if (yyjson_is_obj(first)) size = kojelly::num_of(first, "Size", -1);
    }
    return size < -1 ? -1 : size;
}

int32_t year_of(yyjson_val *v) {
    const int64_t year = kojelly::num_val(v, 0);
    return year >= kMinYear && year <= kMaxYear ? static_cast<int32_t>(year) : 0;
}

// A record's members read without copying anything: texts point into the document, or into the
// scratch texts here for ids the server sent as numbers. Only the display name is left unset; it
// is made from title and id as kojelly_name_clean makes it.
struct Borrowed {
    // Declared first: the id texts below may be printed into them.
    char id_scratch[kojelly::kIdScratch];
    char parent_scratch[kojelly::kIdScratch];
    Text id, title, parent_id, type, media_type, container, imdb, tmdb;
    int32_t folder;
    int32_t year;
    int64_t size;

    explicit Borrowed(const Members &m)
        : id(id_text(m.id, id_scratch)),
          title(text_of(m.name)),
          parent_id(id_text(m.parent_id, parent_scratch)),
          type(text_of(m.type)),
          media_type(text_of(m.media_type)),
          container(text_of(m.container)),
          folder(folder_flag(m.is_folder)),
          year(year_of(m.year)),
          size(size_of(m, folder != 0)) {
        imdb_and_tmdb(m.provider_ids, &imdb, &tmdb);
    }
    Borrowed(const Borrowed &) = delete;
    Borrowed &operator=(const Borrowed &) = delete;

    // The listing entry of these texts, with name as its display name.
    kojelly::EntryTexts entry(Text name) const {
        return kojelly::EntryTexts{name,      id,   parent_id, title,  type, media_type,
                                   container, imdb, tmdb,      folder, year, size};
    }
};

// An owned copy of a borrowed text (none stays NULL); false when memory runs out.
bool keep(Text text, char **out) {
    *out = text.data() ? kojelly_strndup(text.data(), text.size()) : nullptr;
    return !text.data() || *out;
}

// Fills *out from gathered members. Every member that is present is copied or the fill fails:
// a record quietly missing its title or type after a memory shortage would be listed as if the
// server had sent it that way.
int fill(const Borrowed &b, kojelly_item *out) {
    *out = kojelly_item{};
    if (!b.id.data()) return -1;
    kojelly::OwnedItem rec;
    kojelly_item *r = rec.get();
    if (!keep(b.id, &r->id) || !keep(b.title, &r->title) || !keep(b.parent_id, &r->parent_id) ||
        !keep(b.type, &r->type) || !keep(b.media_type, &r->media_type) ||
        !keep(b.container, &r->container) || !keep(b.imdb, &r->imdb) || !keep(b.tmdb, &r->tmdb))
        return -1;
    r->folder = b.folder;
    r->year = b.year;
    r->size = b.size;
    kojelly::OwnedBuf name;
    if (kojelly_name_clean(name.get(), r->title, r->id) || name->len == 0) return -1;
    r->name = name.release().data;
    *out = rec.release();
    return 0;
}

}  // namespace

namespace kojelly {

int fill_item(yyjson_val *obj, kojelly_item *out) {
    Members m;
    gather(obj, &m);
    const Borrowed b(m);
    return fill(b, out);
}

char *provider(yyjson_val *obj, const char *name) {
    const Text text = provider_text(first_member(obj, "ProviderIds"), name);
    return text.data() ? kojelly_strndup(text.data(), text.size()) : nullptr;
}

}  // namespace kojelly

namespace {

// ---- Appending to the list -------------------------------------------------------------------

// Room in the list and its set for one more record. 0, or -1 when memory runs out.
int room_for_one(kojelly_items *list) {
    return kojelly_acc_grow(list, 1) || kojelly::set_room_for(list, list->count + 1) ? -1 : 0;
}

// Counts the record just written at the end of list, whose id was probed for at p, and enters it
// into the set.
void count_in(kojelly_items *list, const kojelly::SetProbe &p) {
    kojelly::set_enter(list, list->count, p);
    ++list->count;
}

// Appends each new item of a page as a full record.
class RecordSink {
public:
    explicit RecordSink(kojelly_items *list) : list_(list) {}

    // Appends the item whose id was probed for at p. 0, or -1 when memory runs out.
    int add(const Borrowed &b, const kojelly::SetProbe &p) {
        kojelly::OwnedItem rec;
        if (fill(b, rec.get()) || room_for_one(list_)) return -1;
        list_->items[list_->count] = rec.release();
        count_in(list_, p);
        return 0;
    }

private:
    kojelly_items *list_;
};

// Room in the list and its set for records records in all (at most the item limit), so that
// they are not grown (and the set rebuilt, reading every stored id again) step by step as the
// records arrive. 0, or -1 when memory runs out.
int presize(kojelly_items *list, uint64_t records) {
    records = std::min(records, kojelly::kMaxItems);
    if (records <= list->count) return 0;
    return kojelly_acc_grow(list, records - list->count) || kojelly::set_room_for(list, records)
               ? -1
               : 0;
}

// Room in entries for items more entries of per bytes each, with an eighth to spare, within
// limit. 0, or -1 when memory runs out.
int reserve_entries(kojelly_buf *entries, uint64_t items, uint64_t per, uint64_t limit) {
    if (items == 0 || per == 0 || entries->len >= limit) return 0;
    const uint64_t room = limit - entries->len;
    uint64_t want = items > room / per ? room : items * per;
    want = std::min(room, want + want / kEntriesSpareDivisor);
    return kojelly_buf_reserve(entries, want);
}

// Writes each new item of a page straight into entries as its listing entry (after a "," unless
// it is the list's first) and appends a record holding only its id and folder flag, which is all
// the id set needs. Entries are written for a whole listing: plan sizes the list for this page,
// or for every item the server says the folder holds, and the entries are sized once a few of
// them show how long an entry of this folder is.
class EntrySink {
public:
    EntrySink(kojelly_items *list, kojelly_buf *entries, uint64_t limit)
        : list_(list),
          entries_(entries),
          limit_(limit),
          count_before_(list->count),
          len_before_(entries->len) {}

    // Before the walk: room in the list and its set for the page's page_items items, or, on the
    // first page of a listing's scratch that reports a total, for that many items. 0, or -1
    // when memory runs out.
    int plan(uint64_t page_items, int64_t reported, kojelly::PageScratch *scratch) {
        expected_ = list_->count + page_items;
        if (scratch && !scratch->sized && reported > 0) {
            sizing_ = scratch;
            expected_ =
                std::max(expected_, std::min(static_cast<uint64_t>(reported), kojelly::kMaxItems));
        }
        return presize(list_, expected_);
    }

    // Writes the item whose id was probed for at p. 0, -1 when memory runs out, kOverLimit when
    // the entry would take the entries past their limit.
    int add(const Borrowed &b, const kojelly::SetProbe &p) {
        if (const int written = append(b, p)) return written;
        if (sampled_ || taken() != kSampleEntries) return 0;
        sampled_ = true;
        return reserve_rest();
    }

    // After the walk: the first page of a listing sizes the entries of the whole listing, its
    // entries being the best measure of this folder's. 0, or -1 when memory runs out.
    int finish() {
        if (!sizing_) return 0;
        sizing_->sized = true;
        return taken() > 0 && expected_ > list_->count ? reserve_rest() : 0;
    }

private:
    uint64_t taken() const { return list_->count - count_before_; }

    // Room for the entries still expected, at the length of those taken so far.
    int reserve_rest() {
        return reserve_entries(entries_, expected_ - list_->count,
                               (entries_->len - len_before_) / taken(), limit_);
    }

    int append(const Borrowed &b, const kojelly::SetProbe &p) {
        // The document's strings are well-formed UTF-8: its reader refuses any other text.
        Text display;
        if (kojelly::name_view(b.title, b.id.data(), true, name_.get(), &display) != 0) return -1;
        kojelly::Malloced<char> id(kojelly_strndup(b.id.data(), b.id.size()));
        if (!id || room_for_one(list_)) return -1;
        if (const int written =
                kojelly::entry_json(entries_, b.entry(display), list_->count > 0, limit_))
            return written;
        // Member by member: the compiler clears the rest with a few stores.
        kojelly_item &rec = list_->items[list_->count];
        rec.id = id.release();
        rec.name = rec.title = rec.parent_id = rec.type = rec.media_type = nullptr;
        rec.container = rec.imdb = rec.tmdb = nullptr;
        rec.folder = b.folder;
        rec.year = 0;
        rec.size = 0;
        count_in(list_, p);
        return 0;
    }

    kojelly_items *list_;
    kojelly_buf *entries_;
    uint64_t limit_;
    uint64_t count_before_;
    uint64_t len_before_;
    uint64_t expected_ = 0;                   // the records the list should hold after the page
    bool sampled_ = false;                    // the entries were sized from the first ones
    kojelly::PageScratch *sizing_ = nullptr;  // the listing's scratch this page sizes
    // A display name that needs cleaning is written here, reused from item to item.
    kojelly::OwnedBuf name_;
};

// ---- Taking a page ---------------------------------------------------------------------------

// A page read: its document, its "Items" array and its "TotalRecordCount" (-1 when none).
struct Page {
    kojelly::JsonDoc doc;
    yyjson_val *items = nullptr;
    int64_t total = -1;
};

// Reads an /Items answer into *page, its document into arena's memory when there is one. Starts
// the optional counters: *pages at 0, *total at the page's total (-1 on failure). 0, or -5 with
// err recorded when the answer is no JSON object with an "Items" array.
int32_t open_page(const char *body, uint64_t body_len, kojelly::JsonArena *arena, Page *page,
                  uint64_t *pages, int64_t *total, kojelly::Error &err) {
    if (pages) *pages = 0;
    if (total) *total = -1;
    page->doc = kojelly::JsonDoc::read(body, body_len, arena);
    yyjson_val *root = page->doc.object();
    if (!root) return kojelly::not_object(page->doc, kPageNotObject, err);
    page->items = kojelly::first_member(root, "Items");
    if (!yyjson_is_arr(page->items)) {
        return err.fail(KOJELLY_EFAIL, "%s", kPageNoItems);
    }
    page->total = kojelly::num_of(root, "TotalRecordCount", -1);
    if (total) *total = page->total;
    return KOJELLY_OK;
}

// Hands every object of items whose id is usable and not held by list yet to sink, looking the
// ids up through lookup. The order is what callers see: every object counts towards *pages, the
// page size that decides whether another page may follow; a duplicate is dropped before the
// limit is tested, so a full list still takes a page repeating what it holds. 0, or -5 with one
// line in err; what the sink took before a failure stays.
template <typename Sink>
int32_t walk_items(yyjson_val *items, kojelly_items *list, kojelly::IdLookup &lookup, Sink &sink,
                   uint64_t *pages, kojelly::Error &err) {
    size_t idx, max;
    yyjson_val *el;
    yyjson_arr_foreach(items, idx, max, el) {
        if (!yyjson_is_obj(el)) continue;
        if (pages) ++*pages;
        Members m;
        gather(el, &m);
        char scratch[kojelly::kIdScratch];
        const std::string_view id = kojelly::id_view(m.id, scratch);
        if (!kojelly::id_usable(id)) continue;
        const uint64_t hash = kojelly::id_hash(id);
        if (lookup.prefetch(hash) != 0) return err.out_of_memory();
        // The item's texts are read while the slot the probe needs is fetched.
        const Borrowed b(m);
        const kojelly::SetProbe found = lookup.find(id, hash);
        if (found.held) continue;
        if (list->count >= kojelly::kMaxItems) {
            return err.fail(KOJELLY_EFAIL, kTooMany, static_cast<unsigned>(kojelly::kMaxItems));
        }
        const int added = sink.add(b, found);
        if (added == kojelly::kOverLimit) {
            return err.fail(KOJELLY_EFAIL, "%s", kojelly::kListingTooLarge);
        }
        if (added != 0) return err.out_of_memory();
        lookup.entered(found, hash);
    }
    return KOJELLY_OK;
}

// kojelly_page_entries with the entries bounded at limit.
int32_t entries_page(const char *body, uint64_t body_len, kojelly_items *list, kojelly_buf *entries,
                     uint64_t limit, uint64_t *pages, int64_t *total, kojelly::Error &err,
                     kojelly::PageScratch *scratch) {
    Page page;
    if (const int32_t rc = open_page(body, body_len, scratch ? &scratch->arena : nullptr, &page,
                                     pages, total, err))
        return rc;
    EntrySink sink(list, entries, limit);
    if (sink.plan(yyjson_arr_size(page.items), page.total, scratch) != 0)
        return err.out_of_memory();
    // A listing's pages probe the id set through its tags.
    kojelly::IdLookup lookup(list, scratch ? &scratch->tags : nullptr);
    if (const int32_t rc = walk_items(page.items, list, lookup, sink, pages, err)) return rc;
    return sink.finish() == 0 ? KOJELLY_OK : err.out_of_memory();
}

}  // namespace

int32_t kojelly_parse_items_page(const char *body, uint64_t body_len, kojelly_items *list,
                                 uint64_t *pages, int64_t *total, kojelly::Error &err) {
    Page page;
    if (const int32_t rc = open_page(body, body_len, nullptr, &page, pages, total, err)) return rc;
    RecordSink sink(list);
    kojelly::IdLookup lookup(list, nullptr);
    return walk_items(page.items, list, lookup, sink, pages, err);
}

int32_t kojelly_page_entries(const char *body, uint64_t body_len, kojelly_items *list,
                             kojelly_buf *entries, uint64_t *pages, int64_t *total,
                             kojelly::Error &err, kojelly::PageScratch *scratch) {
    return entries_page(body, body_len, list, entries, kojelly::kMaxEntries, pages, total, err,
                        scratch);
}

int32_t kojelly::page_entries_within(const char *body, uint64_t body_len, kojelly_items *list,
                                     kojelly_buf *entries, uint64_t limit, kojelly::Error &err) {
    return entries_page(body, body_len, list, entries, limit, nullptr, nullptr, err, nullptr);
}

int32_t kojelly_parse_item(const char *body, uint64_t body_len, kojelly_item *out,
                           kojelly::Error &err) {
    *out = kojelly_item{};
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body, body_len);
    yyjson_val *root = doc.object();
    if (!root) return kojelly::not_object(doc, kItemNotObject, err);
    Members m;
    gather(root, &m);
    char scratch[kojelly::kIdScratch];
    if (!kojelly::id_usable(kojelly::id_view(m.id, scratch))) {
        return err.fail(KOJELLY_EFAIL, "%s", kItemNoId);
    }
    const Borrowed b(m);
    if (fill(b, out)) return err.out_of_memory();
    return KOJELLY_OK;
}

int kojelly_acc_grow(kojelly_items *list, uint64_t more) {
    if (more > UINT64_MAX - list->count) return -1;
    const uint64_t need = list->count + more;
    if (list->cap >= need) return 0;
    uint64_t cap = list->cap ? list->cap : kFirstRecords;
    while (cap < need) {
        if (cap > kMaxRecords / 2) return -1;
        cap *= 2;
    }
    void *p = std::realloc(list->items, cap * sizeof(kojelly_item));
    if (!p) return -1;
    list->items = static_cast<kojelly_item *>(p);
    list->cap = cap;
    return 0;
}

namespace {

// Frees a record's texts and leaves the record as it is.
void free_texts(const kojelly_item &item) {
    char *texts[] = {item.id,         item.name,      item.title, item.parent_id, item.type,
                     item.media_type, item.container, item.imdb,  item.tmdb};
    // A listing's records hold an id only: freeing 100000 of them should not call free() 800000
    // times for nothing.
    for (char *t : texts) {
        if (t) std::free(t);
    }
}

}  // namespace

void kojelly_items_free(kojelly_items *list) {
    // The records go with their array; clearing each one first would only cost time.
    for (uint64_t i = 0; i < list->count; ++i) free_texts(list->items[i]);
    std::free(list->items);
    std::free(list->set);
    *list = kojelly_items{};
}

void kojelly_item_free(kojelly_item *item) {
    free_texts(*item);
    *item = kojelly_item{};
}
