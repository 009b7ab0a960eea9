// The demo server answers as the server it imitates does for everything the plug-in asks: who
// may ask, the login, paging, lookups, playback information and byte ranges of a stream, and the
// movie that stands for a real file.
#include "demo_server.hpp"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "cli_run.hpp"
#include "http_transport.hpp"
#include "scratch_dir.hpp"

namespace {

using e2e::Doc;
using kojelly::cli::DemoFlavour;
using kojelly::cli::DemoItem;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;
using kojelly::cli::HttpTransport;
using kojelly::cli::TransportOptions;

constexpr const char *kPassword = "pw";
constexpr const char *kApiKey = "feedfacefeedfacefeedfacefeedface";
constexpr const char *kClientHeader =
    "Authorization: MediaBrowser Client=\"t\", Device=\"d\", DeviceId=\"dev-1\", Version=\"1\"";

struct Reply {
    std::int32_t result = -1;
    std::int32_t status = 0;
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string error;
    int pieces = 0;
    int stop_after = 0;

    std::string header(const std::string &name) const {
        for (const auto &[n, v] : headers) {
            if (n == name) return v;
        }
        return {};
    }
    Doc json() const {
        return Doc(
            yyjson_read_opts(const_cast<char *>(body.data()), body.size(), 0, nullptr, nullptr));
    }
};

// One exchange with a demo server through the tool's transport.
Reply fetch_from(const DemoServer &server, const HttpTransport &transport,
                 const std::string &method, const std::string &path,
                 std::vector<std::string> lines = {}, const std::string &body = {},
                 int stop_after = 0) {
    const std::string target = server.url() + path;
    std::vector<const char *> line_ptrs;
    for (const auto &l : lines) line_ptrs.push_back(l.c_str());
    tessel_http_req req{};
    req.size = sizeof req;
    req.method = method.c_str();
    req.url = target.c_str();
    req.headers = line_ptrs.data();
    req.header_count = line_ptrs.size();
    req.body = body.empty() ? nullptr : body.data();
    req.body_len = body.size();
    Reply r;
    r.stop_after = stop_after;
    req.user = &r;
    req.on_header = [](void *u, const char *n, const char *v) -> std::int32_t {
        static_cast<Reply *>(u)->headers.emplace_back(n, v);
        return 0;
    };
    req.on_body = [](void *u, const void *b, std::uint64_t n) -> std::int32_t {
        auto &rep = *static_cast<Reply *>(u);
        rep.body.append(static_cast<const char *>(b), n);
        ++rep.pieces;
        return rep.stop_after > 0 && rep.pieces >= rep.stop_after ? 1 : 0;
    };
    char *error = nullptr;
    const tessel_http *http = transport.http();
    r.result = http->request(http->user, &req, &r.status, &error);
    if (error) {
        r.error = error;
        http->free(http->user, error);
    }
    return r;
}

std::string token_line(const std::string &token) {
    return std::string(kClientHeader) + ", Token=\"" + token + "\"";
}

class DemoServerTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(HttpTransport::global_init(error)) << error;
        DemoOptions o;
        o.password = kPassword;
        o.api_key = kApiKey;
        server_ = new DemoServer(o);
        ASSERT_TRUE(server_->start(error)) << error;
        TransportOptions c;
        c.bypass_proxy = true;
        transport_ = new HttpTransport(c);
    }
    static void TearDownTestSuite() {
        // An idle kept-alive connection would hold the server's shutdown until it times out.
        HttpTransport::close_thread_connections();
        delete transport_;
        delete server_;
    }

    static Reply fetch(const std::string &method, const std::string &path,
                       std::vector<std::string> lines = {}, const std::string &body = {},
                       int stop_after = 0) {
        return fetch_from(*server_, *transport_, method, path, std::move(lines), body, stop_after);
    }
    static std::vector<std::string> with_key() { return {token_line(kApiKey)}; }
    static const kojelly::cli::DemoLibrary &lib() { return server_->library(); }
    static const DemoItem &movie(std::size_t i) {
        return lib().items()[lib().movies().children[i]];
    }

    static DemoServer *server_;
    static HttpTransport *transport_;
};

DemoServer *DemoServerTest::server_ = nullptr;
HttpTransport *DemoServerTest::transport_ = nullptr;

