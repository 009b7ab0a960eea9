// The demo server's HTTP side; see demo_server.hpp. Routing is done here rather than by the
// server library's patterns because the server it imitates matches paths and query names
// without regard to case.
#include "demo_server.hpp"

#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <random>
#include <set>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>

#include "json_writer.hpp"
#include "kojelly_owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr const char *kServerName = "kojelly demo server";
constexpr const char *kJsonType = "application/json; charset=utf-8";
constexpr const char *kLocalHost = "127.0.0.1";
constexpr std::size_t kStreamPiece = 64 * 1024;
constexpr std::int64_t kBitsPerByte = 8;
constexpr std::int64_t kTicksPerSecond = 10000000;
// A host whose plug-in fetches 16 pages at once keeps 16 connections open, and each kept-alive
// connection holds a server thread until it has been idle for 5 seconds. Twice that many threads
// leave room for the host's own requests and for a second host meanwhile.
constexpr std::size_t kServerThreads = 32;

// What sets the flavours apart besides their routes.
struct Traits {
    const char *version;
    const char *product;
    // The one query parameter that may carry a token: current Jellyfin reads `ApiKey` and
    // ignores the older `api_key`, which Emby still reads.
    const char *key_param;
};
constexpr Traits kJellyfinTraits = {"10.10.3", "Jellyfin Server", "ApiKey"};
constexpr Traits kEmbyTraits = {"4.8.10.0", "Emby Server", "api_key"};

const Traits &traits_of(DemoFlavour flavour) {
    return flavour == DemoFlavour::emby ? kEmbyTraits : kJellyfinTraits;
}

// Who sent a request: the API key grants what an administrator may do, a login's token what
// that user may do.
enum class Caller { nobody, api_key, user };

// Query names are case-insensitive on the server imitated here.
const std::string *param(const httplib::Request &req, std::string_view name) {
    for (const auto &[key, value] : req.params) {
        if (iequals(key, name)) return &value;
    }
    return nullptr;
}

// A decimal query value from 0 to the largest 32-bit integer, which is what the imitated server
// binds StartIndex and Limit to (it answers 400 for anything else); absent gives the fallback.
// The bound also keeps the sum of two such values far from overflowing.
bool number_param(const httplib::Request &req, std::string_view name, std::int64_t fallback,
                  std::int64_t &out) {
    const std::string *text = param(req, name);
    if (!text) {
        out = fallback;
        return true;
    }
    const char *end = text->data() + text->size();
    const auto [ptr, ec] = std::from_chars(text->data(), end, out);
    return ec == std::errc() && ptr == end && out >= 0 &&
           out <= std::numeric_limits<std::int32_t>::max();
}

// The members of a `MediaBrowser Client="…", Token="…"` header value, names lower-cased.
std::vector<std::pair<std::string, std::string>> mediabrowser_params(std::string_view value) {
    std::vector<std::pair<std::string, std::string>> out;
    value = trim(value);
    constexpr std::string_view kScheme = "mediabrowser";
    if (value.size() < kScheme.size() || !iequals(value.substr(0, kScheme.size()), kScheme))
        return out;
    value.remove_prefix(kScheme.size());
    for (const std::string &part : split(value, ',')) {
        const std::string_view p = trim(part);
        const auto eq = p.find('=');
        if (eq == std::string_view::npos) continue;
        std::string_view v = trim(p.substr(eq + 1));
        if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
        out.emplace_back(lower(trim(p.substr(0, eq))), std::string(v));
    }
    return out;
}

std::string auth_member(const httplib::Request &req, std::string_view name) {
    for (const char *header : {"Authorization", "X-Emby-Authorization"}) {
        if (!req.has_header(header)) continue;
        for (const auto &[key, value] : mediabrowser_params(req.get_header_value(header))) {
            if (key == name) return value;
        }
    }
    return {};
}

