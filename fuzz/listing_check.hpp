// What every item record and every listing JSON must look like, whatever the server sent: the
// checks shared by the /Items page, single item and round-trip targets.
#pragma once

#include <yyjson.h>

#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "support/json_doc.hpp"
#include "util/kojelly_buf.hpp"
#include "wire/kojelly_items.hpp"
#include "wire/kojelly_listing.hpp"

namespace fuzz {

inline constexpr int kMinYear = 1800;
inline constexpr int kMaxYear = 9999;
inline constexpr size_t kEntryMembers = 16;

inline void check_item(const kojelly_item &it) {
    check(it.id && kojelly_id_ok(it.id), "an item id has an id form");
    check(it.name && *it.name, "an item has a name");
    const std::string_view name = it.name;
    check(name != "." && name != "..", "a name is never . or ..");
    for (const char c : name) {
        const auto b = static_cast<unsigned char>(c);
        check(c != '/' && (b >= 0x20 || b == 0) && b != 0x7F, "a name is one path component");
    }
    check(kojelly_utf8_ok(name.data(), name.size()), "a name is UTF-8");
    check(!it.title || *it.title, "a title is NULL or not empty");
    check(it.folder == 0 || it.folder == 1, "the folder flag is 0 or 1");
    check(it.year == 0 || (it.year >= kMinYear && it.year <= kMaxYear), "a year in range or 0");
    check(it.size >= -1, "a size of -1 or more");
}

inline std::string_view str_member(yyjson_val *obj, const char *key) {
    yyjson_val *v = yyjson_obj_get(obj, key);
    return yyjson_is_str(v) ? std::string_view(yyjson_get_str(v), yyjson_get_len(v))
                            : std::string_view();
}

// A listing is valid JSON holding exactly the list's records, in order, each entry with its
// sixteen members.
inline void check_listing(std::string_view json, const kojelly_items &list) {
    const json_doc::Doc doc = json_doc::read(json);
    check(doc != nullptr, "a listing is valid JSON");
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    yyjson_val *items = yyjson_obj_get(root, "items");
    check(yyjson_is_arr(items) && yyjson_arr_size(items) == list.count,
          "a listing holds one entry per record");
    size_t i = 0;
    yyjson_val *entry;
    yyjson_arr_iter it = yyjson_arr_iter_with(items);
    while ((entry = yyjson_arr_iter_next(&it))) {
        const kojelly_item &item = list.items[i++];
        check(yyjson_obj_size(entry) == kEntryMembers, "an entry has sixteen members");
        check(str_member(entry, "path") == item.id && str_member(entry, "id") == item.id,
              "path and id name the item");
        check(str_member(entry, "name") == item.name, "the name survives the JSON escaping");
        check(yyjson_get_bool(yyjson_obj_get(entry, "folder")) == (item.folder == 1),
              "the folder flag");
    }
}

// The records of a list are well formed and their ids distinct.
inline void check_list(const kojelly_items &list) {
    std::set<std::string> ids;
    for (uint64_t i = 0; i < list.count; ++i) {
        check_item(list.items[i]);
        check(ids.insert(list.items[i].id).second, "no id twice in a list");
    }
}

inline std::string listing_of(const kojelly_items &list) {
    kojelly::OwnedBuf json;
    check(kojelly_items_json(json.get(), &list) == 0, "a listing can be written");
    return json.c_str();
}

}  // namespace fuzz
