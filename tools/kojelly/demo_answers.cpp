// The demo server's JSON answers; see demo_answers.hpp.
#include "demo_answers.hpp"

#include <algorithm>
#include <string_view>

#include "json_writer.hpp"

namespace kojelly::cli {
namespace {

constexpr const char *kServerName = "kojelly demo server";
constexpr std::int64_t kBitsPerByte = 8;
constexpr std::int64_t kTicksPerSecond = 10000000;

// How each flavour names itself in its public information.
struct Release {
    const char *version;
    const char *product;
};
constexpr Release kJellyfinRelease = {"10.10.3", "Jellyfin Server"};
constexpr Release kEmbyRelease = {"4.8.10.0", "Emby Server"};

const Release &release_of(DemoFlavour flavour) {
    return flavour == DemoFlavour::emby ? kEmbyRelease : kJellyfinRelease;
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

// all: every optional field, whatever fields names.
void item_json(const JsonObject &out, const DemoLibrary &library, const DemoItem &item,
               const ItemFields &fields, bool all) {
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

}  // namespace

std::string public_info_json(const DemoLibrary &library, DemoFlavour flavour,
                             const std::string &url, int port, bool full) {
    const JsonDocument doc;
    const JsonObject info = doc.root();
    info.str("LocalAddress", url);
    info.str("ServerName", kServerName);
    const Release &release = release_of(flavour);
    info.str("Version", release.version);
    info.str("ProductName", release.product);
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
    return doc.text();
}

std::string login_json(const DemoLibrary &library, const DemoOptions &options,
                       const DemoSession &session) {
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
    const JsonObject info = answer.object("SessionInfo");
    info.str("Id", session.id);
    info.str("UserId", library.user_id());
    info.str("UserName", options.user);
    info.str("Client", session.client);
    info.str("DeviceName", session.device);
    info.str("DeviceId", session.device_id);
    info.str("ApplicationVersion", session.version);
    info.str("ServerId", library.server_id());
    answer.str("AccessToken", session.token);
    answer.str("ServerId", library.server_id());
    return doc.text();
}

std::string page_json(const DemoLibrary &library, const std::vector<const DemoItem *> &items,
                      std::int64_t total, std::int64_t start, const ItemFields &fields) {
    const JsonDocument doc;
    const JsonObject page = doc.root();
    const JsonArray list = page.array("Items");
    for (const DemoItem *item : items) item_json(list.object(), library, *item, fields, false);
    page.num("TotalRecordCount", total);
    page.num("StartIndex", start);
    return doc.text();
}

std::string root_page_json(const DemoLibrary &library, const ItemFields &fields) {
    std::vector<const DemoItem *> list;
    for (const std::size_t pos : library.views()) list.push_back(&library.items()[pos]);
    return page_json(library, list, static_cast<std::int64_t>(list.size()), 0, fields);
}

std::string user_item_json(const DemoLibrary &library, const DemoItem &item) {
    const JsonDocument doc;
    item_json(doc.root(), library, item, {}, true);
    return doc.text();
}

std::string playback_info_json(const DemoItem &item, const std::string &play_session_id) {
    const JsonDocument doc;
    const JsonArray sources = doc.root().array("MediaSources");
    if (!item.folder) media_source_json(sources.object(), item);
    doc.root().str("PlaySessionId", play_session_id);
    return doc.text();
}

}  // namespace kojelly::cli
