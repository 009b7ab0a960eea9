// The library that the demo server serves, generated from fixed seeds so that every run and every
// test sees the same items: two views, a movie library large enough to need several pages
// (1200 movies by default, a few with awkward names) and a shows library with series, seasons,
// episodes and plain nested folders (one of them empty). Item ids are written the way the
// imitated server flavour writes them. It also owns the stream bytes of every file, computed from
// the item id and the offset so that any byte range of any file is reproducible without storing
// anything.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace kojelly::cli {

constexpr int kDemoMovies = 1200;

// The server the demo imitates. jellyfin: a current Jellyfin server (item ids of 32 hex digits,
// no /UserViews for an API key); emby: an Emby server (numeric item ids, views only at
// /Users/{id}/Views).
enum class DemoFlavour { jellyfin, emby };

// "jellyfin" or "emby".
const char *flavour_name(DemoFlavour flavour);
// The flavour with this name; false for any other text.
[[nodiscard]] bool parse_flavour(std::string_view name, DemoFlavour &out);

struct DemoItem {
    std::string id;  // 32 lower-case hex digits (jellyfin) or a decimal number (emby)
    std::string parent_id;
    std::string name;
    std::string sort_name;
    std::string type;             // CollectionFolder, Movie, Series, Season, Episode, Folder, Video
    std::string collection_type;  // views only: "movies", "tvshows"
    std::string container;        // files only
    std::string imdb;
    std::string tmdb;
    std::string path;  // files only: where the server would keep it
    bool folder = false;
    int year = 0;            // 0: not known
    std::int64_t size = -1;  // files only
    std::int64_t run_ticks = 0;
    int index_number = 0;               // seasons and episodes
    std::vector<std::size_t> children;  // positions in items(), in sort-name order
};

class DemoLibrary {
public:
    explicit DemoLibrary(int movie_count = kDemoMovies,
                         DemoFlavour flavour = DemoFlavour::jellyfin);

    const std::vector<DemoItem> &items() const { return items_; }
    const DemoItem *find(std::string_view id) const;
    const std::vector<std::size_t> &views() const { return views_; }
    const DemoItem &movies() const { return items_[movies_]; }
    const DemoItem &shows() const { return items_[shows_]; }
    const std::string &server_id() const { return server_id_; }
    const std::string &user_id() const { return user_id_; }
    DemoFlavour flavour() const { return flavour_; }

    // A folder of the endless tree that a server may be told to serve beside the library, for
    // tests of a walk that would never end: any id names one. Its children are count new
    // folders whose ids, of the flavour's form, follow from the parent's id, so that every walk
    // meets the same tree.
    DemoItem endless_folder(std::string_view id) const;
    std::vector<DemoItem> endless_children(std::string_view parent_id, int count) const;

    // Adds a movie that stands for a real file to the Movies library, in its place by name, and
    // returns it: no year, no known running time. The library is otherwise fixed once built, so
    // this is called before anyone reads it (the server does so before it starts).
    const DemoItem &add_movie_file(std::string name, std::string container, std::int64_t size,
                                   std::string path);

private:
    void sort_children(DemoItem &folder);
    std::size_t add(DemoItem item, std::size_t parent);
    std::size_t add_view(std::string name, std::string collection_type);
    void add_movies(int count);
    void add_shows();
    std::string next_id();
    std::string next_item_id();

    DemoFlavour flavour_;
    std::vector<DemoItem> items_;
    std::unordered_map<std::string, std::size_t> by_id_;
    std::vector<std::size_t> views_;
    std::size_t movies_ = 0;
    std::size_t shows_ = 0;
    std::uint64_t id_state_ = 0;
    std::uint64_t pick_state_ = 0;
    std::uint64_t next_number_ = 0;
    std::string server_id_;
    std::string user_id_;
};

// Writes count stream bytes of the file with this id, starting at offset. The same offset gives
// the same byte in every request, whatever range it falls in.
void demo_bytes(std::string_view id, std::uint64_t offset, char *out, std::size_t count);

}  // namespace kojelly::cli