TEST_F(DemoServerTest, EveryEndpointButThePublicOnesWantsAToken) {
    const std::string id = movie(0).id;
    struct Case {
        std::string path;
        std::int32_t with_token;
    };
    // The stream is asked for one byte only: the whole file is gigabytes.
    const std::vector<Case> cases = {
        {"/System/Info", 200},
        {"/Library/MediaFolders", 200},
        {"/Items?ParentId=" + lib().movies().id, 200},
        {"/Items?Ids=" + id, 200},
        {"/Users/" + lib().user_id() + "/Items/" + id, 200},
        {"/Items/" + id + "/PlaybackInfo", 200},
        {"/videos/" + id + "/stream?static=true", 206},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.path);
        const std::string range = "Range: bytes=0-0";
        EXPECT_EQ(fetch("GET", c.path, {range}).status, 401);
        EXPECT_EQ(
            fetch("GET", c.path, {std::string(kClientHeader) + ", Token=\"0000\"", range}).status,
            401);
        std::vector<std::string> lines = with_key();
        lines.push_back(range);
        const Reply r = fetch("GET", c.path, lines);
        EXPECT_EQ(r.status, c.with_token);
        if (c.with_token == 200) {
            // An API answer is whole whatever range was asked for.
            const Doc doc = r.json();
            EXPECT_TRUE(yyjson_is_obj(doc ? yyjson_doc_get_root(doc.get()) : nullptr)) << r.body;
            EXPECT_TRUE(r.header("Content-Range").empty());
        }
    }
    EXPECT_EQ(fetch("GET", "/system/info/public").status, 200) << "paths ignore case";
    EXPECT_EQ(fetch("GET", "/nowhere", with_key()).status, 404);
}

TEST_F(DemoServerTest, LoginHandsOutATokenThatOpensTheApi) {
    const Reply r = fetch("POST", "/Users/AuthenticateByName",
                          {kClientHeader, "Content-Type: application/json"},
                          std::string("{\"Username\":\"DEMO\",\"Pw\":\"") + kPassword + "\"}");
    ASSERT_EQ(r.status, 200) << r.body;
    const Doc doc = r.json();
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    const std::string token = yyjson_get_str(yyjson_obj_get(root, "AccessToken"));
    EXPECT_EQ(token.size(), 32u);
    EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_obj_get(root, "User"), "Id")),
                 lib().user_id().c_str());
    EXPECT_EQ(server_->stats().last_device_id, "dev-1");
    EXPECT_EQ(
        fetch("GET", "/System/Info", {std::string(kClientHeader) + ", Token=\"" + token + "\""})
            .status,
        200);
}

TEST_F(DemoServerTest, LoginRefusals) {
    struct Case {
        const char *name;
        std::vector<std::string> lines;
        std::string body;
        std::int32_t status;
    };
    const std::string good = std::string("{\"Username\":\"demo\",\"Pw\":\"") + kPassword + "\"}";
    const std::vector<Case> cases = {
        {"wrong password",
         {kClientHeader, "Content-Type: application/json"},
         "{\"Username\":\"demo\",\"Pw\":\"nope\"}",
         401},
        {"unknown user",
         {kClientHeader, "Content-Type: application/json"},
         std::string("{\"Username\":\"eve\",\"Pw\":\"") + kPassword + "\"}",
         401},
        {"no DeviceId",
         {"Authorization: MediaBrowser Client=\"t\", Device=\"d\", Version=\"1\"",
          "Content-Type: application/json"},
         good,
         400},
        {"not JSON content", {kClientHeader, "Content-Type: text/plain"}, good, 415},
        {"body not JSON", {kClientHeader, "Content-Type: application/json"}, "Username=demo", 400},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(fetch("POST", "/Users/AuthenticateByName", c.lines, c.body).status, c.status);
    }
}

TEST_F(DemoServerTest, FolderPagesFollowStartIndexAndLimit) {
    struct Case {
        std::string query;
        std::size_t first;
        std::size_t count;
    };
    const std::vector<Case> cases = {
        {"&StartIndex=0&Limit=500", 0, 500},
        {"&StartIndex=500&Limit=500", 500, 500},
        {"&StartIndex=1000&Limit=500", 1000, 200},
        {"&StartIndex=1200&Limit=500", 1200, 0},
        {"", 0, 1200},
        {"&startindex=1199", 1199, 1},
    };
    const auto &children = lib().movies().children;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.query);
        const Reply r = fetch("GET",
                              "/Items?ParentId=" + lib().movies().id +
                                  "&Fields=ParentId%2CMediaSources&SortBy=SortName" + c.query,
                              with_key());
        ASSERT_EQ(r.status, 200);
        const Doc doc = r.json();
        yyjson_val *root = yyjson_doc_get_root(doc.get());
        EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "TotalRecordCount")), 1200);
        yyjson_val *items = yyjson_obj_get(root, "Items");
        ASSERT_EQ(yyjson_arr_size(items), c.count);
        std::size_t i = 0;
        std::size_t max = 0;
        yyjson_val *item = nullptr;
        yyjson_arr_foreach(items, i, max, item) {
            const DemoItem &expected = lib().items()[children[c.first + i]];
            EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(item, "Id")), expected.id.c_str());
            EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(item, "ParentId")),
                         lib().movies().id.c_str());
            yyjson_val *source = yyjson_arr_get_first(yyjson_obj_get(item, "MediaSources"));
            EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(source, "Size")), expected.size);
        }
    }
}