std::string token_of(const httplib::Request &req, std::string_view key_param) {
    std::string token = auth_member(req, "token");
    if (token.empty() && req.has_header("X-Emby-Token"))
        token = req.get_header_value("X-Emby-Token");
    if (token.empty()) {
        if (const std::string *v = param(req, key_param)) token = *v;
    }
    return token;
}

void send_json(httplib::Response &res, const std::string &body, int status = 200) {
    res.status = status;
    res.set_content(body, kJsonType);
}

void send_text(httplib::Response &res, int status, const std::string &body) {
    res.status = status;
    res.set_content(body, "text/plain; charset=utf-8");
}

// "127.0.0.1:PORT". Texts here are built by appending: g++ 12 at -O3 misreads a chain of
// std::string operator+ that starts with a literal as an overlapping copy (-Wrestrict).
std::string address_of(int port) {
    std::string out = kLocalHost;
    out += ':';
    out += std::to_string(port);
    return out;
}

std::string content_type_of(std::string_view container) {
    if (container == "mkv") return "video/x-matroska";
    if (container == "mp4") return "video/mp4";
    if (container == "webm") return "video/webm";
    if (container == "mov") return "video/quicktime";
    if (container == "avi") return "video/x-msvideo";
    if (container == "ts") return "video/mp2t";
    return "application/octet-stream";
}

// The part of a path after its last slash.
std::string_view base_name(std::string_view path) {
    const auto slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

// The container a server names for a file: its extension in lower case, an .m4v being an MP4;
// empty without an extension.
std::string container_of(std::string_view path) {
    const std::string_view name = base_name(path);
    const auto dot = name.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    std::string ext = lower(name.substr(dot + 1));
    if (ext == "m4v") ext = "mp4";
    return ext;
}

// The file's name without its extension, which is what a server shows for a movie it has no
// other data about.
std::string title_of(std::string_view path) {
    const std::string_view name = base_name(path);
    const auto dot = name.rfind('.');
    return std::string(dot == std::string_view::npos || dot == 0 ? name : name.substr(0, dot));
}

// An open descriptor of the media file, shared by a stream answer's pieces and closed with the
// last of them.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) close(fd_);
    }
    FileDescriptor(const FileDescriptor &) = delete;
    FileDescriptor &operator=(const FileDescriptor &) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

// The byte ranges that the server library parsed from the Range header (it has answered 416 to
// one it could not parse), taken over from it. Left in the request, they would be applied a
// second time to whatever this server answers: the library's release on Debian 12 cuts every
// answer, JSON included, to the range without clamping it to the content, and later releases
// answer 416 for a range that runs past the end where HTTP asks for it to be clamped. The
// library has no switch for this, so the request gives its ranges up here.
httplib::Ranges take_ranges(const httplib::Request &req) {
    return std::exchange(const_cast<httplib::Request &>(req).ranges, {});
}

// The bytes of a file that a stream answer sends: all of them, one range first..last, or none.
struct Span {
    enum Kind { whole, range, none } kind;
    std::uint64_t first;
    std::uint64_t last;
};

// What the ranges ask of a file of size bytes (size > 0). One range is honoured, clamped to the
// file; several are answered with the whole file, as HTTP allows, and so is a suffix of no
// bytes. Bounds the header left out are -1.
Span span_of(const httplib::Ranges &ranges, std::uint64_t size) {
    Span span{Span::whole, 0, size - 1};
    if (ranges.size() != 1) return span;
    const auto [from, to] = ranges.front();
    if (from >= 0) {
        if (static_cast<std::uint64_t>(from) >= size) return {Span::none, 0, 0};
        span = {Span::range, static_cast<std::uint64_t>(from), size - 1};
        if (to >= 0) span.last = std::min(static_cast<std::uint64_t>(to), size - 1);
    } else if (to > 0) {
        span = {Span::range, size - std::min(static_cast<std::uint64_t>(to), size), size - 1};
    }
    return span;
}

// "bytes FIRST-LAST/SIZE", or "bytes */SIZE" when no byte can be sent.
std::string content_range(const Span &span, std::uint64_t size) {
    std::string out = "bytes ";
    if (span.kind == Span::none) {
        out += '*';
    } else {
        out += std::to_string(span.first);
        out += '-';
        out += std::to_string(span.last);
    }
    out += '/';
    out += std::to_string(size);
    return out;
}

