// The generated demo library; see demo_library.hpp.
#include "demo_library.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr std::uint64_t kIdSeed = 0x6b6f6a656c6c7931ULL;
constexpr std::uint64_t kPickSeed = 0x64656d6f6c696232ULL;
constexpr std::uint64_t kFnvOffset = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr std::int64_t kTicksPerMinute = 600000000LL;
constexpr int kFirstYear = 1950;
constexpr int kYearSpan = 75;
constexpr int kNoYearEvery = 97;  // every 97th movie has no production year
constexpr std::int64_t kMovieMinBytes = 700000000LL;
constexpr std::int64_t kMovieSpanBytes = 7300000000LL;
constexpr std::int64_t kEpisodeMinBytes = 200000000LL;
constexpr std::int64_t kEpisodeSpanBytes = 1300000000LL;
constexpr std::int64_t kExtraMinBytes = 20000000LL;
constexpr std::int64_t kExtraSpanBytes = 300000000LL;
// Numeric ids count up from here; the lower ones belong to the server's own folders.
constexpr std::uint64_t kFirstNumericId = 101;

struct FlavourName {
    DemoFlavour flavour;
    std::string_view name;
};
constexpr std::array<FlavourName, 2> kFlavourNames = {{
    {DemoFlavour::jellyfin, "jellyfin"},
    {DemoFlavour::emby, "emby"},
}};

constexpr std::array<const char *, 30> kAdjectives = {
    "Silent",   "Crimson",  "Hidden",   "Broken",    "Golden",    "Last",    "Distant", "Frozen",
    "Burning",  "Quiet",    "Electric", "Wandering", "Lost",      "Endless", "Secret",  "Savage",
    "Gentle",   "Hollow",   "Midnight", "Iron",      "Paper",     "Velvet",  "Wild",    "Glass",
    "Northern", "Shadowed", "Bright",   "Restless",  "Forgotten", "Little"};
constexpr std::array<const char *, 30> kNouns = {
    "Harbor",   "Horizon", "Garden",  "River",      "Empire",   "Station",  "Orchard", "Mirror",
    "Kingdom",  "Signal",  "Voyage",  "Lighthouse", "Frontier", "Machine",  "Circus",  "Island",
    "Winter",   "Letter",  "Compass", "Canyon",     "Archive",  "Carnival", "Monsoon", "Lantern",
    "Meridian", "Parade",  "Tide",    "Citadel",    "Prairie",  "Refuge"};
constexpr std::array<const char *, 5> kContainers = {"mkv", "mp4", "mkv", "avi", "mkv"};

// Names that real libraries hold and that a host must survive: a slash, accents, quotes.
struct Awkward {
    const char *name;
    int year;
};
constexpr std::array<Awkward, 3> kAwkwardMovies = {{
    {"AC/DC: Let There Be Rock", 1980},
    {"Amélie", 2001},
    {"\"Crocodile\" Dundee", 1986},
}};

struct Series {
    const char *name;
    int year;
};
constexpr std::array<Series, 8> kSeries = {{
    {"Northern Lights", 2011},
    {"The Quiet Station", 2016},
    {"Harbor Nights", 1998},
    {"Paper Kingdoms", 2019},
    {"Signal Lost", 2007},
    {"Iron Orchard", 2022},
    {"Glass Frontier", 2014},
    {"Velvet Tide", 2003},
}};

std::uint64_t splitmix(std::uint64_t &state) {
    std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

std::uint64_t fnv1a(std::string_view text) {
    std::uint64_t h = kFnvOffset;
    for (const char c : text) {
        h ^= static_cast<unsigned char>(c);
        h *= kFnvPrime;
    }
    return h;
}

// Articles and leading punctuation do not count when the server sorts by name.
std::string sort_name_of(std::string_view name) {
    std::string s = lower(name);
    std::size_t start = 0;
    while (start < s.size() && !std::isalnum(static_cast<unsigned char>(s[start])) &&
           static_cast<unsigned char>(s[start]) < 0x80)
        ++start;
    s.erase(0, start);
    for (const char *article : {"the ", "a ", "an "}) {
        if (s.starts_with(article)) {
            s.erase(0, std::string_view(article).size());
            break;
        }
    }
    return s;
}

std::string numbered(int n) {
    std::array<char, 16> text{};
    std::snprintf(text.data(), text.size(), "%04d", n);
    return text.data();
}

}  // namespace

const char *flavour_name(DemoFlavour flavour) {
    for (const FlavourName &f : kFlavourNames) {
        if (f.flavour == flavour) return f.name.data();
    }
    return "?";
}

bool parse_flavour(std::string_view name, DemoFlavour &out) {
    for (const FlavourName &f : kFlavourNames) {
        if (f.name == name) {
            out = f.flavour;
            return true;
        }
    }
    return false;
}