// StartIndex and Limit are 32-bit integers on the imitated server: a value it cannot bind is a
// bad request, not a page. Their sum, the end of the page, must not overflow either.
TEST_F(DemoServerTest, PagingValuesOutOfRangeAreBadRequests) {
    const std::vector<std::string> queries = {
        "&Limit=-1",
        "&StartIndex=-1",
        "&Limit=2147483648",
        "&StartIndex=2147483648",
        "&StartIndex=1&Limit=9223372036854775807",
        "&StartIndex=9223372036854775807&Limit=1",
        "&StartIndex=9223372036854775808",
        "&Limit=1e3",
    };
    for (const std::string &query : queries) {
        SCOPED_TRACE(query);
        const Reply r = fetch("GET", "/Items?ParentId=" + lib().movies().id + query, with_key());
        EXPECT_EQ(r.status, 400) << r.body.substr(0, 200);
    }
    // The largest values are still a page: an empty one past the end.
    const Reply r = fetch(
        "GET", "/Items?ParentId=" + lib().movies().id + "&StartIndex=2147483647&Limit=2147483647",
        with_key());
    ASSERT_EQ(r.status, 200) << r.body.substr(0, 200);
    const Doc doc = r.json();
    yyjson_val *root = yyjson_doc_get_root(doc.get());
    EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(root, "Items")), 0u);
    EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "TotalRecordCount")), 1200);
}

TEST_F(DemoServerTest, LookupsByIdsAndByUser) {
    const DemoItem &m = movie(3);
    const std::string missing = "0123456789abcdef0123456789abcdef";
    const Reply ids = fetch("GET", "/Items?Ids=" + m.id + "," + missing, with_key());
    ASSERT_EQ(ids.status, 200);
    const Doc doc = ids.json();
    yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "Items");
    ASSERT_EQ(yyjson_arr_size(items), 1u);
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_arr_get_first(items), "Id")), m.id.c_str());

    const Reply one = fetch("GET", "/Users/" + lib().user_id() + "/Items/" + m.id, with_key());
    ASSERT_EQ(one.status, 200);
    const Doc item = one.json();
    yyjson_val *root = yyjson_doc_get_root(item.get());
    EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(root, "Name")), m.name.c_str());
    EXPECT_FALSE(yyjson_get_bool(yyjson_obj_get(root, "IsFolder")));
    EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "ProductionYear")), m.year);

    EXPECT_EQ(fetch("GET", "/Users/" + lib().user_id() + "/Items/" + missing, with_key()).status,
              404);
    EXPECT_EQ(fetch("GET", "/Users/" + missing + "/Items/" + m.id, with_key()).status, 404);
}

TEST_F(DemoServerTest, PlaybackInfoByGetAndByPost) {
    const DemoItem &m = movie(7);
    for (const std::string method : {"GET", "POST"}) {
        SCOPED_TRACE(method);
        std::vector<std::string> lines = with_key();
        lines.emplace_back("Content-Type: application/json");
        const Reply r =
            fetch(method, "/Items/" + m.id + "/PlaybackInfo", lines, method == "POST" ? "{}" : "");
        ASSERT_EQ(r.status, 200);
        const Doc doc = r.json();
        yyjson_val *source =
            yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "MediaSources"));
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(source, "Id")), m.id.c_str());
        EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(source, "Size")), m.size);
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(source, "Container")), m.container.c_str());
    }
    const Reply folder = fetch("GET", "/Items/" + lib().movies().id + "/PlaybackInfo", with_key());
    EXPECT_EQ(folder.status, 200);
    EXPECT_NE(folder.body.find("\"MediaSources\":[]"), std::string::npos) << folder.body;
}