using Fields = std::set<std::string>;

Fields fields_of(const httplib::Request &req) {
    Fields fields;
    if (const std::string *text = param(req, "Fields")) {
        for (const std::string &f : split(*text, ',')) fields.insert(lower(trim(f)));
    }
    return fields;
}

void media_source_json(const JsonObject &out, const DemoItem &item) {
    out.str("Protocol", "File");
    out.str("Id", item.id);
    out.str("Path", item.path);
    out.str("Type", "Default");
    out.str("Container", item.container);
    out.num("Size", item.size);
    out.str("Name", item.name);
    out.flag("IsRemote", false);
    out.str("ETag", std::string_view(item.id).substr(0, 16));
    if (item.run_ticks > 0) out.num("RunTimeTicks", item.run_ticks);
    out.flag("SupportsTranscoding", true);
    out.flag("SupportsDirectStream", true);
    out.flag("SupportsDirectPlay", true);
    out.flag("IsInfiniteStream", false);
    out.flag("RequiresOpening", false);
    out.flag("RequiresClosing", false);
    out.str("VideoType", "VideoFile");
    out.array("MediaStreams");
    // The movie of a real file has no known running time, so no bit rate either.
    if (item.run_ticks <= 0) return;
    const std::int64_t seconds = std::max<std::int64_t>(1, item.run_ticks / kTicksPerSecond);
    out.num("Bitrate", item.size * kBitsPerByte / seconds);
}

}  // namespace

struct DemoServer::Impl {
    explicit Impl(DemoOptions o) : options(std::move(o)), library(options.movies, options.flavour) {
        if (!options.media_file.empty()) add_media();
    }

    DemoOptions options;
    DemoLibrary library;
    std::string media_id;     // the movie of options.media_file
    std::string media_error;  // why that file cannot be served; start() reports it
    httplib::Server server;
    std::thread thread;
    std::atomic<bool> listen_done{false};
    int port = 0;

    mutable std::mutex lock;  // guards everything below
    std::unordered_set<std::string> tokens;
    DemoStats stats;
    std::deque<DemoStreamRequest> stream_log;
    int items_running = 0;  // /Items requests in progress
    std::mt19937_64 rng{std::random_device{}()};

    std::string url() const {
        std::string out = "http://";
        out += address_of(port);
        return out;
    }

    std::string random_hex() {
        std::lock_guard<std::mutex> guard(lock);
        const std::uint64_t hi = rng();
        return hex128(hi, rng());
    }

    template <typename F>
    void count(F f) {
        std::lock_guard<std::mutex> guard(lock);
        f(stats);
    }

    // The file's size is taken once, here: a file that changes while it is served gives
    // answers that end early, as a real server's would.
    void add_media() {
        struct stat st {};
        if (stat(options.media_file.c_str(), &st) != 0 ||
            access(options.media_file.c_str(), R_OK) != 0) {
            media_error = "cannot read " + options.media_file + ": " + std::strerror(errno);
            return;
        }
        if (!S_ISREG(st.st_mode)) {
            media_error = options.media_file + " is not a regular file";
            return;
        }
        media_id =
            library
                .add_movie_file(title_of(options.media_file), container_of(options.media_file),
                                st.st_size, options.media_file)
                .id;
    }

    // header_only: the token counts only when it comes in the MediaBrowser header.
    Caller caller(const httplib::Request &req, bool header_only = false) {
        const std::string token = header_only ? auth_member(req, "token")
                                              : token_of(req, traits_of(options.flavour).key_param);
        if (token.empty()) return Caller::nobody;
        if (!options.api_key.empty() && token == options.api_key) return Caller::api_key;
        std::lock_guard<std::mutex> guard(lock);
        return tokens.count(token) > 0 ? Caller::user : Caller::nobody;
    }

