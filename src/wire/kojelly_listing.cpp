// The listing JSON of a folder.
#include "wire/kojelly_listing.hpp"

int kojelly_item_json(kojelly_buf *b, const kojelly_item *item) {
    // "available" tells the host that the server knows the work well enough to name it.
    const bool available = item->title && item->year != 0;
    if (kojelly_buf_adds(b, "{\"name\":") || kojelly_buf_json_str(b, item->name) ||
        kojelly_buf_adds(b, ",\"path\":") || kojelly_buf_json_str(b, item->id) ||
        kojelly_buf_adds(b, item->folder ? ",\"folder\":true,\"kind\":\"dir\""
                                         : ",\"folder\":false,\"kind\":\"file\"") ||
        kojelly_buf_addf(b, ",\"size\":%lld,\"mtime_ms\":-1", static_cast<long long>(item->size)) ||
        kojelly_buf_adds(b, ",\"id\":") || kojelly_buf_json_str(b, item->id) ||
        kojelly_buf_adds(b, ",\"parent_id\":") || kojelly_buf_json_str(b, item->parent_id) ||
        kojelly_buf_adds(b, ",\"title\":") || kojelly_buf_json_str(b, item->title))
        return -1;
    if (item->year ? kojelly_buf_addf(b, ",\"year\":%d", static_cast<int>(item->year))
                   : kojelly_buf_adds(b, ",\"year\":null"))
        return -1;
    if (kojelly_buf_adds(b, ",\"type\":") || kojelly_buf_json_str(b, item->type) ||
        kojelly_buf_adds(b, ",\"media_type\":") || kojelly_buf_json_str(b, item->media_type) ||
        kojelly_buf_adds(b, ",\"container\":") || kojelly_buf_json_str(b, item->container) ||
        kojelly_buf_adds(b, ",\"imdb\":") || kojelly_buf_json_str(b, item->imdb) ||
        kojelly_buf_adds(b, ",\"tmdb\":") || kojelly_buf_json_str(b, item->tmdb) ||
        kojelly_buf_adds(b, available ? ",\"available\":true}" : ",\"available\":false}"))
        return -1;
    return 0;
}

int kojelly_items_json(kojelly_buf *b, const kojelly_items *list) {
    if (kojelly_buf_adds(b, "{\"items\":[")) return -1;
    for (uint64_t i = 0; i < list->count; ++i) {
        if (i > 0 && kojelly_buf_adds(b, ",")) return -1;
        if (kojelly_item_json(b, &list->items[i])) return -1;
    }
    return kojelly_buf_adds(b, "]}");
}