TEST_F(DemoServerTest, StreamServesByteRanges) {
    const DemoItem &m = movie(1);
    const std::string path =
        "/videos/" + m.id + "/stream?static=true&MediaSourceId=" + m.id + "&ApiKey=" + kApiKey;
    const auto size = static_cast<std::uint64_t>(m.size);
    const std::string total = "/" + std::to_string(size);
    struct Case {
        std::string range;
        std::int32_t status;
        std::string content_range;
        std::uint64_t bytes;
    };
    const std::vector<Case> cases = {
        {"bytes=0-99", 206, "bytes 0-99" + total, 100},
        {"bytes=50-149", 206, "bytes 50-149" + total, 100},
        {"bytes=-10", 206,
         "bytes " + std::to_string(size - 10) + "-" + std::to_string(size - 1) + total, 10},
        {"bytes=" + std::to_string(size - 5) + "-" + std::to_string(size + 100), 206,
         "bytes " + std::to_string(size - 5) + "-" + std::to_string(size - 1) + total, 5},
        {"bytes=" + std::to_string(size) + "-", 416, "bytes *" + total, 0},
    };
    std::vector<std::string> bodies;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.range);
        const Reply r = fetch("GET", path, {"Range: " + c.range});
        ASSERT_EQ(r.result, 0) << r.error;
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.header("Content-Range"), c.content_range);
        if (c.status == 206) {
            EXPECT_EQ(r.body.size(), c.bytes);
        }
        bodies.push_back(r.body);
    }
    // The same offset holds the same byte whichever range it was asked in.
    EXPECT_EQ(bodies[0].substr(50), bodies[1].substr(0, 50));

    // Answers that run to the end of the file are read up to their first piece only.
    const Reply open_ended = fetch("GET", path, {"Range: bytes=100-"}, {}, 1);
    EXPECT_EQ(open_ended.status, 206);
    EXPECT_EQ(open_ended.header("Content-Range"), "bytes 100-" + std::to_string(size - 1) + total);
    EXPECT_EQ(open_ended.header("Content-Length"), std::to_string(size - 100));

    // No Range, several ranges and a suffix of no bytes all get the whole file.
    const std::vector<std::vector<std::string>> whole_file = {
        {}, {"Range: bytes=0-1,5-6"}, {"Range: bytes=-0"}};
    for (const std::vector<std::string> &lines : whole_file) {
        SCOPED_TRACE(lines.empty() ? "no Range" : lines.front());
        const Reply whole = fetch("GET", path, lines, {}, 1);
        EXPECT_EQ(whole.status, 200);
        EXPECT_EQ(whole.header("Content-Length"), std::to_string(size));
        EXPECT_TRUE(whole.header("Content-Range").empty());
        EXPECT_EQ(whole.body.substr(0, 100), bodies[0]);
    }

    EXPECT_EQ(fetch("GET", "/videos/" + m.id + "/stream?MediaSourceId=" + movie(2).id +
                               "&ApiKey=" + kApiKey)
                  .status,
              400);
}

// Three servers: one of each flavour, and a jellyfin one whose user is an administrator.
class DemoFlavourTest : public ::testing::Test {
protected:
    enum Which { kJellyfin, kEmby, kJellyfinAdmin, kServers };
    enum class Cred { api_key, user, none };

    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(HttpTransport::global_init(error)) << error;
        for (int i = 0; i < kServers; ++i) {
            DemoOptions o;
            o.password = kPassword;
            o.api_key = kApiKey;
            o.flavour = i == kEmby ? DemoFlavour::emby : DemoFlavour::jellyfin;
            o.admin = i == kJellyfinAdmin;
            o.movies = kFewMovies;
            servers_[i] = new DemoServer(o);
            ASSERT_TRUE(servers_[i]->start(error)) << error;
        }
        TransportOptions c;
        c.bypass_proxy = true;
        transport_ = new HttpTransport(c);
        for (int i = 0; i < kServers; ++i) tokens_[i] = login(i);
    }
    static void TearDownTestSuite() {
        HttpTransport::close_thread_connections();
        delete transport_;
        for (DemoServer *&s : servers_) {
            delete s;
            s = nullptr;
        }
    }

    static std::string login(int which) {
        const Reply r =
            fetch_from(*servers_[which], *transport_, "POST", "/Users/AuthenticateByName",
                       {kClientHeader, "Content-Type: application/json"},
                       std::string("{\"Username\":\"demo\",\"Pw\":\"") + kPassword + "\"}");
        const Doc doc = r.json();
        const char *token =
            yyjson_get_str(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "AccessToken"));
        return token ? token : "";
    }

    static Reply get(int which, const std::string &path, Cred cred,
                     std::vector<std::string> lines = {}) {
        if (cred == Cred::api_key) lines.push_back(token_line(kApiKey));
        if (cred == Cred::user) lines.push_back(token_line(tokens_[which]));
        return fetch_from(*servers_[which], *transport_, "GET", path, lines);
    }

    static constexpr int kFewMovies = 30;
    static DemoServer *servers_[kServers];
    static std::string tokens_[kServers];
    static HttpTransport *transport_;
};

DemoServer *DemoFlavourTest::servers_[kServers] = {};
std::string DemoFlavourTest::tokens_[kServers];
HttpTransport *DemoFlavourTest::transport_ = nullptr;