    std::string root_page(const Fields &fields) const {
        std::vector<const DemoItem *> list;
        for (const std::size_t pos : library.views()) list.push_back(&library.items()[pos]);
        return page_json(list, static_cast<std::int64_t>(list.size()), 0, fields);
    }

    void item_json(const JsonObject &out, const DemoItem &item, const Fields &fields,
                   bool all) const {
        const auto wants = [&](const char *f) { return all || fields.count(f) > 0; };
        out.str("Name", item.name);
        out.str("ServerId", library.server_id());
        out.str("Id", item.id);
        if (wants("sortname")) out.str("SortName", item.sort_name);
        if (!item.container.empty()) out.str("Container", item.container);
        if (item.year > 0) out.num("ProductionYear", item.year);
        if (item.index_number > 0) out.num("IndexNumber", item.index_number);
        if (item.run_ticks > 0) out.num("RunTimeTicks", item.run_ticks);
        out.flag("IsFolder", item.folder);
        if (wants("parentid") && !item.parent_id.empty()) out.str("ParentId", item.parent_id);
        out.str("Type", item.type);
        if (!item.collection_type.empty()) out.str("CollectionType", item.collection_type);
        out.str("MediaType", item.folder ? "Unknown" : "Video");
        if (wants("path") && !item.path.empty()) out.str("Path", item.path);
        if (wants("childcount") && item.folder)
            out.num("ChildCount", static_cast<std::int64_t>(item.children.size()));
        if (wants("providerids")) {
            const JsonObject ids = out.object("ProviderIds");
            if (!item.imdb.empty()) ids.str("Imdb", item.imdb);
            if (!item.tmdb.empty()) ids.str("Tmdb", item.tmdb);
        }
        if (wants("mediasources") && !item.folder)
            media_source_json(out.array("MediaSources").object(), item);
        const JsonObject user_data = out.object("UserData");
        user_data.num("PlaybackPositionTicks", 0);
        user_data.num("PlayCount", 0);
        user_data.flag("IsFavorite", false);
        user_data.flag("Played", false);
        user_data.str("Key", item.id);
        out.object("ImageTags");
        out.array("BackdropImageTags");
        out.str("LocationType", "FileSystem");
    }

    std::string page_json(const std::vector<const DemoItem *> &items, std::int64_t total,
                          std::int64_t start, const Fields &fields) const {
        const JsonDocument doc;
        const JsonObject page = doc.root();
        const JsonArray list = page.array("Items");
        for (const DemoItem *item : items) item_json(list.object(), *item, fields, false);
        page.num("TotalRecordCount", total);
        page.num("StartIndex", start);
        return doc.text();
    }

    // Counts an /Items request as in progress for the guard's life, a fault's delay included,
    // so that DemoStats::items_at_once shows how many pages a client asked for at once.
    class Running {
    public:
        Running(Impl &impl, bool counted) : impl_(counted ? &impl : nullptr) {
            if (!impl_) return;
            std::lock_guard<std::mutex> guard(impl_->lock);
            ++impl_->items_running;
            impl_->stats.items_at_once = std::max(impl_->stats.items_at_once, impl_->items_running);
        }
        ~Running() {
            if (!impl_) return;
            std::lock_guard<std::mutex> guard(impl_->lock);
            --impl_->items_running;
        }
        Running(const Running &) = delete;
        Running &operator=(const Running &) = delete;

    private:
        Impl *impl_;
    };

    void handle(const httplib::Request &req, httplib::Response &res);
    bool apply_fault(const std::string &path, httplib::Response &res);
    void public_info(httplib::Response &res, bool full);
    void login(const httplib::Request &req, httplib::Response &res);
    void views(const httplib::Request &req, Caller who, const std::string *uid,
               httplib::Response &res);
    void media_folders(const httplib::Request &req, Caller who, httplib::Response &res);
    void items(const httplib::Request &req, httplib::Response &res);
    void user_item(const std::string &uid, const std::string &id, httplib::Response &res);
    void playback(const std::string &id, httplib::Response &res);
    void stream(const httplib::Request &req, const httplib::Ranges &ranges, const std::string &id,
                httplib::Response &res);
    void send_media(const DemoItem &item, const Span &span, httplib::Response &res);
    void log_stream(const httplib::Request &req, const std::string &id,
                    const httplib::Response &res);
};

