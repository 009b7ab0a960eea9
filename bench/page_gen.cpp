// Realistic server answers for the benchmarks; see page_gen.hpp.
#include "page_gen.hpp"

#include <cinttypes>
#include <cstdio>
#include <string_view>

namespace bench {
namespace {

constexpr char kServerId[] = "b7c3e5a1f0d94e2c8a6b1d3f5e7c9a0b";
constexpr uint64_t kTicksPerSecond = 10000000;

// Title fragments as they appear inside a JSON string on the wire: raw UTF-8, \u escapes
// (servers escape apostrophes and some write every non-ASCII character that way), a surrogate
// pair, quotation marks, backslashes, a tab, a control byte and slashes.
constexpr std::string_view kTitles[] = {
    "The Long Goodbye",
    "Am\xc3\xa9lie",
    "Le Fabuleux Destin d\\u0027Am\\u00E9lie Poulain",
    "Der \\\"Untergang\\\"",
    "AC/DC: Let There Be Rock",
    "C:\\\\Rips\\\\Unsorted",
    "Lost\\tIn Translation",
    "\xe6\x9d\xb1\xe4\xba\xac\xe7\x89\xa9\xe8\xaa\x9e",
    "\\u81E5\\u864E\\u85CF\\u9F8D",
    "\xd0\x9c\xd0\xbe\xd1\x81\xd0\xba\xd0\xb2\xd0\xb0 \xd1\x81\xd0\xbb\xd0\xb5\xd0\xb7\xd0\xb0\xd0"
    "\xbc \xd0\xbd\xd0\xb5 \xd0\xb2\xd0\xb5\xd1\x80\xd0\xb8\xd1\x82",
    "\xce\x96\xce\xbf\xcf\x81\xce\xbc\xcf\x80\xce\xac\xcf\x82",
    "\xf0\x9f\x8e\xac Director\\u0027s Cut",
    "\\uD83C\\uDFAC Behind the Scenes",
    "\xc3\x87\x61 & <Friends>",
    "Nausica\xc3\xa4 of the Valley of the Wind",
    "Bells\\u0007Ring",
    "Spirited Away",
    "2001: A Space Odyssey",
    "Oldboy (\xec\x98\xac\xeb\x93\x9c\xeb\xb3\xb4\xec\x9d\xb4)",
    "Pan\\u2019s Labyrinth",
    "Cidade de Deus",
    "Sm\xc3\xb6rg\xc3\xa5sbord",
    "La Haine",
    "Heat",
};
constexpr std::string_view kRatings[] = {"PG", "PG-13", "R", "TV-MA", "FSK-12", "NR"};
constexpr std::string_view kCountries[] = {"United States of America", "France",  "Japan",
                                           "United Kingdom",           "Germany", "South Korea"};
constexpr std::string_view kLanguages[] = {"eng", "fre", "jpn", "ger", "kor", "spa"};
constexpr std::string_view kLanguageNames[] = {"English", "French", "Japanese",
                                               "German",  "Korean", "Spanish"};
constexpr std::string_view kContainers[] = {"mkv", "mp4", "mkv", "avi"};
constexpr std::string_view kBlurChars =
    "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz#$%*+,-.:;=?@[]^_{|}~";

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ULL;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ULL;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBULL;
    return x ^ (x >> 31);
}

// A small deterministic generator: one per item, seeded from the item's number.
class Rng {
public:
    explicit Rng(uint64_t seed) : s_(mix(seed)) {}
    uint64_t next() { return s_ = mix(s_); }
    uint64_t below(uint64_t n) { return next() % n; }
    bool percent(uint64_t p) { return below(100) < p; }

private:
    uint64_t s_;
};

class Out {
public:
    explicit Out(std::string &s) : s_(s) {}
    Out &raw(std::string_view t) {
        s_.append(t);
        return *this;
    }
    Out &num(int64_t v) {
        char b[24];
        const int n = std::snprintf(b, sizeof b, "%" PRId64, v);
        s_.append(b, static_cast<size_t>(n));
        return *this;
    }
    Out &real(double v) {
        char b[32];
        const int n = std::snprintf(b, sizeof b, "%.17g", v);
        s_.append(b, static_cast<size_t>(n));
        return *this;
    }
    Out &str(std::string_view t) {
        s_.push_back('"');
        s_.append(t);
        s_.push_back('"');
        return *this;
    }
    Out &hex(uint64_t n) { return str(hex_id(n)); }
    // "key": value pieces; the key comes with its leading comma unless first.
    Out &key(std::string_view k, bool first = false) {
        if (!first) s_.push_back(',');
        return str(k).raw(":");
    }
    Out &boolean(bool b) { return raw(b ? "true" : "false"); }
    Out &blur(Rng &r, size_t len) {
        s_.push_back('"');
        for (size_t i = 0; i < len; ++i) s_.push_back(kBlurChars[r.below(kBlurChars.size())]);
        s_.push_back('"');
        return *this;
    }
    Out &date(Rng &r, int year) {
        char b[48];
        const int n =
            std::snprintf(b, sizeof b, "\"%04d-%02d-%02dT%02d:%02d:%02d.%07dZ\"", year,
                          static_cast<int>(1 + r.below(12)), static_cast<int>(1 + r.below(28)),
                          static_cast<int>(r.below(24)), static_cast<int>(r.below(60)),
                          static_cast<int>(r.below(60)), static_cast<int>(r.below(10000000)));
        s_.append(b, static_cast<size_t>(n));
        return *this;
    }

private:
    std::string &s_;
};

struct Movie {
    uint64_t n;
    std::string title;  // as it travels inside a JSON string
    int year;           // 0: none
    std::string_view container;
    int64_t size;
    int64_t ticks;
    int width, height;
    uint64_t tmdb;
    uint64_t imdb;
};

Movie movie_of(uint64_t n, Rng &r) {
    Movie m;
    m.n = n;
    m.title = std::string(kTitles[r.below(std::size(kTitles))]);
    if (r.percent(60)) {
        m.title += ' ';
        m.title += std::to_string(2 + r.below(9));
    }
    m.year = r.percent(kNoYearPercent) ? 0 : static_cast<int>(1930 + r.below(95));
    m.container = kContainers[r.below(std::size(kContainers))];
    m.size = static_cast<int64_t>(700000000 + r.below(60000000000ULL));
    m.ticks = static_cast<int64_t>((4200 + r.below(6000)) * kTicksPerSecond);
    const bool uhd = r.percent(20);
    m.width = uhd ? 3840 : 1920;
    m.height = uhd ? 1606 : 800 + static_cast<int>(r.below(281));
    m.tmdb = 10 + r.below(900000);
    m.imdb = 100000 + r.below(9000000);
    return m;
}

std::string path_of(const Movie &m) {
    std::string p = "/media/movies/" + m.title;
    if (m.year) p += " (" + std::to_string(m.year) + ")";
    return p + "/" + m.title + " - 1080p." + std::string(m.container);
}

void video_stream(Out &o, Rng &r, const Movie &m) {
    const bool hevc = m.width > 1920;
    o.raw("{").key("Codec", true).str(hevc ? "hevc" : "h264");
    if (hevc) {
        o.key("ColorSpace").str("bt2020nc").key("ColorTransfer").str("smpte2084");
        o.key("ColorPrimaries").str("bt2020");
    }
    o.key("TimeBase").str("1/1000").key("VideoRange").str(hevc ? "HDR" : "SDR");
    o.key("VideoRangeType").str(hevc ? "HDR10" : "SDR").key("AudioSpatialFormat").str("None");
    o.key("DisplayTitle").str(hevc ? "4K HEVC HDR10" : "1080p H264 SDR");
    o.key("IsInterlaced").boolean(false);
    o.key("IsAVC").boolean(!hevc).key("BitRate").num(
        static_cast<int64_t>(4000000 + r.below(30000000)));
    o.key("BitDepth").num(hevc ? 10 : 8).key("RefFrames").num(1).key("IsDefault").boolean(true);
    o.key("IsForced").boolean(false).key("IsHearingImpaired").boolean(false);
    o.key("Height").num(m.height).key("Width").num(m.width);
    o.key("AverageFrameRate").real(23.976025).key("RealFrameRate").real(23.976025);
    o.key("Profile").str(hevc ? "Main 10" : "High");
    o.key("Type").str("Video").key("AspectRatio").str("2.40:1").key("Index").num(0);
    o.key("IsExternal").boolean(false).key("IsTextSubtitleStream").boolean(false);
    o.key("SupportsExternalStream")
        .boolean(false)
        .key("PixelFormat")
        .str(hevc ? "yuv420p10le" : "yuv420p");
    o.key("Level").num(hevc ? 150 : 41).raw("}");
}

void audio_stream(Out &o, Rng &r, int index, bool is_default) {
    const size_t lang = r.below(std::size(kLanguages));
    const bool surround = r.percent(70);
    o.raw(",{").key("Codec", true).str(surround ? "eac3" : "aac");
    o.key("Language").str(kLanguages[lang]).key("TimeBase").str("1/1000");
    o.key("DisplayTitle").raw("\"").raw(kLanguageNames[lang]);
    o.raw(surround ? " - Dolby Digital+ - 5.1 - Default\"" : " - AAC - Stereo\"");
    o.key("IsInterlaced").boolean(false).key("IsAVC").boolean(false);
    o.key("ChannelLayout")
        .str(surround ? "5.1" : "stereo")
        .key("BitRate")
        .num(surround ? 640000 : 192000);
    o.key("Channels").num(surround ? 6 : 2).key("SampleRate").num(48000);
    o.key("IsDefault").boolean(is_default).key("IsForced").boolean(false);
    o.key("IsHearingImpaired").boolean(false).key("Type").str("Audio");
    o.key("Index").num(index).key("IsExternal").boolean(false);
    o.key("IsTextSubtitleStream").boolean(false).key("SupportsExternalStream").boolean(false);
    o.raw("}");
}

void subtitle_stream(Out &o, Rng &r, int index) {
    const size_t lang = r.below(std::size(kLanguages));
    o.raw(",{").key("Codec", true).str("subrip").key("Language").str(kLanguages[lang]);
    o.key("TimeBase").str("1/1000").key("LocalizedUndefined").str("Undefined");
    o.key("LocalizedDefault").str("Default").key("LocalizedForced").str("Forced");
    o.key("LocalizedExternal")
        .str("External")
        .key("LocalizedHearingImpaired")
        .str("Hearing Impaired");
    o.key("DisplayTitle").raw("\"").raw(kLanguageNames[lang]).raw(" - SUBRIP\"");
    o.key("IsInterlaced").boolean(false).key("IsDefault").boolean(false);
    o.key("IsForced").boolean(false).key("IsHearingImpaired").boolean(false);
    o.key("Type").str("Subtitle").key("Index").num(index).key("IsExternal").boolean(false);
    o.key("IsTextSubtitleStream").boolean(true).key("SupportsExternalStream").boolean(true);
    o.raw("}");
}

void media_source(Out &o, Rng &r, const Movie &m) {
    o.raw("{").key("Protocol", true).str("File").key("Id").hex(m.n * 7 + 3);
    o.key("Path").raw("\"").raw(path_of(m)).raw("\"").key("Type").str("Default");
    o.key("Container").str(m.container).key("Size").num(m.size);
    o.key("Name").raw("\"").raw(m.title).raw(" - 1080p\"").key("IsRemote").boolean(false);
    o.key("ETag").hex(m.n * 11 + 5).key("RunTimeTicks").num(m.ticks);
    o.key("ReadAtNativeFramerate").boolean(false);
    o.key("SupportsTranscoding").boolean(true).key("SupportsDirectStream").boolean(true);
    o.key("SupportsDirectPlay").boolean(true).key("IsInfiniteStream").boolean(false);
    o.key("RequiresOpening").boolean(false).key("RequiresClosing").boolean(false);
    o.key("SupportsProbing").boolean(true);
    o.key("VideoType").str("VideoFile").key("MediaStreams").raw("[");
    video_stream(o, r, m);
    int index = 1;
    audio_stream(o, r, index++, true);
    if (r.percent(10)) audio_stream(o, r, index++, false);
    if (r.percent(20)) subtitle_stream(o, r, index++);
    o.raw("]").key("MediaAttachments").raw("[]").key("Formats").raw("[]");
    o.key("Bitrate").num(m.size * 8 / (m.ticks / static_cast<int64_t>(kTicksPerSecond)));
    o.key("RequiredHttpHeaders").raw("{}").key("DefaultAudioStreamIndex").num(1).raw("}");
}

void image_members(Out &o, Rng &r, uint64_t n, bool backdrop) {
    const bool logo = backdrop && r.percent(50);
    o.key("ImageTags").raw("{").key("Primary", true).hex(n * 13 + 1);
    if (logo) o.key("Logo").hex(n * 13 + 2);
    o.raw("}").key("BackdropImageTags").raw("[");
    if (backdrop) o.hex(n * 13 + 4);
    o.raw("]").key("ImageBlurHashes").raw("{");
    if (backdrop) {
        o.key("Backdrop", true).raw("{").key(hex_id(n * 13 + 4), true).blur(r, 28).raw("}");
        o.key("Primary").raw("{").key(hex_id(n * 13 + 1), true).blur(r, 28).raw("}");
        if (logo) o.key("Logo").raw("{").key(hex_id(n * 13 + 2), true).blur(r, 24).raw("}");
    } else {
        o.key("Primary", true).raw("{").key(hex_id(n * 13 + 1), true).blur(r, 28).raw("}");
    }
    o.raw("}");
}

void movie_object(Out &o, Rng &r, const std::string &parent_id, const Movie &m) {
    o.raw("{").key("Name", true).raw("\"").raw(m.title).raw("\"").key("ServerId").str(kServerId);
    o.key("Id").hex(m.n).key("Etag").hex(m.n * 17 + 9);
    o.key("DateCreated").date(r, 2019 + static_cast<int>(r.below(6)));
    o.key("CanDelete").boolean(false).key("CanDownload").boolean(true);
    o.key("HasSubtitles").boolean(r.percent(50)).key("Container").str(m.container);
    o.key("SortName").raw("\"").raw(m.title).raw("\"");
    if (m.year) o.key("PremiereDate").date(r, m.year);
    o.key("MediaSources").raw("[");
    media_source(o, r, m);
    o.raw("]").key("CriticRating").num(static_cast<int64_t>(r.below(100)));
    o.key("ProductionLocations").raw("[").str(kCountries[r.below(std::size(kCountries))]).raw("]");
    o.key("Path").raw("\"").raw(path_of(m)).raw("\"").key("EnableMediaSourceDisplay").boolean(true);
    o.key("OfficialRating")
        .str(kRatings[r.below(std::size(kRatings))])
        .key("ChannelId")
        .raw("null");
    o.key("CommunityRating").real(static_cast<double>(40 + r.below(55)) / 10.0);
    o.key("RunTimeTicks").num(m.ticks);
    if (m.year) o.key("ProductionYear").num(m.year);
    o.key("ProviderIds").raw("{").key("Tmdb", true).str(std::to_string(m.tmdb));
    o.key("Imdb").raw("\"tt").num(static_cast<int64_t>(m.imdb)).raw("\"");
    if (r.percent(30)) o.key("TmdbCollection").str(std::to_string(r.below(900000)));
    o.raw("}").key("IsHD").boolean(true).key("IsFolder").boolean(false);
    o.key("ParentId").str(parent_id).key("Type").str("Movie");
    const bool played = r.percent(30);
    o.key("UserData").raw("{").key("PlaybackPositionTicks", true).num(0);
    o.key("PlayCount").num(played ? 1 : 0).key("IsFavorite").boolean(r.percent(5));
    if (played) o.key("LastPlayedDate").date(r, 2024);
    o.key("Played").boolean(played).key("Key").str(std::to_string(m.tmdb));
    o.key("ItemId").str("00000000000000000000000000000000").raw("}");
    o.key("PrimaryImageAspectRatio").real(0.6666666666666666).key("VideoType").str("VideoFile");
    image_members(o, r, m.n, true);
    o.key("LocationType").str("FileSystem").key("MediaType").str("Video");
    o.key("Width").num(m.width).key("Height").num(m.height).raw("}");
}

void box_set_object(Out &o, Rng &r, const std::string &parent_id, uint64_t n) {
    const std::string title = std::string(kTitles[r.below(std::size(kTitles))]) + " Collection";
    o.raw("{").key("Name", true).raw("\"").raw(title).raw("\"").key("ServerId").str(kServerId);
    o.key("Id").hex(n).key("Etag").hex(n * 17 + 9);
    o.key("DateCreated").date(r, 2019 + static_cast<int>(r.below(6)));
    o.key("CanDelete").boolean(false).key("CanDownload").boolean(false);
    o.key("SortName").raw("\"").raw(title).raw("\"");
    o.key("Path").raw("\"/config/data/collections/").raw(title).raw(" [boxset]\"");
    o.key("EnableMediaSourceDisplay").boolean(true).key("ChannelId").raw("null");
    o.key("ProviderIds").raw("{").key("Tmdb", true).str(std::to_string(r.below(900000))).raw("}");
    o.key("IsFolder").boolean(true).key("ParentId").str(parent_id).key("Type").str("BoxSet");
    o.key("UserData").raw("{").key("UnplayedItemCount", true).num(static_cast<int64_t>(r.below(8)));
    o.key("PlaybackPositionTicks").num(0).key("PlayCount").num(0).key("IsFavorite").boolean(false);
    o.key("Played").boolean(false).key("Key").hex(n * 19 + 7);
    o.key("ItemId").str("00000000000000000000000000000000").raw("}");
    o.key("ChildCount").num(static_cast<int64_t>(2 + r.below(8)));
    o.key("PrimaryImageAspectRatio").real(0.6666666666666666);
    image_members(o, r, n, false);
    o.key("LocationType").str("FileSystem").key("MediaType").str("Unknown").raw("}");
}

}  // namespace