TEST_F(DemoFlavourTest, RootPagesAnswerAsEachFlavourDoes) {
    struct Case {
        const char *name;
        int server;
        std::string path;  // "{uid}": the user's id
        Cred cred;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {"jellyfin: a user's views", kJellyfin, "/UserViews", Cred::user, 200},
        {"jellyfin: an API key has no user", kJellyfin, "/UserViews", Cred::api_key, 400},
        {"jellyfin: no views under /Users", kJellyfin, "/Users/{uid}/Views", Cred::user, 404},
        {"jellyfin: media folders for an API key", kJellyfin, "/Library/MediaFolders",
         Cred::api_key, 200},
        {"jellyfin: media folders refused to a user", kJellyfin, "/Library/MediaFolders",
         Cred::user, 403},
        {"jellyfin: media folders for an administrator", kJellyfinAdmin, "/Library/MediaFolders",
         Cred::user, 200},
        {"jellyfin: media folders want a token", kJellyfin, "/Library/MediaFolders", Cred::none,
         401},
        {"emby: no /UserViews for a user", kEmby, "/UserViews", Cred::user, 404},
        {"emby: no /UserViews for an API key", kEmby, "/UserViews", Cred::api_key, 404},
        {"emby: a user's views", kEmby, "/Users/{uid}/Views", Cred::user, 200},
        {"emby: a user's views for an API key", kEmby, "/Users/{uid}/Views", Cred::api_key, 200},
        {"emby: an unknown user", kEmby, "/Users/0123456789abcdef0123456789abcdef/Views",
         Cred::user, 404},
        {"emby: media folders for an API key", kEmby, "/Library/MediaFolders", Cred::api_key, 200},
        {"emby: media folders refused to a user", kEmby, "/Library/MediaFolders", Cred::user, 403},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto &lib = servers_[c.server]->library();
        std::string path = c.path;
        if (const auto at = path.find("{uid}"); at != std::string::npos)
            path.replace(at, 5, lib.user_id());
        const Reply r = get(c.server, path, c.cred);
        ASSERT_EQ(r.status, c.status) << r.body;
        if (c.status != 200) continue;
        // Every root page is the same page of the libraries.
        const Doc doc = r.json();
        yyjson_val *root = yyjson_doc_get_root(doc.get());
        EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(root, "TotalRecordCount")),
                  static_cast<std::int64_t>(lib.views().size()));
        yyjson_val *items = yyjson_obj_get(root, "Items");
        ASSERT_EQ(yyjson_arr_size(items), lib.views().size());
        for (std::size_t i = 0; i < lib.views().size(); ++i) {
            EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(yyjson_arr_get(items, i), "Id")),
                         lib.items()[lib.views()[i]].id.c_str());
        }
    }
}

// A stream URL carries its token in the query; each flavour reads it under one name only.
TEST_F(DemoFlavourTest, StreamTokenInTheQueryOnlyUnderTheFlavoursName) {
    struct Case {
        const char *name;
        int server;
        const char *key_param;  // nullptr: the token only in the Authorization header
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {"jellyfin reads ApiKey", kJellyfin, "ApiKey", 206},
        {"jellyfin ignores api_key", kJellyfin, "api_key", 401},
        {"jellyfin reads the header", kJellyfin, nullptr, 206},
        {"emby reads api_key", kEmby, "api_key", 206},
        {"emby ignores ApiKey", kEmby, "ApiKey", 401},
        {"emby reads the header", kEmby, nullptr, 206},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto &lib = servers_[c.server]->library();
        const std::string id = lib.items()[lib.movies().children[0]].id;
        std::string path = "/videos/" + id + "/stream?static=true&MediaSourceId=" + id;
        if (c.key_param) path += std::string("&") + c.key_param + "=" + kApiKey;
        const Reply r =
            get(c.server, path, c.key_param ? Cred::none : Cred::api_key, {"Range: bytes=0-0"});
        EXPECT_EQ(r.status, c.status);
    }
}

