// Item records, the item list with its id set, and the /Items and single-item answers.
#include "wire/kojelly_items.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"
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

constexpr const char kNoMemory[] = "out of memory";
constexpr const char kPageNotObject[] = "/Items answered something that is not a JSON object";
constexpr const char kPageNoItems[] = "/Items answer has no Items array";
constexpr const char kTooMany[] = "folder has more than %u items";
constexpr const char kItemNotObject[] = "item answer is not a JSON object";
constexpr const char kItemNoId[] = "item answer has no valid Id";

using kojelly::say;

// The members a record is made of, each the first member with its key.
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

struct Wanted {
    std::string_view key;
    yyjson_val *Members::*slot;
};

constexpr Wanted kWanted[] = {
    {"Id", &Members::id},
    {"Name", &Members::name},
    {"IsFolder", &Members::is_folder},
    {"ParentId", &Members::parent_id},
    {"Type", &Members::type},
    {"MediaType", &Members::media_type},
    {"Container", &Members::container},
    {"Size", &Members::size},
    {"MediaSources", &Members::media_sources},
    {"ProductionYear", &Members::year},
    {"ProviderIds", &Members::provider_ids},
};

// One walk over the object's members: a real item carries dozens of members, and a page holds
// hundreds of items, so looking each wanted key up separately would walk every item many times.
Members gather(yyjson_val *obj) {
    Members m{};
    if (!yyjson_is_obj(obj)) return m;
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(obj, idx, max, key, val) {
        const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
        for (const Wanted &w : kWanted) {
            if (w.key != k) continue;
            if (!(m.*w.slot)) m.*w.slot = val;
            break;
        }
    }
    return m;
}

bool folds_to(std::string_view key, std::string_view lower) {
    if (key.size() != lower.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        char c = key[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != lower[i]) return false;
    }
    return true;
}

int32_t folder_flag(yyjson_val *v) {
    if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? 1 : 0;
    if (yyjson_is_str(v)) return folds_to(kojelly::str_view(v), "true") ? 1 : 0;
    return 0;
}

