// Folder lookup, and folder and root listing with paging.
#include "client/kojelly_list.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <optional>

#include "client/kojelly_pages.hpp"
#include "client/kojelly_session.hpp"
#include "util/kojelly_cfg.hpp"
#include "util/kojelly_http.hpp"
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

using kojelly::say;

const char *base_of(const kojelly_sess *sess) {
    return sess->cfg && sess->cfg->base_url ? sess->cfg->base_url : "";
}

// base + path; false when memory runs out.
bool url_of(kojelly_buf *url, const kojelly_sess *sess, const char *path) {
    return kojelly_buf_adds(url, base_of(sess)) == 0 && kojelly_buf_adds(url, path) == 0;
}

// The last record of list whose id is exactly id, or NULL.
const kojelly_item *find(const kojelly_items *list, const char *id) {
    for (uint64_t i = list->count; i > 0; --i) {
        const kojelly_item &item = list->items[i - 1];
        if (item.id && std::strcmp(item.id, id) == 0) return &item;
    }
    return nullptr;
}

// One /Items page into list, or, given entries, straight into listing entries (with the
// listing's scratch, when there is one).
int32_t take_page(const kojelly_resp *resp, kojelly_items *list, kojelly_buf *entries,
                  uint64_t *counted, int64_t *total, char *msg, size_t msg_size,
                  PageScratch *scratch = nullptr) {
    return entries ? kojelly_page_entries(resp->body, resp->body_len, list, entries, counted, total,
                                          msg, msg_size, scratch)
                   : kojelly_parse_items_page(resp->body, resp->body_len, list, counted, total, msg,
                                              msg_size);
}

// The root: the user's views. Servers that resolve no /UserViews for this session (an API key
// has no user on current Jellyfin; Emby has no such path) answer 400 or 404; they serve the
// same page at /Library/MediaFolders (API key) or /Users/{user id}/Views (login).
int32_t list_root(kojelly_sess *sess, kojelly_items *list, kojelly_buf *entries, char *msg,
                  size_t msg_size) {
    OwnedBuf url;
    if (!url_of(url.get(), sess, "/UserViews")) return kojelly::out_of_memory(msg, msg_size);
    OwnedResp resp;
    if (const int32_t sent = api_call(sess, url.get(), nullptr, resp.get(), msg, msg_size))
        return sent;

    if (resp->status == kStatusBadRequest || resp->status == kStatusNotFound) {
        kojelly_resp_free(resp.get());
        kojelly_buf_free(url.get());
        const bool made = sess->user_id ? url_of(url.get(), sess, "/Users/") &&
                                              kojelly_buf_adds(url.get(), sess->user_id) == 0 &&
                                              kojelly_buf_adds(url.get(), "/Views") == 0
                                        : url_of(url.get(), sess, "/Library/MediaFolders");
        if (!made) return kojelly::out_of_memory(msg, msg_size);
        if (const int32_t sent = api_call(sess, url.get(), nullptr, resp.get(), msg, msg_size))
            return sent;
    }

    if (const int32_t code =
            judge(resp.get(), KOJELLY_EFAIL, kViewsLabel, url.c_str(), msg, msg_size))
        return code;
    return take_page(resp.get(), list, entries, nullptr, nullptr, msg, msg_size);
}

// The folder page that starts at start, from the pages fetched ahead when they hold it, else
// fetched here into room. 0 with its URL and answer, or the status code of its request.
int32_t next_page(kojelly_sess *sess, const char *folder_id, int64_t start,
                  std::optional<PageFetch> &ahead, BodyRoom *room, kojelly_buf *url,
                  kojelly_resp *resp, char *msg, size_t msg_size) {
    if (ahead) {
        if (ahead->next_is(start)) return ahead->take(url, resp, msg, msg_size);
        // The pages ahead no longer follow the listing (a page held more than was asked for):
        // they are dropped and the listing goes on one page at a time.
        ahead.reset();
    }
    if (!page_url(url, sess, folder_id, start)) return kojelly::out_of_memory(msg, msg_size);
    return api_call(sess, url, nullptr, resp, msg, msg_size, room);
}

// All pages of a folder that exists, appended to list. Pages are merged one after the other in
// start-index order, whichever thread fetched them.
int32_t list_pages(kojelly_sess *sess, const char *folder_id, kojelly_items *list,
                   kojelly_buf *entries, char *msg, size_t msg_size) {
    const int32_t lanes = sess->cfg ? sess->cfg->parallel_pages : 1;
    // The memory of one page (its body, its document) serves the next, whichever thread fetched
    // it. Declared before the pages fetched ahead, whose workers collect into its room: they
    // stop before it goes.
    PageScratch scratch;
    std::optional<PageFetch> ahead;
    int64_t start = 0;
    int budget = kPageBudget;
    for (bool first = true;; first = false) {
        OwnedBuf url;
        OwnedResp resp;
        if (const int32_t sent =
                next_page(sess, folder_id, start, ahead, &scratch.room, url.get(), resp.get(), msg,
                          msg_size))
            return sent;
        if (const int32_t code =
                judge(resp.get(), KOJELLY_ENOTFOUND, kListLabel, url.c_str(), msg, msg_size))
            return code;
        uint64_t counted = 0;
        int64_t total = -1;
        const int parsed =
            take_page(resp.get(), list, entries, &counted, &total, msg, msg_size, &scratch);
        if (parsed != KOJELLY_OK) return parsed;
        scratch.room.reclaim(resp.get());

        // The page counter includes duplicates and unusable elements: a full page means the
        // server may have more, whatever this list kept of it.
        start += static_cast<int64_t>(counted);
        const bool more =
            counted >= static_cast<uint64_t>(kPageSize) && (total < 0 || total > start);
        if (!more) return KOJELLY_OK;
        if (--budget == 0) {
            say(msg, msg_size, "folder needs more than %d pages", kPageBudget);
            return KOJELLY_EFAIL;
        }

        // A full first page with a total: the pages up to that total, as far as the budget
        // reaches, can be asked for at once. Without a total the listing stays one page at a
        // time, since nothing says where it ends.
        if (first && lanes > 1 && counted == static_cast<uint64_t>(kPageSize) && total > start) {
            const uint64_t left = static_cast<uint64_t>(total - start);
            uint64_t count = (left + static_cast<uint64_t>(kPageSize) - 1) /
                             static_cast<uint64_t>(kPageSize);
            if (count > static_cast<uint64_t>(budget)) count = static_cast<uint64_t>(budget);
            ahead.emplace(sess, folder_id, start, count, lanes, &scratch.room);
            if (!ahead->start()) ahead.reset();
        }
    }
}

}  // namespace