TEST(DemoLibraryFlavours, ItemIdsTakeTheFlavoursForm) {
    const kojelly::cli::DemoLibrary jellyfin(kojelly::cli::kDemoMovies, DemoFlavour::jellyfin);
    const kojelly::cli::DemoLibrary emby(kojelly::cli::kDemoMovies, DemoFlavour::emby);
    const auto hex32 = [](const std::string &id) {
        return id.size() == 32 && id.find_first_not_of("0123456789abcdef") == std::string::npos;
    };
    const auto decimal = [](const std::string &id) {
        return !id.empty() && id.size() <= 20 && id[0] != '0' &&
               id.find_first_not_of("0123456789") == std::string::npos;
    };
    for (const auto *lib : {&jellyfin, &emby}) {
        EXPECT_TRUE(hex32(lib->server_id())) << lib->server_id();
        EXPECT_TRUE(hex32(lib->user_id())) << lib->user_id();
    }
    ASSERT_EQ(jellyfin.items().size(), emby.items().size());
    for (std::size_t i = 0; i < emby.items().size(); ++i) {
        const DemoItem &j = jellyfin.items()[i];
        const DemoItem &e = emby.items()[i];
        ASSERT_TRUE(hex32(j.id)) << j.id;
        ASSERT_TRUE(decimal(e.id)) << e.id;
        ASSERT_EQ(emby.find(e.id), &e) << "ids are unique";
        ASSERT_EQ(j.name, e.name);
        ASSERT_EQ(j.size, e.size);
        EXPECT_EQ(j.parent_id.empty(), e.parent_id.empty());
    }
}

TEST(DemoServerFaults, AFaultReplacesOrDelaysTheAnswer) {
    std::string error;
    ASSERT_TRUE(HttpTransport::global_init(error)) << error;
    DemoOptions o;
    o.faults.push_back({"/system/info/PUBLIC", 503, "down for maintenance", "text/plain", 0});
    DemoServer server(o);
    ASSERT_TRUE(server.start(error)) << error;
    TransportOptions c;
    c.bypass_proxy = true;
    HttpTransport t(c);
    const std::string target = server.url() + "/System/Info/Public";
    tessel_http_req req{};
    req.size = sizeof req;
    req.method = "GET";
    req.url = target.c_str();
    std::string body;
    req.user = &body;
    req.on_body = [](void *u, const void *b, std::uint64_t n) -> std::int32_t {
        static_cast<std::string *>(u)->append(static_cast<const char *>(b), n);
        return 0;
    };
    std::int32_t status = 0;
    char *err = nullptr;
    ASSERT_EQ(t.http()->request(t.http()->user, &req, &status, &err), 0);
    EXPECT_EQ(status, 503);
    EXPECT_EQ(body, "down for maintenance");
    HttpTransport::close_thread_connections();
}

}  // namespace

namespace {

// Servers of both flavours, with and without stream authentication, whose extra movie is a file
// of known bytes, larger than one piece of a stream answer.
class DemoMediaTest : public ::testing::Test {
protected:
    enum Which { kJellyfin, kEmby, kJellyfinAuth, kEmbyAuth, kServers };

    static void SetUpTestSuite() {
        std::string error;
        ASSERT_TRUE(HttpTransport::global_init(error)) << error;
        dir_ = new e2e::ScratchDir;
        ASSERT_FALSE(dir_->path().empty());
        for (std::size_t i = 0; i < kMediaBytes; ++i)
            bytes_.push_back(static_cast<char>((i * 131 + i / 251) & 0xFF));
        path_ = dir_->write("Sample Clip.mkv", bytes_);
        ASSERT_FALSE(path_.empty());
        for (int i = 0; i < kServers; ++i) {
            DemoOptions o;
            o.api_key = kApiKey;
            o.flavour = i == kEmby || i == kEmbyAuth ? DemoFlavour::emby : DemoFlavour::jellyfin;
            o.stream_auth = i == kJellyfinAuth || i == kEmbyAuth;
            o.movies = kFewMovies;
            o.media_file = path_;
            servers_[i] = new DemoServer(o);
            ASSERT_TRUE(servers_[i]->start(error)) << error;
        }
        TransportOptions c;
        c.bypass_proxy = true;
        transport_ = new HttpTransport(c);
    }
    static void TearDownTestSuite() {
        HttpTransport::close_thread_connections();
        delete transport_;
        for (DemoServer *&s : servers_) {
            delete s;
            s = nullptr;
        }
        delete dir_;
    }

    static const DemoItem &media(int which) { return *servers_[which]->media_item(); }
    static std::string stream_path(int which) {
        const std::string &id = media(which).id;
        return "/videos/" + id + "/stream?static=true&MediaSourceId=" + id;
    }

