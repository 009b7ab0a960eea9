// The listing JSON of a folder.
#include "wire/kojelly_listing.hpp"

#include <cstdint>

using Out = kojelly::BufWriter;

int kojelly_item_json(kojelly_buf *b, const kojelly_item *item) {
    return kojelly::item_json(b, item, UINT64_MAX);
}

int kojelly::item_json(kojelly_buf *b, const kojelly_item *item, uint64_t limit) {
    // "available" tells the host that the server knows the work well enough to name it.
    const bool available = item->title && item->year != 0;
    Out o(b, limit);
    o.piece("{\"name\":").str(item->name).piece(",\"path\":").str(item->id);
    if (item->folder) {
        o.piece(",\"folder\":true,\"kind\":\"dir\"");
    } else {
        o.piece(",\"folder\":false,\"kind\":\"file\"");
    }
    o.piece(",\"size\":").number(item->size).piece(",\"mtime_ms\":-1");
    o.piece(",\"id\":").str(item->id).piece(",\"parent_id\":").str(item->parent_id);
    o.piece(",\"title\":").str(item->title);
    if (item->year) {
        o.piece(",\"year\":").number(item->year);
    } else {
        o.piece(",\"year\":null");
    }
    o.piece(",\"type\":").str(item->type).piece(",\"media_type\":").str(item->media_type);
    o.piece(",\"container\":").str(item->container);
    o.piece(",\"imdb\":").str(item->imdb).piece(",\"tmdb\":").str(item->tmdb);
    if (available) {
        o.piece(",\"available\":true}");
    } else {
        o.piece(",\"available\":false}");
    }
    return o.result();
}

int kojelly_items_json(kojelly_buf *b, const kojelly_items *list) {
    Out o(b);
    o.piece(kojelly::kListingOpen);
    for (uint64_t i = 0; i < list->count && o.result() == 0; ++i) {
        if (i > 0) o.piece(",");
        if (o.result() == 0 && kojelly_item_json(b, &list->items[i]) != 0) return -1;
    }
    return o.piece(kojelly::kListingClose).result();
}