DemoLibrary::DemoLibrary(int movie_count, DemoFlavour flavour)
    : flavour_(flavour), id_state_(kIdSeed), pick_state_(kPickSeed), next_number_(kFirstNumericId) {
    server_id_ = next_id();
    user_id_ = next_id();
    movies_ = add_view("Movies", "movies");
    shows_ = add_view("Shows", "tvshows");
    add_movies(movie_count);
    add_shows();
    for (auto &item : items_) sort_children(item);
}

void DemoLibrary::sort_children(DemoItem &folder) {
    std::stable_sort(folder.children.begin(), folder.children.end(),
                     [this](std::size_t a, std::size_t b) {
                         const DemoItem &x = items_[a];
                         const DemoItem &y = items_[b];
                         if (x.sort_name != y.sort_name) return x.sort_name < y.sort_name;
                         if (x.year != y.year) return x.year < y.year;
                         return x.id < y.id;
                     });
}

const DemoItem &DemoLibrary::add_movie_file(std::string name, std::string container,
                                            std::int64_t size, std::string path) {
    DemoItem m;
    m.name = std::move(name);
    m.type = "Movie";
    m.container = std::move(container);
    m.size = size;
    m.path = std::move(path);
    const std::size_t pos = add(std::move(m), movies_);
    sort_children(items_[movies_]);
    return items_[pos];
}

const DemoItem *DemoLibrary::find(std::string_view id) const {
    const auto it = by_id_.find(lower(id));
    return it == by_id_.end() ? nullptr : &items_[it->second];
}

std::string DemoLibrary::next_id() {
    const std::uint64_t hi = splitmix(id_state_);
    return hex128(hi, splitmix(id_state_));
}

// Server and user ids are hexadecimal in both flavours; only item ids differ.
std::string DemoLibrary::next_item_id() {
    if (flavour_ == DemoFlavour::emby) return std::to_string(next_number_++);
    return next_id();
}

std::size_t DemoLibrary::add(DemoItem item, std::size_t parent) {
    item.id = next_item_id();
    if (item.sort_name.empty()) item.sort_name = sort_name_of(item.name);
    const std::size_t pos = items_.size();
    if (parent != pos) {
        item.parent_id = items_[parent].id;
        items_[parent].children.push_back(pos);
    }
    by_id_.emplace(item.id, pos);
    items_.push_back(std::move(item));
    return pos;
}

DemoItem DemoLibrary::endless_folder(std::string_view id) const {
    DemoItem folder;
    folder.id = id;
    folder.name = "Deeper " + std::string(id.substr(0, 8));
    folder.sort_name = sort_name_of(folder.name);
    folder.type = "Folder";
    folder.folder = true;
    return folder;
}

std::vector<DemoItem> DemoLibrary::endless_children(std::string_view parent_id, int count) const {
    std::vector<DemoItem> children;
    std::uint64_t state = fnv1a(parent_id);
    for (int i = 0; i < count; ++i) {
        const std::uint64_t hi = splitmix(state);
        const std::uint64_t lo = splitmix(state);
        DemoItem child =
            endless_folder(flavour_ == DemoFlavour::emby ? std::to_string(hi) : hex128(hi, lo));
        child.parent_id = parent_id;
        children.push_back(std::move(child));
    }
    return children;
}

std::size_t DemoLibrary::add_view(std::string name, std::string collection_type) {
    DemoItem view;
    view.name = std::move(name);
    view.type = "CollectionFolder";
    view.collection_type = std::move(collection_type);
    view.folder = true;
    const std::size_t pos = add(std::move(view), items_.size());
    views_.push_back(pos);
    return pos;
}

void DemoLibrary::add_movies(int count) {
    for (int i = 0; i < count; ++i) {
        DemoItem m;
        const std::uint64_t r = splitmix(pick_state_);
        if (static_cast<std::size_t>(i) < kAwkwardMovies.size()) {
            m.name = kAwkwardMovies[i].name;
            m.year = kAwkwardMovies[i].year;
        } else {
            const char *adj = kAdjectives[r % kAdjectives.size()];
            const char *noun = kNouns[(r >> 8) % kNouns.size()];
            const char *other = kNouns[(r >> 16) % kNouns.size()];
            switch ((r >> 24) % 4) {
                case 0:
                    m.name = std::string("The ") + adj + " " + noun;
                    break;
                case 1:
                    m.name = std::string(adj) + " " + noun;
                    break;
                case 2:
                    m.name = std::string("A ") + adj + " " + noun;
                    break;
                default:
                    m.name = std::string(noun) + " of the " + adj + " " + other;
                    break;
            }
            m.year = i % kNoYearEvery == kNoYearEvery - 1
                         ? 0
                         : kFirstYear + static_cast<int>((r >> 32) % kYearSpan);
        }
        m.type = "Movie";
        m.container = kContainers[(r >> 40) % kContainers.size()];
        m.size =
            kMovieMinBytes + static_cast<std::int64_t>(splitmix(pick_state_) %
                                                       static_cast<std::uint64_t>(kMovieSpanBytes));
        m.run_ticks = (80 + static_cast<std::int64_t>((r >> 48) % 80)) * kTicksPerMinute;
        std::array<char, 16> imdb{};
        std::snprintf(imdb.data(), imdb.size(), "tt%07u", static_cast<unsigned>(r % 9999999));
        m.imdb = imdb.data();
        m.tmdb = std::to_string(100 + (r >> 20) % 900000);
        m.path = "/media/movies/" + m.name + "." + m.container;
        add(std::move(m), movies_);
    }
}