// The first "ProviderIds" member matching name with a non-empty string value; a matching member
// of another type is passed over. 0 (with *out NULL when there is none) or -1 out of memory.
int provider_copy(yyjson_val *ids, std::string_view name, char **out) {
    *out = nullptr;
    if (!yyjson_is_obj(ids)) return 0;
    size_t idx, max;
    yyjson_val *key, *val;
    yyjson_obj_foreach(ids, idx, max, key, val) {
        const std::string_view k(yyjson_get_str(key), yyjson_get_len(key));
        if (folds_to(k, name) && !kojelly::str_view(val).empty())
            return kojelly::copy_str(val, out);
    }
    return 0;
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

// Fills *out from gathered members. Every member that is present is copied or the fill fails:
// a record quietly missing its title or type after a memory shortage would be listed as if the
// server had sent it that way.
int fill(const Members &m, kojelly_item *out) {
    *out = kojelly_item{};
    kojelly::ItemGuard rec;
    kojelly_item *r = rec.get();
    if (kojelly::copy_id(m.id, &r->id) || !r->id) return -1;
    if (kojelly::copy_str(m.name, &r->title)) return -1;
    r->folder = folder_flag(m.is_folder);
    if (kojelly::copy_id(m.parent_id, &r->parent_id) || kojelly::copy_str(m.type, &r->type) ||
        kojelly::copy_str(m.media_type, &r->media_type) ||
        kojelly::copy_str(m.container, &r->container))
        return -1;
    r->size = size_of(m, r->folder != 0);
    r->year = year_of(m.year);
    if (provider_copy(m.provider_ids, "imdb", &r->imdb) ||
        provider_copy(m.provider_ids, "tmdb", &r->tmdb))
        return -1;
    kojelly::BufGuard name;
    if (kojelly_name_clean(name.get(), r->title, r->id) || name->len == 0) return -1;
    r->name = name.release();
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

bool held(const kojelly_items *list, std::string_view id) {
    if (!list->set_cap) return false;
    const uint64_t mask = list->set_cap - 1;
    for (uint64_t i = fnv1a(id) & mask; list->set[i]; i = (i + 1) & mask)
        if (id == list->items[list->set[i] - 1].id) return true;
    return false;
}

// Keeps the set at most half full once one more record arrives, rebuilding it at the new size.
int set_room(kojelly_items *list) {
    const uint64_t need = 2 * (list->count + 1);
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

}  // namespace

namespace kojelly {

int fill_item(yyjson_val *obj, kojelly_item *out) {
    return fill(gather(obj), out);
}

char *provider(yyjson_val *obj, const char *name) {
    char *out;
    return provider_copy(first_member(obj, "ProviderIds"), name, &out) ? nullptr : out;
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

int kojelly_parse_items_page(const char *body, uint64_t body_len, kojelly_items *list,
                             uint64_t *pages, int64_t *total, char *msg, uint64_t msg_size) {
    if (pages) *pages = 0;
    if (total) *total = -1;
    const kojelly::DocPtr doc = kojelly::parse(body, body_len);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
        say(msg, msg_size, "%s", kPageNotObject);
        return KOJELLY_EFAIL;
    }
    yyjson_val *items = kojelly::first_member(root, "Items");
    if (!yyjson_is_arr(items)) {
        say(msg, msg_size, "%s", kPageNoItems);
        return KOJELLY_EFAIL;
    }
    if (total) *total = kojelly::num_of(root, "TotalRecordCount", -1);

    // The order below is what callers see: every object counts towards the page size that
    // decides whether another page may follow; a duplicate is dropped before the limit is
    // tested, so a full list still takes a page repeating what it holds.
    size_t idx, max;
    yyjson_val *el;
    yyjson_arr_foreach(items, idx, max, el) {
        if (!yyjson_is_obj(el)) continue;
        if (pages) ++*pages;
        const Members m = gather(el);
        char scratch[kojelly::kIdScratch];
        const std::string_view id = kojelly::id_view(m.id, scratch);
        if (!kojelly::id_usable(id) || held(list, id)) continue;
        if (list->count >= kojelly::kMaxItems) {
            say(msg, msg_size, kTooMany, static_cast<unsigned>(kojelly::kMaxItems));
            return KOJELLY_EFAIL;
        }
        kojelly::ItemGuard rec;
        if (fill(m, rec.get()) || kojelly_acc_grow(list, 1) || set_room(list)) {
            say(msg, msg_size, "%s", kNoMemory);
            return KOJELLY_EFAIL;
        }
        list->items[list->count] = rec.release();
        kojelly::set_put(list, list->count);
        ++list->count;
    }
    return KOJELLY_OK;
}

int kojelly_parse_item(const char *body, uint64_t body_len, kojelly_item *out, char *msg,
                       uint64_t msg_size) {
    *out = kojelly_item{};
    const kojelly::DocPtr doc = kojelly::parse(body, body_len);
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (!yyjson_is_obj(root)) {
        say(msg, msg_size, "%s", kItemNotObject);
        return KOJELLY_EFAIL;
    }
    const Members m = gather(root);
    char scratch[kojelly::kIdScratch];
    if (!kojelly::id_usable(kojelly::id_view(m.id, scratch))) {
        say(msg, msg_size, "%s", kItemNoId);
        return KOJELLY_EFAIL;
    }
    if (fill(m, out)) {
        say(msg, msg_size, "%s", kNoMemory);
        return KOJELLY_EFAIL;
    }
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

void kojelly_items_free(kojelly_items *list) {
    for (uint64_t i = 0; i < list->count; ++i) kojelly_item_free(&list->items[i]);
    std::free(list->items);
    std::free(list->set);
    *list = kojelly_items{};
}

void kojelly_item_free(kojelly_item *item) {
    char *texts[] = {item->id,         item->name,      item->title, item->parent_id, item->type,
                     item->media_type, item->container, item->imdb,  item->tmdb};
    for (char *t : texts) std::free(t);
    *item = kojelly_item{};
}
