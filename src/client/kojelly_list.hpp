// Folder lookup and listing: the root of the browse tree is the user's views, every other folder
// a server item id. A folder is looked up before it is listed (and again when its listing comes
// back empty) so that a missing folder or a file is reported as such; its children are fetched
// in pages of 500, merged without duplicates and written as the listing JSON. The item lookup is
// shared with the stream operation.
#pragma once

#include <cstddef>
#include <cstdint>

#include "client/kojelly_pages.hpp"
#include "kojelly.h"
#include "util/kojelly_buf.hpp"

struct kojelly_sess;
struct kojelly_items;

namespace kojelly {

// Most pages fetched for one folder.
inline constexpr int kPageBudget = 1000;
// "Fields" of a lookup by API key.
inline constexpr char kLookupFields[] = "ParentId,Size,Container";

// Looks the item up and appends what the server answered to list. 1 when the list then holds
// an item with exactly that id, 0 when the server does not know it (404, no message), or a
// negative status code with one line in msg.
[[nodiscard]] int32_t lookup(kojelly_sess *sess, const char *id, kojelly_items *list, char *msg,
                             size_t msg_size);
// As lookup, into a list of its own; *folder is the found item's folder flag, 0 when none.
[[nodiscard]] int32_t exists(kojelly_sess *sess, const char *id, int32_t *folder, char *msg,
                             size_t msg_size);
// As kojelly_do_list; given entries, every item is written straight into them as its listing
// entry and list keeps only the ids (kojelly_page_entries).
[[nodiscard]] int32_t do_list(kojelly_sess *sess, const char *folder_id, kojelly_items *list,
                              kojelly_buf *entries, char *msg, size_t msg_size);
// The list operation: the folder's listing JSON into answer.
[[nodiscard]] int32_t op_list(kojelly_sess *sess, const char *folder_id, kojelly_buf *answer,
                              char *msg, size_t msg_size);

}  // namespace kojelly

// Lists a folder (NULL or "" for the root views) into list, in the server's order without
// duplicates. 0, or a status code with one line in msg; list may then hold earlier pages and
// must be freed by the caller in every case.
[[nodiscard]] int32_t kojelly_do_list(kojelly_sess *sess, const char *folder_id,
                                      kojelly_items *list, char *msg, size_t msg_size);
