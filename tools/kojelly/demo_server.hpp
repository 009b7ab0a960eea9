// The demo server: a small in-process HTTP server on 127.0.0.1 that speaks the part of the
// Jellyfin and Emby API the plug-in uses, the way a current server of the chosen flavour answers
// it, over the generated DemoLibrary. It knows one user (login by POST
// /Users/AuthenticateByName, which hands out 32-hex-digit tokens) and optionally an API key;
// every endpoint but /System/Info/Public and the login wants a token in the MediaBrowser
// Authorization header (or in the query: `ApiKey` on jellyfin, `api_key` on emby) and answers
// 401 without one. The flavours differ where real servers do: jellyfin resolves /UserViews for
// a user's token only and answers 400 to an API key, emby has no /UserViews at all and serves
// /Users/{id}/Views; both serve /Library/MediaFolders to an API key or an administrator. One
// more movie may stand for a real file, so that real players can play its stream; streams may be
// told to take the token from the header only. Faults can be configured per path prefix, and an
// endless tree of folders served beside the library, so that tests see a failing or misbehaving
// server. The tool's `demo` command and the end-to-end tests run it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "demo_library.hpp"

namespace kojelly::cli {

// An answer that replaces the normal one for every path starting with path_prefix (compared
// without regard to case). With status 0 the request is only delayed and then answered normally.
struct DemoFault {
    std::string path_prefix;
    int status = 500;
    std::string body;
    std::string content_type = "text/plain";
    int delay_ms = 0;
};

// One request for a stream (/Videos/{id}/stream), as it was answered.
struct DemoStreamRequest {
    std::string method;  // GET or HEAD
    std::string item_id;
    std::string range;  // the Range header as sent; empty without one
    int status = 0;
    std::string content_range;  // the answer's Content-Range; empty without one
};

struct DemoOptions {
    std::string user = "demo";
    std::string password = "demo";
    std::string api_key;  // empty: no API key is accepted
    DemoFlavour flavour = DemoFlavour::jellyfin;
    bool admin = false;  // the user is an administrator, so may read /Library/MediaFolders
    std::vector<DemoFault> faults;
    int movies = kDemoMovies;
    // When above 0, every item id the library does not hold names a folder of this many new
    // folders, each of them again such a folder: a server whose tree never ends.
    int endless_folders = 0;
    // A real file that one more movie of the Movies library stands for (DemoServer::media_item):
    // named after the file, its PlaybackInfo reports the file's size and the container its
    // extension names, and its stream sends the file's bytes. Empty: no such movie. start()
    // fails when the file cannot be read.
    std::string media_file;
    // A stream request must carry the token in its MediaBrowser Authorization header (Token="…",
    // under Authorization or X-Emby-Authorization); one in the query is ignored, so a player
    // given the URL alone is refused with 401. Every other request takes the token as usual.
    bool stream_auth = false;
    // Called, on a server thread, with every stream request once it has been answered.
    std::function<void(const DemoStreamRequest &)> on_stream;
};

// What the server has seen since it started.
struct DemoStats {
    int requests = 0;
    int logins = 0;  // successful ones
    int failed_logins = 0;
    int unauthorized = 0;   // 401 answers for a missing or unknown token
    int views = 0;          // root pages served from /UserViews or /Users/{id}/Views
    int media_folders = 0;  // root pages served from /Library/MediaFolders
    int item_pages = 0;     // /Items with ParentId
    int items_at_once = 0;  // the most /Items requests in progress at the same time
    int lookups = 0;        // /Items with Ids, and /Users/{id}/Items/{id}
    int playback = 0;
    int streams = 0;
    std::string last_device_id;  // from the last login's Authorization header
};

constexpr std::size_t kDemoStreamLog = 10000;

class DemoServer {
public:
    explicit DemoServer(DemoOptions options = {});
    ~DemoServer();
    DemoServer(const DemoServer &) = delete;
    DemoServer &operator=(const DemoServer &) = delete;

    // Binds 127.0.0.1 (port 0: a free port) and serves on threads of its own until stop().
    [[nodiscard]] bool start(std::string &error, int port = 0);
    void stop();

    int port() const;
    std::string url() const;  // "http://127.0.0.1:PORT"
    DemoStats stats() const;
    const DemoLibrary &library() const;
    const DemoOptions &options() const;
    // The movie that stands for DemoOptions::media_file; null without one.
    const DemoItem *media_item() const;
    // The stream requests answered so far, oldest first; only the latest kDemoStreamLog are kept.
    std::vector<DemoStreamRequest> stream_log() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kojelly::cli