    static constexpr std::size_t kMediaBytes = 200000;
    static constexpr int kFewMovies = 30;
    static e2e::ScratchDir *dir_;
    static std::string bytes_;
    static std::string path_;
    static DemoServer *servers_[kServers];
    static HttpTransport *transport_;
};

e2e::ScratchDir *DemoMediaTest::dir_ = nullptr;
std::string DemoMediaTest::bytes_;
std::string DemoMediaTest::path_;
DemoServer *DemoMediaTest::servers_[kServers] = {};
HttpTransport *DemoMediaTest::transport_ = nullptr;

TEST_F(DemoMediaTest, MediaMovieStandsForTheFile) {
    for (int which = 0; which < kServers; ++which) {
        SCOPED_TRACE(which);
        ASSERT_NE(servers_[which]->media_item(), nullptr);
        const DemoItem &m = media(which);
        EXPECT_EQ(m.name, "Sample Clip");
        EXPECT_EQ(m.container, "mkv");
        EXPECT_EQ(m.size, static_cast<std::int64_t>(kMediaBytes));
        const auto &lib = servers_[which]->library();
        EXPECT_EQ(lib.find(m.id), &m);
        const auto &movies = lib.movies().children;
        EXPECT_EQ(movies.size(), static_cast<std::size_t>(kFewMovies) + 1);
        EXPECT_NE(std::find_if(movies.begin(), movies.end(),
                               [&](std::size_t pos) { return lib.items()[pos].id == m.id; }),
                  movies.end())
            << "the movie is listed in the Movies library";

        const Reply r = fetch_from(*servers_[which], *transport_, "GET",
                                   "/Items/" + m.id + "/PlaybackInfo", {token_line(kApiKey)});
        ASSERT_EQ(r.status, 200);
        const Doc doc = r.json();
        yyjson_val *source =
            yyjson_arr_get_first(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "MediaSources"));
        EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(source, "Size")),
                  static_cast<std::int64_t>(kMediaBytes));
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(source, "Container")), "mkv");
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(source, "Path")), path_.c_str());
        // Its running time is not known, so neither is its bit rate.
        EXPECT_EQ(yyjson_obj_get(source, "RunTimeTicks"), nullptr);
        EXPECT_EQ(yyjson_obj_get(source, "Bitrate"), nullptr);
    }
}

TEST(DemoMediaFile, ContainerAndNameComeFromTheFileName) {
    e2e::ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    struct Case {
        const char *file;
        const char *name;
        const char *container;
    };
    const std::vector<Case> cases = {
        {"clip.mp4", "clip", "mp4"},          {"Trip.2019.MKV", "Trip.2019", "mkv"},
        {"phone.m4v", "phone", "mp4"},        {"talk.webm", "talk", "webm"},
        {"no extension", "no extension", ""}, {".hidden", ".hidden", ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        DemoOptions o;
        o.movies = 3;
        o.media_file = dir.write(c.file, "0123456789");
        ASSERT_FALSE(o.media_file.empty());
        const DemoServer server(o);
        const DemoItem *m = server.media_item();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->name, c.name);
        EXPECT_EQ(m->container, c.container);
        EXPECT_EQ(m->size, 10);
        EXPECT_EQ(m->path, o.media_file);
        EXPECT_EQ(m->type, "Movie");
        EXPECT_FALSE(m->folder);
    }
    EXPECT_EQ(DemoServer(DemoOptions{}).media_item(), nullptr) << "no file, no such movie";
}

TEST(DemoMediaFile, AFileThatCannotBeServedStopsTheStart) {
    e2e::ScratchDir dir;
    ASSERT_FALSE(dir.path().empty());
    struct Case {
        std::string file;
        std::string message;
    };
    const std::vector<Case> cases = {
        {dir.file("missing.mp4"), "cannot read " + dir.file("missing.mp4")},
        {dir.path(), dir.path() + " is not a regular file"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.file);
        DemoOptions o;
        o.movies = 3;
        o.media_file = c.file;
        DemoServer server(o);
        EXPECT_EQ(server.media_item(), nullptr);
        std::string error;
        EXPECT_FALSE(server.start(error));
        EXPECT_NE(error.find(c.message), std::string::npos) << error;
    }
}