int32_t lookup(kojelly_sess *sess, const char *id, kojelly_items *list, char *msg,
               size_t msg_size) {
    OwnedBuf url;
    const bool made = sess->user_id
                          ? url_of(url.get(), sess, "/Users/") &&
                                kojelly_buf_adds(url.get(), sess->user_id) == 0 &&
                                kojelly_buf_adds(url.get(), "/Items/") == 0 &&
                                kojelly_buf_adds(url.get(), id) == 0
                          : url_of(url.get(), sess, "/Items") &&
                                kojelly_buf_query(url.get(), "Ids", id) == 0 &&
                                kojelly_buf_query(url.get(), "Fields", kLookupFields) == 0;
    if (!made) return kojelly::out_of_memory(msg, msg_size);
    OwnedResp resp;
    if (const int32_t sent = api_call(sess, url.get(), nullptr, resp.get(), msg, msg_size))
        return sent;
    if (resp->status == kStatusNotFound) return 0;
    if (const int32_t code =
            judge(resp.get(), KOJELLY_ENOTFOUND, kLookupLabel, url.c_str(), msg, msg_size))
        return code;

    if (sess->user_id) {
        OwnedItem item;
        const int parsed =
            kojelly_parse_item(resp->body, resp->body_len, item.get(), msg, msg_size);
        if (parsed != KOJELLY_OK) return parsed;
        if (kojelly_acc_grow(list, 1) != 0) return kojelly::out_of_memory(msg, msg_size);
        list->items[list->count++] = item.release();
    } else {
        const int parsed = kojelly_parse_items_page(resp->body, resp->body_len, list, nullptr,
                                                    nullptr, msg, msg_size);
        if (parsed != KOJELLY_OK) return parsed;
    }
    return find(list, id) ? 1 : 0;
}

int32_t exists(kojelly_sess *sess, const char *id, int32_t *folder, char *msg, size_t msg_size) {
    *folder = 0;
    OwnedItems list;
    const int32_t r = lookup(sess, id, list.get(), msg, msg_size);
    if (r == 1) *folder = find(list.get(), id)->folder;
    return r;
}

int32_t do_list(kojelly_sess *sess, const char *folder_id, kojelly_items *list,
                kojelly_buf *entries, char *msg, size_t msg_size) {
    if (!folder_id || !*folder_id) return list_root(sess, list, entries, msg, msg_size);

    if (!kojelly_id_ok(folder_id)) {
        say(msg, msg_size, "%s", kNotAnId);
        return KOJELLY_ENOTFOUND;
    }
    int32_t folder = 0;
    int32_t r = exists(sess, folder_id, &folder, msg, msg_size);
    if (r < 0) return r;
    if (r == 0) {
        say(msg, msg_size, "folder %s does not exist", folder_id);
        return KOJELLY_ENOTFOUND;
    }
    if (!folder) {
        say(msg, msg_size, "%s is a file, not a folder", folder_id);
        return KOJELLY_ENOTFOUND;
    }

    const int32_t code = list_pages(sess, folder_id, list, entries, msg, msg_size);
    if (code != KOJELLY_OK || list->count > 0) return code;

    // An empty listing is also what a folder deleted meanwhile gives: look again.
    r = exists(sess, folder_id, &folder, msg, msg_size);
    if (r < 0) return r;
    if (r == 1 && folder) return KOJELLY_OK;
    kojelly_items_free(list);
    say(msg, msg_size, "folder %s does not exist%s", folder_id, r == 0 ? "" : " (it is a file)");
    return KOJELLY_ENOTFOUND;
}

int32_t op_list(kojelly_sess *sess, const char *folder_id, kojelly_buf *answer, char *msg,
                size_t msg_size) {
    // Entries are written page by page as they arrive; the list keeps only the ids that drop
    // duplicates, so a folder of 100000 items is never held as records beside its listing.
    // A failure leaves no partial listing behind.
    OwnedItems ids;
    int32_t code = KOJELLY_OK;
    if (kojelly_buf_adds(answer, kListingOpen) != 0) {
        say(msg, msg_size, "%s", kOutOfMemory);
        code = KOJELLY_EFAIL;
    }
    if (code == KOJELLY_OK) code = do_list(sess, folder_id, ids.get(), answer, msg, msg_size);
    if (code == KOJELLY_OK && kojelly_buf_adds(answer, kListingClose) != 0) {
        say(msg, msg_size, "%s", kOutOfMemory);
        code = KOJELLY_EFAIL;
    }
    if (code != KOJELLY_OK) kojelly_buf_free(answer);
    return code;
}

}  // namespace kojelly

int32_t kojelly_do_list(kojelly_sess *sess, const char *folder_id, kojelly_items *list, char *msg,
                        size_t msg_size) {
    return kojelly::do_list(sess, folder_id, list, nullptr, msg, msg_size);
}