std::string hex_id(uint64_t n) {
    char b[33];
    std::snprintf(b, sizeof b, "%016" PRIx64 "%016" PRIx64, mix(n), n);
    return std::string(b, 32);
}

std::string items_body(const std::string &parent_id, uint64_t first, uint64_t count,
                       uint64_t seed) {
    std::string s;
    s.reserve(count * 3000);
    Out o(s);
    for (uint64_t n = first; n < first + count; ++n) {
        if (n != first) s.push_back(',');
        Rng r(seed ^ mix(n));
        if (r.percent(kFolderPercent)) {
            box_set_object(o, r, parent_id, n);
        } else {
            const Movie m = movie_of(n, r);
            movie_object(o, r, parent_id, m);
        }
    }
    return s;
}

std::string page(const std::string &body, int64_t total, uint64_t start) {
    std::string s;
    s.reserve(body.size() + 64);
    s += "{\"Items\":[";
    s += body;
    s += "],\"TotalRecordCount\":" + std::to_string(total);
    s += ",\"StartIndex\":" + std::to_string(start) + "}";
    return s;
}

std::string folder_lookup(const std::string &folder_id, const std::string &parent_id) {
    std::string s = "{\"Items\":[{\"Name\":\"Movies\",\"ServerId\":\"";
    s += kServerId;
    s += "\",\"Id\":\"" + folder_id + "\",\"Container\":null,\"IsFolder\":true,\"ParentId\":\"";
    s += parent_id + "\",\"Type\":\"CollectionFolder\",\"CollectionType\":\"movies\",";
    s += "\"LocationType\":\"FileSystem\",\"MediaType\":\"Unknown\"}],\"TotalRecordCount\":1,";
    s += "\"StartIndex\":0}";
    return s;
}

