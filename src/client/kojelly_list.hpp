// Folder lookup and listing: the root of the browse tree is the user's views, every other folder
// a server item id. A folder is looked up before it is listed (and again when its listing comes
// back empty) so that a missing folder or a file is reported as such; its children are fetched
// in pages of 500, merged without duplicates and written as the listing JSON. The item lookup is
// shared with the stream operation.
#pragma once

#include <cstdint>

#include "client/kojelly_call.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"

struct kojelly_item;
struct kojelly_items;

namespace kojelly {

// Most pages fetched for one folder.
inline constexpr int kPageBudget = 1000;
// "Fields" of a lookup by API key.
inline constexpr char kLookupFields[] = "ParentId,Size,Container";

// Looks the item up and appends what the server answered to list. 0 with *item the last record
// of the list with exactly that id, or NULL when the server does not know it (404 included), or
// a status code with call.err recorded.
[[nodiscard]] int32_t lookup(Call &call, const char *id, kojelly_items *list,
                             const kojelly_item **item);

// What a lookup found under an id.
enum class Found { kNothing, kFile, kFolder };
// As lookup, into a list of its own: 0 with *found, or a status code.
[[nodiscard]] int32_t look(Call &call, const char *id, Found *found);

// As kojelly_do_list; given entries, every item is written straight into them as its listing
// entry and list keeps only the ids (kojelly_page_entries).
[[nodiscard]] int32_t do_list(Call &call, const char *folder_id, kojelly_items *list,
                              kojelly_buf *entries);
// The list operation: the folder's listing JSON into answer.
[[nodiscard]] int32_t op_list(Call &call, const char *folder_id, kojelly_buf *answer);

}  // namespace kojelly

// Lists a folder (NULL or "" for the root views) into list, in the server's order without
// duplicates. 0, or a status code with call.err recorded; list may then hold earlier pages and
// must be freed by the caller in every case.
[[nodiscard]] int32_t kojelly_do_list(kojelly::Call &call, const char *folder_id,
                                      kojelly_items *list);