void DemoLibrary::add_shows() {
    for (const Series &s : kSeries) {
        DemoItem series;
        series.name = s.name;
        series.year = s.year;
        series.type = "Series";
        series.folder = true;
        series.tmdb = std::to_string(1000 + splitmix(pick_state_) % 90000);
        const std::size_t sp = add(std::move(series), shows_);
        const int seasons = 1 + static_cast<int>(splitmix(pick_state_) % 4);
        for (int n = 1; n <= seasons; ++n) {
            DemoItem season;
            season.name = "Season " + std::to_string(n);
            season.sort_name = numbered(n);
            season.type = "Season";
            season.folder = true;
            season.index_number = n;
            season.year = s.year + n - 1;
            const std::size_t pos = add(std::move(season), sp);
            const int episodes = 6 + static_cast<int>(splitmix(pick_state_) % 5);
            for (int e = 1; e <= episodes; ++e) {
                const std::uint64_t r = splitmix(pick_state_);
                DemoItem ep;
                ep.name = "Episode " + std::to_string(e) + ": " +
                          kAdjectives[r % kAdjectives.size()] + " " +
                          kNouns[(r >> 8) % kNouns.size()];
                ep.sort_name = numbered(e);
                ep.type = "Episode";
                ep.index_number = e;
                ep.year = s.year + n - 1;
                ep.container = kContainers[(r >> 16) % kContainers.size()];
                ep.size = kEpisodeMinBytes + static_cast<std::int64_t>(
                                                 r % static_cast<std::uint64_t>(kEpisodeSpanBytes));
                ep.run_ticks = (40 + static_cast<std::int64_t>((r >> 24) % 20)) * kTicksPerMinute;
                ep.path = std::string("/media/shows/") + s.name + "/Season " + std::to_string(n) +
                          "/" + ep.name + "." + ep.container;
                add(std::move(ep), pos);
            }
        }
    }
    // Plain folders nested below the library, as a server shows a directory it does not
    // recognise as a series: two levels deep, and one of them empty.
    DemoItem extras;
    extras.name = "Extras";
    extras.type = "Folder";
    extras.folder = true;
    const std::size_t ex = add(std::move(extras), shows_);
    const std::array<std::pair<const char *, int>, 3> folders = {
        {{"Behind the Scenes", 3}, {"Trailers", 2}, {"Empty Folder", 0}}};
    for (const auto &[name, videos] : folders) {
        DemoItem f;
        f.name = name;
        f.type = "Folder";
        f.folder = true;
        const std::size_t fp = add(std::move(f), ex);
        for (int v = 1; v <= videos; ++v) {
            const std::uint64_t r = splitmix(pick_state_);
            DemoItem video;
            video.name = std::string(name) + " " + std::to_string(v);
            video.type = "Video";
            video.container = "mp4";
            video.size = kExtraMinBytes +
                         static_cast<std::int64_t>(r % static_cast<std::uint64_t>(kExtraSpanBytes));
            video.run_ticks = (2 + static_cast<std::int64_t>(r % 10)) * kTicksPerMinute;
            video.path = std::string("/media/shows/Extras/") + name + "/" + video.name + ".mp4";
            add(std::move(video), fp);
        }
    }
}

void demo_bytes(std::string_view id, std::uint64_t offset, char *out, std::size_t count) {
    const std::uint64_t seed = fnv1a(id);
    std::uint64_t block = offset / 8;
    std::uint64_t state = seed + block * 0x9e3779b97f4a7c15ULL;
    std::uint64_t word = splitmix(state);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint64_t at = offset + i;
        if (at / 8 != block) {
            block = at / 8;
            state = seed + block * 0x9e3779b97f4a7c15ULL;
            word = splitmix(state);
        }
        out[i] = static_cast<char>((word >> ((at % 8) * 8)) & 0xFF);
    }
}

}  // namespace kojelly::cli
