// Folder lookup, and folder and root listing with paging.
#include "client/kojelly_list.hpp"

#include <cstring>
#include <optional>

#include "client/kojelly_pages.hpp"
#include "client/kojelly_session.hpp"
#include "request/kojelly_cfg.hpp"
#include "request/kojelly_http.hpp"
#include "util/kojelly_msg.hpp"
#include "wire/kojelly_items.hpp"
#include "wire/kojelly_listing.hpp"
#include "wire/kojelly_wire.hpp"

namespace kojelly {
namespace {

constexpr char kLookupLabel[] = "lookup";
constexpr char kViewsLabel[] = "views";
constexpr char kListLabel[] = "list";
constexpr char kNotAnId[] = "folder id is not a Jellyfin item id";
constexpr int kStatusBadRequest = 400;
constexpr int kStatusNotFound = 404;

// base + the pieces; false when memory runs out.
template <typename... Pieces>
bool url_of(kojelly_buf *url, const Call &call, const Pieces *...pieces) {
    if (kojelly_buf_adds(url, call.base()) != 0) return false;
    return ((kojelly_buf_adds(url, pieces) == 0) && ...);
}

// The last record of list whose id is exactly id, or NULL.
const kojelly_item *find(const kojelly_items *list, const char *id) {
    for (uint64_t i = list->count; i > 0; --i) {
        const kojelly_item &item = list->items[i - 1];
        if (item.id && std::strcmp(item.id, id) == 0) return &item;
    }
    return nullptr;
}

// One /Items page into list, or, given entries, straight into listing entries with the
// listing's scratch.
int32_t take_page(Call &call, const kojelly_resp *resp, kojelly_items *list, kojelly_buf *entries,
                  uint64_t *counted, int64_t *total) {
    return entries ? kojelly_page_entries(resp->body, resp->body_len, list, entries, counted, total,
                                          call.err, &call.scratch)
                   : kojelly_parse_items_page(resp->body, resp->body_len, list, counted, total,
                                              call.err);
}

// The root: the user's views. Servers that resolve no /UserViews for this session (an API key
// has no user on current Jellyfin; Emby has no such path) answer 400 or 404; they serve the
// same page at /Library/MediaFolders (API key) or /Users/{user id}/Views (login).
int32_t list_root(Call &call, kojelly_items *list, kojelly_buf *entries) {
    OwnedBuf url;
    if (!url_of(url.get(), call, "/UserViews")) return call.err.out_of_memory();
    OwnedResp resp;
    if (const int32_t sent = call.send(url.c_str(), nullptr, resp.get())) return sent;

    if (resp->status == kStatusBadRequest || resp->status == kStatusNotFound) {
        kojelly_resp_free(resp.get());
        kojelly_buf_free(url.get());
        const char *user_id = call.session.record().user_id;
        const bool made = user_id ? url_of(url.get(), call, "/Users/", user_id, "/Views")
                                  : url_of(url.get(), call, "/Library/MediaFolders");
        if (!made) return call.err.out_of_memory();
        if (const int32_t sent = call.send(url.c_str(), nullptr, resp.get())) return sent;
    }

    if (const int32_t code = judge(resp.get(), KOJELLY_EFAIL, kViewsLabel, url.c_str(), call.err))
        return code;
    return take_page(call, resp.get(), list, entries, nullptr, nullptr);
}

// The folder page that starts at start, from the pages fetched ahead when they hold it, else
// fetched here with loan. 0 with its URL and answer, or the status code of its request.
int32_t next_page(Call &call, const char *folder_id, int64_t start, std::optional<PageFetch> &ahead,
                  kojelly_buf *url, kojelly_resp *resp, BodyRoom::Loan *loan) {
    if (ahead) {
        if (ahead->next_is(start)) return ahead->take(url, resp, loan, call.err);
        // The pages ahead no longer follow the listing (a page held more than was asked for):
        // they are dropped and the listing goes on one page at a time.
        ahead.reset();
    }
    if (!page_url(url, call.base(), folder_id, start)) return call.err.out_of_memory();
    return call.send(url->data, nullptr, resp, loan);
}

// All pages of a folder that exists, appended to list. Pages are merged one after the other in
// start-index order, whichever thread fetched them.
int32_t list_pages(Call &call, const char *folder_id, kojelly_items *list, kojelly_buf *entries) {
    const int32_t lanes = call.cfg->parallel_pages;
    std::optional<PageFetch> ahead;
    int64_t start = 0;
    int budget = kPageBudget;
    for (bool first = true;; first = false) {
        OwnedBuf url;
        OwnedResp resp;
        BodyRoom::Loan loan{&call.room};
        if (const int32_t sent =
                next_page(call, folder_id, start, ahead, url.get(), resp.get(), &loan))
            return sent;
        if (const int32_t code =
                judge(resp.get(), KOJELLY_ENOTFOUND, kListLabel, url.c_str(), call.err))
            return code;
        uint64_t counted = 0;
        int64_t total = -1;
        if (const int32_t parsed = take_page(call, resp.get(), list, entries, &counted, &total))
            return parsed;
        // The body's memory serves the next page, whichever thread fetches it.
        call.room.give_back(resp.get(), loan);

        // The page counter includes duplicates and unusable elements: a full page means the
        // server may have more, whatever this list kept of it.
        start += static_cast<int64_t>(counted);
        const bool more =
            counted >= static_cast<uint64_t>(kPageSize) && (total < 0 || total > start);
        if (!more) return KOJELLY_OK;
        if (--budget == 0)
            return call.err.fail(KOJELLY_EFAIL, "folder needs more than %d pages", kPageBudget);

        // A full first page with a total: the pages up to that total, as far as the budget
        // reaches, can be asked for at once. Without a total the listing stays one page at a
        // time, since nothing says where it ends.
        if (first && lanes > 1 && counted == static_cast<uint64_t>(kPageSize) && total > start) {
            const uint64_t left = static_cast<uint64_t>(total - start);
            uint64_t count =
                (left + static_cast<uint64_t>(kPageSize) - 1) / static_cast<uint64_t>(kPageSize);
            if (count > static_cast<uint64_t>(budget)) count = static_cast<uint64_t>(budget);
            ahead.emplace(call, folder_id, start, count, lanes);
            if (!ahead->start()) ahead.reset();
        }
    }
}

}  // namespace

int32_t lookup(Call &call, const char *id, kojelly_items *list, const kojelly_item **item) {
    *item = nullptr;
    const char *user_id = call.session.record().user_id;
    OwnedBuf url;
    const bool made = user_id ? url_of(url.get(), call, "/Users/", user_id, "/Items/", id)
                              : url_of(url.get(), call, "/Items") &&
                                    kojelly_buf_query(url.get(), "Ids", id) == 0 &&
                                    kojelly_buf_query(url.get(), "Fields", kLookupFields) == 0;
    if (!made) return call.err.out_of_memory();
    OwnedResp resp;
    if (const int32_t sent = call.send(url.c_str(), nullptr, resp.get())) return sent;
    if (resp->status == kStatusNotFound) return KOJELLY_OK;
    if (const int32_t code =
            judge(resp.get(), KOJELLY_ENOTFOUND, kLookupLabel, url.c_str(), call.err))
        return code;

    if (user_id) {
        OwnedItem one;
        if (const int32_t code =
                kojelly_parse_item(resp->body, resp->body_len, one.get(), call.err))
            return code;
        if (kojelly_acc_grow(list, 1) != 0) return call.err.out_of_memory();
        list->items[list->count++] = one.release();
    } else if (const int32_t code = kojelly_parse_items_page(resp->body, resp->body_len, list,
                                                             nullptr, nullptr, call.err)) {
        return code;
    }
    *item = find(list, id);
    return KOJELLY_OK;
}

int32_t look(Call &call, const char *id, Found *found) {
    *found = Found::kNothing;
    OwnedItems list;
    const kojelly_item *item = nullptr;
    if (const int32_t code = lookup(call, id, list.get(), &item)) return code;
    if (item) *found = item->folder ? Found::kFolder : Found::kFile;
    return KOJELLY_OK;
}

int32_t do_list(Call &call, const char *folder_id, kojelly_items *list, kojelly_buf *entries) {
    if (!folder_id || !*folder_id) return list_root(call, list, entries);

    if (!kojelly_id_ok(folder_id)) return call.err.fail(KOJELLY_ENOTFOUND, "%s", kNotAnId);
    Found found;
    if (const int32_t code = look(call, folder_id, &found)) return code;
    if (found == Found::kNothing)
        return call.err.fail(KOJELLY_ENOTFOUND, "folder %s does not exist", folder_id);
    if (found == Found::kFile)
        return call.err.fail(KOJELLY_ENOTFOUND, "%s is a file, not a folder", folder_id);

    const int32_t code = list_pages(call, folder_id, list, entries);
    if (code != KOJELLY_OK || list->count > 0) return code;

    // An empty listing is also what a folder deleted meanwhile gives: look again.
    if (const int32_t again = look(call, folder_id, &found)) return again;
    if (found == Found::kFolder) return KOJELLY_OK;
    kojelly_items_free(list);
    return call.err.fail(KOJELLY_ENOTFOUND, "folder %s does not exist%s", folder_id,
                         found == Found::kNothing ? "" : " (it is a file)");
}

int32_t op_list(Call &call, const char *folder_id, kojelly_buf *answer) {
    // Entries are written page by page as they arrive; the list keeps only the ids that drop
    // duplicates, so a folder of 100000 items is never held as records beside its listing.
    // A failure leaves no partial listing behind.
    OwnedItems ids;
    int32_t code =
        kojelly_buf_adds(answer, kListingOpen) == 0 ? KOJELLY_OK : call.err.out_of_memory();
    if (code == KOJELLY_OK) code = do_list(call, folder_id, ids.get(), answer);
    if (code == KOJELLY_OK && kojelly_buf_adds(answer, kListingClose) != 0)
        code = call.err.out_of_memory();
    if (code != KOJELLY_OK) kojelly_buf_free(answer);
    return code;
}

}  // namespace kojelly

int32_t kojelly_do_list(kojelly::Call &call, const char *folder_id, kojelly_items *list) {
    return kojelly::do_list(call, folder_id, list, nullptr);
}