bool DemoServer::Impl::apply_fault(const std::string &path, httplib::Response &res) {
    for (const DemoFault &f : options.faults) {
        if (!path.starts_with(lower(f.path_prefix))) continue;
        if (f.delay_ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(f.delay_ms));
        if (f.status == 0) return false;
        res.status = f.status;
        res.set_content(f.body, f.content_type);
        return true;
    }
    return false;
}

void DemoServer::Impl::handle(const httplib::Request &req, httplib::Response &res) {
    const httplib::Ranges ranges = take_ranges(req);
    count([](DemoStats &s) { ++s.requests; });

    std::string path = lower(req.path);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    const Running running(*this, path == "/items");
    if (apply_fault(path, res)) return;
    const std::vector<std::string> seg = split(std::string_view(path).substr(1), '/');
    const bool get = req.method == "GET" || req.method == "HEAD";
    const bool post = req.method == "POST";

    if (get && path == "/system/info/public") return public_info(res, false);
    if (post && path == "/users/authenticatebyname") return login(req, res);

    enum class Route { none, info, views, media_folders, items, user_item, playback, stream };
    Route route = Route::none;
    // Each flavour knows one path for a user's views and answers 404 for the other's.
    const bool emby = options.flavour == DemoFlavour::emby;
    const bool user_views = seg.size() == 3 && seg[0] == "users" && seg[2] == "views";
    if (get && path == "/system/info") route = Route::info;
    if (get && (emby ? user_views : path == "/userviews")) route = Route::views;
    if (get && path == "/library/mediafolders") route = Route::media_folders;
    if (get && path == "/items") route = Route::items;
    if (get && seg.size() == 4 && seg[0] == "users" && seg[2] == "items") route = Route::user_item;
    if ((get || post) && seg.size() == 3 && seg[0] == "items" && seg[2] == "playbackinfo")
        route = Route::playback;
    if (get && seg.size() == 3 && seg[0] == "videos" &&
        (seg[2] == "stream" || seg[2].starts_with("stream.")))
        route = Route::stream;
    if (route == Route::none) return send_text(res, 404, "Not Found");

    const Caller who = caller(req, route == Route::stream && options.stream_auth);
    if (who == Caller::nobody) {
        count([](DemoStats &s) { ++s.unauthorized; });
        res.status = 401;
        if (route == Route::stream) log_stream(req, seg[1], res);
        return;
    }
    switch (route) {
        case Route::info:
            return public_info(res, true);
        case Route::views:
            return views(req, who, user_views ? &seg[1] : nullptr, res);
        case Route::media_folders:
            return media_folders(req, who, res);
        case Route::items:
            return items(req, res);
        case Route::user_item:
            return user_item(seg[1], seg[3], res);
        case Route::playback:
            return playback(seg[1], res);
        case Route::stream:
            stream(req, ranges, seg[1], res);
            return log_stream(req, seg[1], res);
        case Route::none:
            break;
    }
}

void DemoServer::Impl::public_info(httplib::Response &res, bool full) {
    const JsonDocument doc;
    const JsonObject info = doc.root();
    info.str("LocalAddress", url());
    info.str("ServerName", kServerName);
    const Traits &traits = traits_of(options.flavour);
    info.str("Version", traits.version);
    info.str("ProductName", traits.product);
    info.str("OperatingSystem", "");
    info.str("Id", library.server_id());
    info.flag("StartupWizardCompleted", true);
    if (full) {
        info.str("OperatingSystemDisplayName", "Linux");
        info.flag("HasPendingRestart", false);
        info.flag("IsShuttingDown", false);
        info.flag("SupportsLibraryMonitor", true);
        info.num("WebSocketPortNumber", port);
        info.flag("CanSelfRestart", false);
        info.flag("HasUpdateAvailable", false);
    }
    send_json(res, doc.text());
}

