// The demo server's HTTP side; see demo_server.hpp. Here each request is routed and its caller
// found from the token it carries; demo_answers writes the JSON bodies and demo_media sends a
// file's bytes. Routing is done here rather than by the server library's patterns because the
// server it imitates matches paths and query names without regard to case.
#include "demo_server.hpp"

#include <httplib.h>
#include <yyjson.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <deque>
#include <limits>
#include <mutex>
#include <random>
#include <string_view>
#include <thread>
#include <unordered_set>
#include <utility>

#include "demo_answers.hpp"
#include "demo_http.hpp"
#include "demo_media.hpp"
#include "owned.hpp"
#include "text.hpp"

namespace kojelly::cli {
namespace {

constexpr const char *kLocalHost = "127.0.0.1";
// A host whose plug-in fetches 16 pages at once keeps 16 connections open, and each kept-alive
// connection holds a server thread until it has been idle for 5 seconds. Twice that many threads
// leave room for the host's own requests and for a second host meanwhile.
constexpr std::size_t kServerThreads = 32;

// The one query parameter that may carry a token: current Jellyfin reads `ApiKey` and ignores
// the older `api_key`, which Emby still reads.
const char *key_param_of(DemoFlavour flavour) {
    return flavour == DemoFlavour::emby ? "api_key" : "ApiKey";
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

// "127.0.0.1:PORT". Texts here are built by appending: g++ 12 at -O3 misreads a chain of
// std::string operator+ that starts with a literal as an overlapping copy (-Wrestrict).
std::string address_of(int port) {
    std::string out = kLocalHost;
    out += ':';
    out += std::to_string(port);
    return out;
}

ItemFields fields_of(const httplib::Request &req) {
    ItemFields fields;
    if (const std::string *text = param(req, "Fields")) {
        for (const std::string &f : split(*text, ',')) fields.insert(lower(trim(f)));
    }
    return fields;
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
        DemoMediaFile file;
        if (!inspect_media_file(options.media_file, file, media_error)) return;
        media_id =
            library.add_movie_file(file.title, file.container, file.size, options.media_file).id;
    }

    // header_only: the token counts only when it comes in the MediaBrowser header.
    Caller caller(const httplib::Request &req, bool header_only = false) {
        const std::string token =
            header_only ? auth_member(req, "token") : token_of(req, key_param_of(options.flavour));
        if (token.empty()) return Caller::nobody;
        if (!options.api_key.empty() && token == options.api_key) return Caller::api_key;
        std::lock_guard<std::mutex> guard(lock);
        return tokens.count(token) > 0 ? Caller::user : Caller::nobody;
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
    void stream(const httplib::Request &req, const std::string &id, httplib::Response &res);
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
    drop_ranges(req);
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
            stream(req, seg[1], res);
            return log_stream(req, seg[1], res);
        case Route::none:
            break;
    }
}

void DemoServer::Impl::public_info(httplib::Response &res, bool full) {
    send_json(res, public_info_json(library, options.flavour, url(), port, full));
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
    DemoSession session;
    session.token = token;
    session.id = random_hex();
    session.client = auth_member(req, "client");
    session.device = auth_member(req, "device");
    session.device_id = device_id;
    session.version = auth_member(req, "version");
    send_json(res, login_json(library, options, session));
}

// /UserViews (jellyfin) resolves the user of the token, which an API key does not have;
// /Users/{uid}/Views (emby) names the user in the path.
void DemoServer::Impl::views(const httplib::Request &req, Caller who, const std::string *uid,
                             httplib::Response &res) {
    if (!uid && who == Caller::api_key)
        return send_text(res, 400, "An API key has no user whose views could be listed");
    if (uid && !iequals(*uid, library.user_id())) return send_text(res, 404, "User not found");
    count([](DemoStats &s) { ++s.views; });
    send_json(res, root_page_json(library, fields_of(req)));
}

void DemoServer::Impl::media_folders(const httplib::Request &req, Caller who,
                                     httplib::Response &res) {
    if (who != Caller::api_key && !options.admin) return send_text(res, 403, "Forbidden");
    count([](DemoStats &s) { ++s.media_folders; });
    send_json(res, root_page_json(library, fields_of(req)));
}

void DemoServer::Impl::items(const httplib::Request &req, httplib::Response &res) {
    const ItemFields fields = fields_of(req);
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
        return send_json(
            res, page_json(library, found, static_cast<std::int64_t>(found.size()), 0, fields));
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
    send_json(res, page_json(library, page, total, start, fields));
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
    send_json(res, user_item_json(library, *item));
}

void DemoServer::Impl::playback(const std::string &id, httplib::Response &res) {
    count([](DemoStats &s) { ++s.playback; });
    const DemoItem *item = library.find(id);
    if (!item) return send_text(res, 404, "Item not found");
    send_json(res, playback_info_json(*item, random_hex()));
}

void DemoServer::Impl::stream(const httplib::Request &req, const std::string &id,
                              httplib::Response &res) {
    count([](DemoStats &s) { ++s.streams; });
    const DemoItem *item = library.find(id);
    if (!item || item->folder) return send_text(res, 404, "Item not found");
    if (const std::string *source = param(req, "MediaSourceId");
        source && !source->empty() && !iequals(*source, item->id))
        return send_text(res, 400, "Unknown MediaSourceId");
    send_file_bytes(*item, item->id == media_id, req.get_header_value("Range"), res);
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
