// Item records, the item list with its id set, and the /Items and single-item answers.
#include "wire/kojelly_items.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "http/tessel_http_util.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_listing.hpp"
#include "wire/kojelly_wire.hpp"

static_assert(sizeof(kojelly_item) == 88);
static_assert(offsetof(kojelly_item, folder) == 72);
static_assert(offsetof(kojelly_item, year) == 76);
static_assert(offsetof(kojelly_item, size) == 80);
static_assert(sizeof(kojelly_items) == 40);

namespace {

constexpr uint64_t kFirstRecords = 64;
constexpr uint64_t kFirstSlots = 128;
constexpr uint64_t kMaxRecords = SIZE_MAX / sizeof(kojelly_item);
constexpr int64_t kMinYear = 1800;
constexpr int64_t kMaxYear = 9999;
constexpr uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr uint64_t kFnvPrime = 1099511628211ULL;
// Entries written before their length sizes the rest of the page's (or listing's) entries.
constexpr uint64_t kSampleEntries = 16;
constexpr uint64_t kEntriesSpareDivisor = 8;

constexpr const char kPageNotObject[] = "/Items answered something that is not a JSON object";
constexpr const char kPageNoItems[] = "/Items answer has no Items array";
constexpr const char kTooMany[] = "folder has more than %u items";
constexpr const char kItemNotObject[] = "item answer is not a JSON object";
constexpr const char kItemNoId[] = "item answer has no valid Id";

using kojelly::say;

// The members a record is made of, each the first member with its key.
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

// The member after the one whose value is val. Written as a branch: yyjson's own step selects
// between the two offsets and so loads a container's offset for every value, which puts a load on
// the path from each member to the next. Most of an item's members are scalars, and in the items
// of one page they come in the same order, so the branch is well predicted.
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
        return kojelly::EntryTexts{name,      id,   parent_id, title, type, media_type,
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

uint64_t fnv1a(std::string_view bytes) {
    uint64_t h = kFnvOffset;
    for (unsigned char c : bytes) {
        h ^= c;
        h *= kFnvPrime;
    }
    return h;
}

// The same hash over a stored id, read up to its NUL in the one pass.
uint64_t fnv1a(const char *text) {
    uint64_t h = kFnvOffset;
    for (; *text; ++text) {
        h ^= static_cast<unsigned char>(*text);
        h *= kFnvPrime;
    }
    return h;
}

// Whether the record at pos holds exactly id.
bool holds(const kojelly_items *list, uint64_t pos, std::string_view id) {
    const char *stored = list->items[pos].id;
    return std::strncmp(stored, id.data(), id.size()) == 0 && stored[id.size()] == '\0';
}

// Where an id was looked for in the set: the slot that holds it, or the empty slot where probing
// ended, at the set's size then.
struct Probe {
    bool held;
    uint64_t slot;
    uint64_t set_cap;
};

// Stored ids are compared in place: the records of a large list are no longer in any cache, and
// measuring each one first would read it twice.
Probe probe(const kojelly_items *list, std::string_view id, uint64_t hash) {
    if (!list->set_cap) return Probe{false, 0, 0};
    const uint64_t mask = list->set_cap - 1;
    uint64_t i = hash & mask;
    for (; list->set[i]; i = (i + 1) & mask) {
        if (holds(list, list->set[i] - 1, id)) return Probe{true, i, list->set_cap};
    }
    return Probe{false, i, list->set_cap};
}

// Enters the record at pos, whose id was probed for and not found, into the id set, which must
// have room: into the slot where the probe ended while the set has not been rebuilt since, which
// spares hashing the id again.
void set_enter(kojelly_items *list, uint64_t pos, const Probe &p) {
    if (p.set_cap && p.set_cap == list->set_cap) {
        list->set[p.slot] = pos + 1;
    } else {
        kojelly::set_put(list, pos);
    }
}

// Keeps the set at most half full once it holds records records, rebuilding it at the new size.
int set_room_for(kojelly_items *list, uint64_t records) {
    const uint64_t need = 2 * records;
    if (list->set_cap >= need) return 0;
    uint64_t cap = list->set_cap ? list->set_cap * 2 : kFirstSlots;
    // One doubling is enough for a list filled only page by page; one that also took appended
    // records may be further behind, and a full table would never end a probe.
    while (cap < need) cap *= 2;
    auto *slots = static_cast<uint64_t *>(std::calloc(cap, sizeof(uint64_t)));
    if (!slots) return -1;
    std::free(list->set);
    list->set = slots;
    list->set_cap = cap;
    for (uint64_t pos = 0; pos < list->count; ++pos) kojelly::set_put(list, pos);
    return 0;
}

// As set_room_for, for one more record.
int set_room(kojelly_items *list) {
    return set_room_for(list, list->count + 1);
}

}  // namespace

namespace kojelly {

SetTags::~SetTags() {
    std::free(tags_);
}

int SetTags::follow(const kojelly_items *list) {
    if (list->set == set_ && list->set_cap == cap_ && list->count == count_) return 0;
    std::free(tags_);
    tags_ = nullptr;
    set_ = nullptr;
    cap_ = 0;
    count_ = 0;
    if (!list->set_cap) {
        count_ = list->count;
        return 0;
    }
    tags_ = static_cast<uint8_t *>(std::calloc(list->set_cap, 1));
    if (!tags_) return -1;
    for (uint64_t i = 0; i < list->set_cap; ++i) {
        if (list->set[i]) tags_[i] = tag_of(fnv1a(list->items[list->set[i] - 1].id));
    }
    set_ = list->set;
    cap_ = list->set_cap;
    count_ = list->count;
    return 0;
}

bool SetTags::find(const kojelly_items *list, std::string_view id, uint64_t hash,
                   uint64_t *slot) const {
    if (!cap_) {
        *slot = 0;
        return false;
    }
    const uint64_t mask = cap_ - 1;
    const uint8_t tag = tag_of(hash);
    uint64_t i = hash & mask;
    // An empty slot has tag 0 exactly where the set holds 0, so the probe ends where the set's
    // would; only a slot whose tag matches is looked up in the set and its record.
    for (; tags_[i]; i = (i + 1) & mask) {
        if (tags_[i] == tag && holds(list, list->set[i] - 1, id)) {
            *slot = i;
            return true;
        }
    }
    *slot = i;
    return false;
}

void SetTags::entered(const kojelly_items *list, uint64_t slot, uint64_t set_cap, uint64_t hash) {
    // A set rebuilt since the probe put the record elsewhere: the tags are made again next time.
    if (!cap_ || set_cap != cap_ || list->set != set_ || list->set_cap != cap_) return;
    tags_[slot] = tag_of(hash);
    count_ = list->count;
}

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

void set_put(kojelly_items *list, uint64_t pos) {
    const char *id = list->items[pos].id;
    if (!list->set_cap || !id) return;
    const uint64_t mask = list->set_cap - 1;
    uint64_t i = fnv1a(id) & mask;
    while (list->set[i]) i = (i + 1) & mask;
    list->set[i] = pos + 1;
}

}  // namespace kojelly

namespace {

// Appends one new item as a full record; p is where its id was probed for.
int append_record(const Borrowed &b, kojelly_items *list, const Probe &p) {
    kojelly::OwnedItem rec;
    if (fill(b, rec.get()) || kojelly_acc_grow(list, 1) || set_room(list)) return -1;
    list->items[list->count] = rec.release();
    set_enter(list, list->count, p);
    ++list->count;
    return 0;
}

// Writes one new item (its id already checked usable and probed for at p) as its listing entry
// into entries (after a "," unless it is the list's first) and appends a record holding only its
// id and folder flag. 0, -1 when memory runs out, kOverLimit when the entries would pass the
// listing's limit. name is scratch space for a display name that needs cleaning, reused from item
// to item.
int append_entry(const Borrowed &b, kojelly_items *list, kojelly_buf *entries, kojelly_buf *name,
                 uint64_t limit, const Probe &p) {
    // The document's strings are well-formed UTF-8: its reader refuses any other text.
    Text display;
    if (kojelly::name_view(b.title, b.id.data(), true, name, &display) != 0) return -1;
    kojelly::Malloced<char> id(kojelly_strndup(b.id.data(), b.id.size()));
    if (!id || kojelly_acc_grow(list, 1) || set_room(list)) return -1;
    if (const int written = kojelly::entry_json(entries, b.entry(display), list->count > 0, limit))
        return written;
    // Member by member: the compiler clears the rest with a few stores.
    kojelly_item &rec = list->items[list->count];
    rec.id = id.release();
    rec.name = rec.title = rec.parent_id = rec.type = rec.media_type = nullptr;
    rec.container = rec.imdb = rec.tmdb = nullptr;
    rec.folder = b.folder;
    rec.year = 0;
    rec.size = 0;
    set_enter(list, list->count, p);
    ++list->count;
    return 0;
}

// Room in the list and its set for records records in all (at most the item limit), so that
// they are not grown (and the set rebuilt, reading every stored id again) step by step as the
// records arrive. 0, or -1 when memory runs out.
int presize(kojelly_items *list, uint64_t records) {
    records = std::min(records, kojelly::kMaxItems);
    if (records <= list->count) return 0;
    return kojelly_acc_grow(list, records - list->count) || set_room_for(list, records) ? -1 : 0;
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

// The page walk shared by both ways of taking a page: into full records (entries NULL) or
// straight into listing entries.
int parse_page(const char *body, uint64_t body_len, kojelly_items *list, kojelly_buf *entries,
               uint64_t limit, uint64_t *pages, int64_t *total, char *msg, uint64_t msg_size,
               kojelly::PageScratch *scratch) {
    if (pages) *pages = 0;
    if (total) *total = -1;
    const kojelly::JsonDoc doc =
        kojelly::JsonDoc::read(body, body_len, scratch ? &scratch->arena : nullptr);
    yyjson_val *root = doc.object();
    if (!root) return kojelly::not_object(doc, kPageNotObject, msg, msg_size);
    yyjson_val *items = kojelly::first_member(root, "Items");
    if (!yyjson_is_arr(items)) {
        say(msg, msg_size, "%s", kPageNoItems);
        return KOJELLY_EFAIL;
    }
    const int64_t reported = kojelly::num_of(root, "TotalRecordCount", -1);
    if (total) *total = reported;

    // Entries are written for a whole listing: the list is sized for this page, or with a
    // scratch for every item the server says the folder holds, and the entries once a few of
    // them show how long an entry of this folder is.
    const bool sizing = entries && scratch && !scratch->sized && reported > 0;
    const uint64_t page_size = yyjson_arr_size(items);
    uint64_t expected = list->count + page_size;
    if (sizing)
        expected = std::max(expected, std::min(static_cast<uint64_t>(reported), kojelly::kMaxItems));
    if (entries && presize(list, expected) != 0) return kojelly::out_of_memory(msg, msg_size);
    const uint64_t count_before = list->count;
    const uint64_t len_before = entries ? entries->len : 0;
    bool sampled = false;
    // A listing's pages probe the id set through its tags.
    kojelly::SetTags *tags = entries && scratch ? &scratch->tags : nullptr;

    // The order below is what callers see: every object counts towards the page size that
    // decides whether another page may follow; a duplicate is dropped before the limit is
    // tested, so a full list still takes a page repeating what it holds.
    kojelly::OwnedBuf name;
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
        // The set slot of a large list is far from any cache: it is fetched while the item's
        // members are read, and is there by the time the probe needs it.
        const uint64_t hash = fnv1a(id);
        if (tags) {
            if (tags->follow(list) != 0) return kojelly::out_of_memory(msg, msg_size);
            __builtin_prefetch(tags->start(hash));
        } else if (list->set_cap) {
            __builtin_prefetch(&list->set[hash & (list->set_cap - 1)]);
        }
        const Borrowed b(m);
        Probe found;
        if (tags) {
            found.set_cap = list->set_cap;
            found.held = tags->find(list, id, hash, &found.slot);
        } else {
            found = probe(list, id, hash);
        }
        if (found.held) continue;
        if (list->count >= kojelly::kMaxItems) {
            say(msg, msg_size, kTooMany, static_cast<unsigned>(kojelly::kMaxItems));
            return KOJELLY_EFAIL;
        }
        const int added = entries ? append_entry(b, list, entries, name.get(), limit, found)
                                  : append_record(b, list, found);
        if (added == 0 && tags) tags->entered(list, found.slot, found.set_cap, hash);
        if (added == kojelly::kOverLimit) {
            say(msg, msg_size, "%s", kojelly::kListingTooLarge);
            return KOJELLY_EFAIL;
        }
        if (added != 0) return kojelly::out_of_memory(msg, msg_size);
        const uint64_t taken = list->count - count_before;
        if (entries && !sampled && taken == kSampleEntries) {
            sampled = true;
            if (reserve_entries(entries, expected - list->count,
                                (entries->len - len_before) / taken, limit) != 0)
                return kojelly::out_of_memory(msg, msg_size);
        }
    }
    if (sizing) {
        // The first page's entries are the best measure of this folder's.
        scratch->sized = true;
        const uint64_t taken = list->count - count_before;
        if (taken > 0 && expected > list->count &&
            reserve_entries(entries, expected - list->count, (entries->len - len_before) / taken,
                            limit) != 0)
            return kojelly::out_of_memory(msg, msg_size);
    }
    return KOJELLY_OK;
}

}  // namespace

int kojelly_parse_items_page(const char *body, uint64_t body_len, kojelly_items *list,
                             uint64_t *pages, int64_t *total, char *msg, uint64_t msg_size) {
    return parse_page(body, body_len, list, nullptr, 0, pages, total, msg, msg_size, nullptr);
}

int kojelly_page_entries(const char *body, uint64_t body_len, kojelly_items *list,
                         kojelly_buf *entries, uint64_t *pages, int64_t *total, char *msg,
                         uint64_t msg_size, kojelly::PageScratch *scratch) {
    return parse_page(body, body_len, list, entries, kojelly::kMaxEntries, pages, total, msg,
                      msg_size, scratch);
}

int kojelly::page_entries_within(const char *body, uint64_t body_len, kojelly_items *list,
                                 kojelly_buf *entries, uint64_t limit, char *msg,
                                 uint64_t msg_size) {
    return parse_page(body, body_len, list, entries, limit, nullptr, nullptr, msg, msg_size,
                      nullptr);
}

int kojelly_parse_item(const char *body, uint64_t body_len, kojelly_item *out, char *msg,
                       uint64_t msg_size) {
    *out = kojelly_item{};
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body, body_len);
    yyjson_val *root = doc.object();
    if (!root) return kojelly::not_object(doc, kItemNotObject, msg, msg_size);
    Members m;
    gather(root, &m);
    char scratch[kojelly::kIdScratch];
    if (!kojelly::id_usable(kojelly::id_view(m.id, scratch))) {
        say(msg, msg_size, "%s", kItemNoId);
        return KOJELLY_EFAIL;
    }
    const Borrowed b(m);
    if (fill(b, out)) return kojelly::out_of_memory(msg, msg_size);
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