void DemoServer::Impl::login(const httplib::Request &req, httplib::Response &res) {
    if (!lower(req.get_header_value("Content-Type")).starts_with("application/json"))
        return send_text(res, 415, "Unsupported Media Type");
    const std::string device_id = auth_member(req, "deviceid");
    for (const char *needed : {"client", "device", "deviceid", "version"}) {
        if (auth_member(req, needed).empty())
            return send_text(
                res, 400, "Authorization header must carry Client, Device, DeviceId and Version");
    }
    const Handle<yyjson_doc, yyjson_doc_free> body(
        yyjson_read(req.body.data(), req.body.size(), 0));
    yyjson_val *fields = body ? yyjson_doc_get_root(body.get()) : nullptr;
    if (!yyjson_is_obj(fields)) return send_text(res, 400, "Invalid JSON body");
    const char *name = yyjson_get_str(yyjson_obj_get(fields, "Username"));
    const char *pw = yyjson_get_str(yyjson_obj_get(fields, "Pw"));
    const bool ok = name && iequals(name, options.user) && (pw ? pw : "") == options.password;
    if (!ok) {
        count([](DemoStats &s) { ++s.failed_logins; });
        return send_text(res, 401, "Error processing request.");
    }
    const std::string token = random_hex();
    {
        std::lock_guard<std::mutex> guard(lock);
        tokens.insert(token);
        ++stats.logins;
        stats.last_device_id = device_id;
    }
    const JsonDocument doc;
    const JsonObject answer = doc.root();
    const JsonObject user = answer.object("User");
    user.str("Name", options.user);
    user.str("ServerId", library.server_id());
    user.str("Id", library.user_id());
    user.flag("HasPassword", !options.password.empty());
    user.flag("HasConfiguredPassword", !options.password.empty());
    user.flag("EnableAutoLogin", false);
    const JsonObject policy = user.object("Policy");
    policy.flag("IsAdministrator", options.admin);
    policy.flag("EnableMediaPlayback", true);
    const JsonObject session = answer.object("SessionInfo");
    session.str("Id", random_hex());
    session.str("UserId", library.user_id());
    session.str("UserName", options.user);
    session.str("Client", auth_member(req, "client"));
    session.str("DeviceName", auth_member(req, "device"));
    session.str("DeviceId", device_id);
    session.str("ApplicationVersion", auth_member(req, "version"));
    session.str("ServerId", library.server_id());
    answer.str("AccessToken", token);
    answer.str("ServerId", library.server_id());
    send_json(res, doc.text());
}

// /UserViews (jellyfin) resolves the user of the token, which an API key does not have;
// /Users/{uid}/Views (emby) names the user in the path.
void DemoServer::Impl::views(const httplib::Request &req, Caller who, const std::string *uid,
                             httplib::Response &res) {
    if (!uid && who == Caller::api_key)
        return send_text(res, 400, "An API key has no user whose views could be listed");
    if (uid && !iequals(*uid, library.user_id())) return send_text(res, 404, "User not found");
    count([](DemoStats &s) { ++s.views; });
    send_json(res, root_page(fields_of(req)));
}

void DemoServer::Impl::media_folders(const httplib::Request &req, Caller who,
                                     httplib::Response &res) {
    if (who != Caller::api_key && !options.admin) return send_text(res, 403, "Forbidden");
    count([](DemoStats &s) { ++s.media_folders; });
    send_json(res, root_page(fields_of(req)));
}