// The file's bytes, by range, as a current server sends a file: every answer says it takes
// ranges, one range is clamped to the file, a range past the end is refused, and HEAD answers
// the same without the body. Each request appears in the stream log as it was answered.
TEST_F(DemoMediaTest, StreamSendsTheFilesBytesByRange) {
    const std::uint64_t size = kMediaBytes;
    const std::string total = "/" + std::to_string(size);
    const auto span = [&](std::uint64_t first, std::uint64_t last) {
        return "bytes " + std::to_string(first) + "-" + std::to_string(last) + total;
    };
    struct Case {
        std::string method;
        std::string range;  // empty: no Range header
        std::int32_t status;
        std::string content_range;
        std::uint64_t first;  // the bytes of the file the answer holds
        std::uint64_t count;
    };
    const std::vector<Case> cases = {
        {"GET", "", 200, "", 0, size},
        {"GET", "bytes=0-99", 206, span(0, 99), 0, 100},
        {"GET", "bytes=65530-65545", 206, span(65530, 65545), 65530, 16},
        {"GET", "bytes=150000-", 206, span(150000, size - 1), 150000, size - 150000},
        {"GET", "bytes=-10", 206, span(size - 10, size - 1), size - 10, 10},
        {"GET", "bytes=" + std::to_string(size - 5) + "-" + std::to_string(size + 100), 206,
         span(size - 5, size - 1), size - 5, 5},
        {"GET", "bytes=" + std::to_string(size) + "-", 416, "bytes */" + std::to_string(size), 0,
         0},
        {"HEAD", "", 200, "", 0, size},
        {"HEAD", "bytes=100-199", 206, span(100, 199), 100, 100},
    };
    for (const int which : {kJellyfin, kJellyfinAuth}) {
        for (const Case &c : cases) {
            SCOPED_TRACE(std::to_string(which) + " " + c.method + " " + c.range);
            std::vector<std::string> lines = {token_line(kApiKey)};
            if (!c.range.empty()) lines.push_back("Range: " + c.range);
            const Reply r =
                fetch_from(*servers_[which], *transport_, c.method, stream_path(which), lines);
            ASSERT_EQ(r.result, 0) << r.error;
            EXPECT_EQ(r.status, c.status);
            EXPECT_EQ(r.header("Accept-Ranges"), "bytes");
            EXPECT_EQ(r.header("Content-Range"), c.content_range);
            if (c.status != 416) {
                EXPECT_EQ(r.header("Content-Type"), "video/x-matroska");
                EXPECT_EQ(r.header("Content-Length"), std::to_string(c.count));
                if (c.method == "GET") {
                    EXPECT_TRUE(r.body == bytes_.substr(c.first, c.count))
                        << r.body.size() << " bytes received, not the file's";
                } else {
                    EXPECT_TRUE(r.body.empty());
                }
            }
            const auto log = servers_[which]->stream_log();
            ASSERT_FALSE(log.empty());
            EXPECT_EQ(log.back().method, c.method);
            EXPECT_EQ(log.back().item_id, media(which).id);
            EXPECT_EQ(log.back().range, c.range);
            EXPECT_EQ(log.back().status, c.status);
            EXPECT_EQ(log.back().content_range, c.content_range);
        }
    }
}

// With stream authentication a stream wants the token in the MediaBrowser header, and a token in
// the query, which the flavour otherwise reads, no longer opens it. Other requests are unchanged.
TEST_F(DemoMediaTest, StreamAuthenticationTakesTheTokenFromTheHeaderOnly) {
    enum class Token { header, query, wrong_header, none };
    struct Case {
        const char *name;
        int server;
        Token token;
        std::int32_t status;
    };
    const std::vector<Case> cases = {
        {"jellyfin: header", kJellyfin, Token::header, 206},
        {"jellyfin: ApiKey in the query", kJellyfin, Token::query, 206},
        {"jellyfin: no token", kJellyfin, Token::none, 401},
        {"emby: header", kEmby, Token::header, 206},
        {"emby: api_key in the query", kEmby, Token::query, 206},
        {"emby: no token", kEmby, Token::none, 401},
        {"jellyfin, stream auth: header", kJellyfinAuth, Token::header, 206},
        {"jellyfin, stream auth: ApiKey in the query", kJellyfinAuth, Token::query, 401},
        {"jellyfin, stream auth: unknown token in the header", kJellyfinAuth, Token::wrong_header,
         401},
        {"jellyfin, stream auth: no token", kJellyfinAuth, Token::none, 401},
        {"emby, stream auth: header", kEmbyAuth, Token::header, 206},
        {"emby, stream auth: api_key in the query", kEmbyAuth, Token::query, 401},
        {"emby, stream auth: unknown token in the header", kEmbyAuth, Token::wrong_header, 401},
        {"emby, stream auth: no token", kEmbyAuth, Token::none, 401},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DemoServer &server = *servers_[c.server];
        const bool emby = server.options().flavour == DemoFlavour::emby;
        std::string path = stream_path(c.server);
        std::vector<std::string> lines = {"Range: bytes=0-0"};
        if (c.token == Token::header) lines.push_back(token_line(kApiKey));
        if (c.token == Token::wrong_header) lines.push_back(token_line("0000"));
        if (c.token == Token::query) path += std::string(emby ? "&api_key=" : "&ApiKey=") + kApiKey;
        const Reply r = fetch_from(server, *transport_, "GET", path, lines);
        EXPECT_EQ(r.status, c.status);
        const auto log = server.stream_log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back().status, c.status) << "the log holds refusals too";

        // The rest of the API still takes the token in the query.
        const std::string info = "/Items/" + media(c.server).id + "/PlaybackInfo" +
                                 (emby ? "?api_key=" : "?ApiKey=") + kApiKey;
        EXPECT_EQ(fetch_from(server, *transport_, "GET", info).status, 200);
    }
}

}  // namespace