std::string movie_item(const std::string &parent_id, uint64_t n, uint64_t seed) {
    std::string s;
    Out o(s);
    Rng r(seed ^ mix(n));
    movie_object(o, r, parent_id, movie_of(n, r));
    return s;
}

std::string playback_info(uint64_t n, uint64_t seed) {
    std::string s;
    Out o(s);
    Rng r(seed ^ mix(n));
    const Movie m = movie_of(n, r);
    o.raw("{").key("MediaSources", true).raw("[");
    media_source(o, r, m);
    o.raw("]").key("PlaySessionId").hex(n * 23 + 1).raw("}");
    return s;
}

std::string login_answer(const std::string &user_id, const std::string &token) {
    std::string s = "{\"User\":{\"Name\":\"bench\",\"ServerId\":\"";
    s += kServerId;
    s += "\",\"Id\":\"" + user_id + "\",\"HasPassword\":true,\"HasConfiguredPassword\":true,";
    s += "\"EnableAutoLogin\":false,\"LastLoginDate\":\"2024-05-01T10:00:00.0000000Z\",";
    s += "\"Policy\":{\"IsAdministrator\":false,\"IsDisabled\":false}},";
    s += "\"SessionInfo\":{\"Id\":\"" + hex_id(99) + "\",\"UserId\":\"" + user_id + "\",";
    s += "\"Client\":\"bench\",\"DeviceName\":\"NativeClient\"},";
    s += "\"AccessToken\":\"" + token + "\",\"ServerId\":\"";
    s += kServerId;
    s += "\"}";
    return s;
}

}  // namespace bench