void DemoServer::Impl::items(const httplib::Request &req, httplib::Response &res) {
    const Fields fields = fields_of(req);
    std::int64_t start = 0;
    std::int64_t limit = 0;
    if (!number_param(req, "StartIndex", 0, start) || !number_param(req, "Limit", -1, limit))
        return send_text(res, 400, "StartIndex and Limit must be integers from 0 to 2147483647");
    // Folders of the endless tree made up for this answer; room for all of them is reserved
    // first, as the answer points into it.
    std::vector<DemoItem> made;
    if (const std::string *ids = param(req, "Ids")) {
        count([](DemoStats &s) { ++s.lookups; });
        const std::vector<std::string> wanted = split(*ids, ',');
        made.reserve(wanted.size());
        std::vector<const DemoItem *> found;
        for (const std::string &id : wanted) {
            if (const DemoItem *item = library.find(trim(id))) {
                found.push_back(item);
            } else if (options.endless_folders > 0) {
                found.push_back(&made.emplace_back(library.endless_folder(trim(id))));
            }
        }
        return send_json(res, page_json(found, static_cast<std::int64_t>(found.size()), 0, fields));
    }
    const std::string *parent_id = param(req, "ParentId");
    if (!parent_id) return send_text(res, 400, "ParentId or Ids is required");
    count([](DemoStats &s) { ++s.item_pages; });
    const DemoItem *parent = library.find(*parent_id);
    std::vector<const DemoItem *> children;
    if (parent) {
        for (const std::size_t pos : parent->children) children.push_back(&library.items()[pos]);
    } else if (options.endless_folders > 0) {
        made = library.endless_children(*parent_id, options.endless_folders);
        for (const DemoItem &child : made) children.push_back(&child);
    }
    const std::string *order = param(req, "SortOrder");
    if (order && iequals(*order, "Descending")) std::reverse(children.begin(), children.end());
    const auto total = static_cast<std::int64_t>(children.size());
    const std::int64_t from = std::min(start, total);
    const std::int64_t to = limit < 0 ? total : std::min(total, from + limit);
    const std::vector<const DemoItem *> page(children.begin() + from, children.begin() + to);
    send_json(res, page_json(page, total, start, fields));
}

void DemoServer::Impl::user_item(const std::string &uid, const std::string &id,
                                 httplib::Response &res) {
    count([](DemoStats &s) { ++s.lookups; });
    const DemoItem *item = library.find(id);
    DemoItem made;
    if (!item && options.endless_folders > 0) {
        made = library.endless_folder(id);
        item = &made;
    }
    if (!iequals(uid, library.user_id()) || !item) return send_text(res, 404, "Item not found");
    const JsonDocument doc;
    item_json(doc.root(), *item, {}, true);
    send_json(res, doc.text());
}

void DemoServer::Impl::playback(const std::string &id, httplib::Response &res) {
    count([](DemoStats &s) { ++s.playback; });
    const DemoItem *item = library.find(id);
    if (!item) return send_text(res, 404, "Item not found");
    const JsonDocument doc;
    const JsonArray sources = doc.root().array("MediaSources");
    if (!item->folder) media_source_json(sources.object(), *item);
    doc.root().str("PlaySessionId", random_hex());
    send_json(res, doc.text());
}

void DemoServer::Impl::stream(const httplib::Request &req, const httplib::Ranges &ranges,
                              const std::string &id, httplib::Response &res) {
    count([](DemoStats &s) { ++s.streams; });
    const DemoItem *item = library.find(id);
    if (!item || item->folder) return send_text(res, 404, "Item not found");
    if (const std::string *source = param(req, "MediaSourceId");
        source && !source->empty() && !iequals(*source, item->id))
        return send_text(res, 400, "Unknown MediaSourceId");
    const auto size = static_cast<std::uint64_t>(item->size);
    res.set_header("Accept-Ranges", "bytes");
    if (size == 0) return send_text(res, 200, "");
    const Span span = span_of(ranges, size);
    if (span.kind == Span::none) {
        res.set_header("Content-Range", content_range(span, size));
        return send_text(res, 416, "Range Not Satisfiable");
    }
    res.status = span.kind == Span::range ? 206 : 200;
    if (span.kind == Span::range) res.set_header("Content-Range", content_range(span, size));
    if (item->id == media_id) return send_media(*item, span, res);
    const std::string file_id = item->id;
    const std::uint64_t first = span.first;
    res.set_content_provider(
        static_cast<std::size_t>(span.last - first + 1), content_type_of(item->container),
        [file_id, first](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::array<char, kStreamPiece> piece{};
            const std::size_t n = std::min(length, piece.size());
            demo_bytes(file_id, first + offset, piece.data(), n);
            return sink.write(piece.data(), n);
        });
}

