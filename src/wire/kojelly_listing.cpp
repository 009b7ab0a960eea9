// The listing JSON of a folder.
#include "wire/kojelly_listing.hpp"

#include <charconv>
#include <cstdint>

namespace {

// Appends pieces until one fails; later pieces are skipped, so the text stops at the failure.
// A listing holds up to 100000 entries of some thirty pieces each: fixed pieces carry their
// length from compile time and numbers are formatted without printf.
class Out {
public:
    explicit Out(kojelly_buf *b) : b_(b) {}

    template <size_t N>
    Out &piece(const char (&text)[N]) {
        ok_ = ok_ && kojelly_buf_add(b_, text, N - 1) == 0;
        return *this;
    }
    Out &str(const char *text) {
        ok_ = ok_ && kojelly_buf_json_str(b_, text) == 0;
        return *this;
    }
    Out &number(long long v) {
        char digits[24];
        const auto r = std::to_chars(digits, digits + sizeof digits, v);
        ok_ = ok_ && kojelly_buf_add(b_, digits, static_cast<uint64_t>(r.ptr - digits)) == 0;
        return *this;
    }
    int result() const { return ok_ ? 0 : -1; }

private:
    kojelly_buf *b_;
    bool ok_ = true;
};

}  // namespace

int kojelly_item_json(kojelly_buf *b, const kojelly_item *item) {
    // "available" tells the host that the server knows the work well enough to name it.
    const bool available = item->title && item->year != 0;
    Out o(b);
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
