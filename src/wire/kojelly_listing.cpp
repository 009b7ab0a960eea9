// The listing JSON of a folder.
#include "wire/kojelly_listing.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>

namespace {

using Out = kojelly::BufWriter;
using kojelly::EntryTexts;

// A text of the entry with its width as a JSON string literal.
struct Measured {
    std::string_view text;
    uint64_t width;
};

Measured measured(std::string_view text) {
    return Measured{text, kojelly::json_str_width(text)};
}

// Adds up the bytes of an entry's pieces.
struct Count {
    uint64_t bytes = 0;
    template <size_t N>
    void piece(const char (&)[N]) {
        bytes += N - 1;
    }
    void raw(std::string_view text) { bytes += text.size(); }
    void str(const Measured &m) { bytes += m.width; }
};

// Writes an entry's pieces into room made for them. Fixed pieces carry their length from
// compile time, so each is copied by a few moves rather than a call.
struct Put {
    char *at;
    template <size_t N>
    void piece(const char (&text)[N]) {
        std::memcpy(at, text, N - 1);
        at += N - 1;
    }
    void raw(std::string_view text) {
        std::memcpy(at, text.data(), text.size());
        at += text.size();
    }
    void str(const Measured &m) { at = kojelly::json_str_put(at, m.text, m.width); }
};

// The texts of an entry, measured once for both passes.
struct Measures {
    Measured name, id, parent_id, title, type, media_type, container, imdb, tmdb;
};

// One entry, all sixteen members in their fixed order, the same sequence counted and written.
template <typename Sink>
void entry_pieces(Sink &o, const EntryTexts &e, const Measures &m, std::string_view size,
                  std::string_view year, bool comma) {
    // "available" tells the host that the server knows the work well enough to name it.
    const bool available = e.title.data() && e.year != 0;
    if (comma) o.piece(",");
    o.piece("{\"name\":");
    o.str(m.name);
    o.piece(",\"path\":");
    o.str(m.id);
    if (e.folder) {
        o.piece(",\"folder\":true,\"kind\":\"dir\"");
    } else {
        o.piece(",\"folder\":false,\"kind\":\"file\"");
    }
    o.piece(",\"size\":");
    o.raw(size);
    o.piece(",\"mtime_ms\":-1");
    o.piece(",\"id\":");
    o.str(m.id);
    o.piece(",\"parent_id\":");
    o.str(m.parent_id);
    o.piece(",\"title\":");
    o.str(m.title);
    if (e.year) {
        o.piece(",\"year\":");
        o.raw(year);
    } else {
        o.piece(",\"year\":null");
    }
    o.piece(",\"type\":");
    o.str(m.type);
    o.piece(",\"media_type\":");
    o.str(m.media_type);
    o.piece(",\"container\":");
    o.str(m.container);
    o.piece(",\"imdb\":");
    o.str(m.imdb);
    o.piece(",\"tmdb\":");
    o.str(m.tmdb);
    if (available) {
        o.piece(",\"available\":true}");
    } else {
        o.piece(",\"available\":false}");
    }
}

// A text of a record: the whole C string, or none for NULL.
std::string_view view_of(const char *text) {
    return text ? std::string_view(text) : std::string_view();
}

}  // namespace

int kojelly_item_json(kojelly_buf *b, const kojelly_item *item) {
    return kojelly::item_json(b, item, UINT64_MAX);
}

int kojelly::item_json(kojelly_buf *b, const kojelly_item *item, uint64_t limit) {
    const EntryTexts e{view_of(item->name),       view_of(item->id),
                       view_of(item->parent_id),  view_of(item->title),
                       view_of(item->type),       view_of(item->media_type),
                       view_of(item->container),  view_of(item->imdb),
                       view_of(item->tmdb),       item->folder,
                       item->year,                item->size};
    return entry_json(b, e, false, limit);
}

int kojelly::entry_json(kojelly_buf *b, const EntryTexts &e, bool comma, uint64_t limit) {
    // The whole entry is measured first: the limit is tested once, the buffer grows at most
    // once, and the pieces are then written straight into it.
    const Measures m{measured(e.name),      measured(e.id),        measured(e.parent_id),
                     measured(e.title),     measured(e.type),      measured(e.media_type),
                     measured(e.container), measured(e.imdb),      measured(e.tmdb)};
    char size_digits[24];
    char year_digits[24];
    const auto size_end = std::to_chars(size_digits, size_digits + sizeof size_digits, e.size);
    const auto year_end = std::to_chars(year_digits, year_digits + sizeof year_digits, e.year);
    const std::string_view size(size_digits, static_cast<size_t>(size_end.ptr - size_digits));
    const std::string_view year(year_digits, static_cast<size_t>(year_end.ptr - year_digits));

    Count count;
    entry_pieces(count, e, m, size, year, comma);
    if (count.bytes > limit || b->len > limit - count.bytes) return kOverLimit;
    char *at = space(b, count.bytes);
    if (!at) return -1;
    Put put{at};
    entry_pieces(put, e, m, size, year, comma);
    extend(b, count.bytes);
    return 0;
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