void DemoServer::Impl::send_media(const DemoItem &item, const Span &span, httplib::Response &res) {
    const auto file =
        std::make_shared<FileDescriptor>(open(item.path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file->get() < 0) {
        res.headers.erase("Content-Range");
        return send_text(res, 500, "The media file cannot be read");
    }
    const std::uint64_t first = span.first;
    res.set_content_provider(
        static_cast<std::size_t>(span.last - first + 1), content_type_of(item.container),
        [file, first](std::size_t offset, std::size_t length, httplib::DataSink &sink) {
            std::array<char, kStreamPiece> piece{};
            const ssize_t n = pread(file->get(), piece.data(), std::min(length, piece.size()),
                                    static_cast<off_t>(first + offset));
            // A file that shrank since the server started ends the answer early.
            return n > 0 && sink.write(piece.data(), static_cast<std::size_t>(n));
        });
}

void DemoServer::Impl::log_stream(const httplib::Request &req, const std::string &id,
                                  const httplib::Response &res) {
    DemoStreamRequest entry;
    entry.method = req.method;
    entry.item_id = id;
    entry.range = req.get_header_value("Range");
    entry.status = res.status;
    entry.content_range = res.get_header_value("Content-Range");
    {
        std::lock_guard<std::mutex> guard(lock);
        if (stream_log.size() == kDemoStreamLog) stream_log.pop_front();
        stream_log.push_back(entry);
    }
    if (options.on_stream) options.on_stream(entry);
}

DemoServer::DemoServer(DemoOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
    const auto handler = [this](const httplib::Request &req, httplib::Response &res) {
        impl_->handle(req, res);
    };
    impl_->server.Get(".*", handler);
    impl_->server.Post(".*", handler);
    // Headers and body leave in separate writes; without this each answer waits for the
    // client's delayed acknowledgement.
    impl_->server.set_tcp_nodelay(true);
    impl_->server.new_task_queue = [] { return new httplib::ThreadPool(kServerThreads); };
}

DemoServer::~DemoServer() {
    stop();
}

bool DemoServer::start(std::string &error, int port) {
    if (impl_->thread.joinable()) return true;
    if (!impl_->media_error.empty()) {
        error = impl_->media_error;
        return false;
    }
    if (port == 0) {
        impl_->port = impl_->server.bind_to_any_port(kLocalHost);
    } else {
        impl_->port = impl_->server.bind_to_port(kLocalHost, port) ? port : -1;
    }
    if (impl_->port <= 0) {
        error = "cannot listen on ";
        error += port ? address_of(port) : kLocalHost;
        impl_->port = 0;
        return false;
    }
    impl_->listen_done = false;
    impl_->thread = std::thread([this] {
        impl_->server.listen_after_bind();
        impl_->listen_done = true;
    });
    // A stop() that came before the accept loop runs would not reach it; wait until it does.
    while (!impl_->server.is_running() && !impl_->listen_done)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return true;
}

void DemoServer::stop() {
    if (!impl_->thread.joinable()) return;
    impl_->server.stop();
    impl_->thread.join();
}

int DemoServer::port() const {
    return impl_->port;
}
std::string DemoServer::url() const {
    return impl_->url();
}
const DemoLibrary &DemoServer::library() const {
    return impl_->library;
}
const DemoOptions &DemoServer::options() const {
    return impl_->options;
}

const DemoItem *DemoServer::media_item() const {
    return impl_->media_id.empty() ? nullptr : impl_->library.find(impl_->media_id);
}

std::vector<DemoStreamRequest> DemoServer::stream_log() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return {impl_->stream_log.begin(), impl_->stream_log.end()};
}

DemoStats DemoServer::stats() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->stats;
}

}  // namespace kojelly::cli
