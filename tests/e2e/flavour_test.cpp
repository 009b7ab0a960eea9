// The kojelly tool against both flavours of the demo server, in both credential modes: a current
// Jellyfin server, whose /UserViews has no user for an API key, and an Emby server, which has no
// /UserViews at all and numeric item ids. The root listing must show the libraries in every
// combination, and a whole session (validate, the libraries, a library, a probed stream) must
// go through.
#include <gtest/gtest.h>
#include <yyjson.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "cli_run.hpp"
#include "demo_server.hpp"

namespace {

using e2e::Doc;
using e2e::parse;
using e2e::kojelly;
using e2e::lines_of;
using e2e::show;
using kojelly::cli::DemoFlavour;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;
using kojelly::cli::DemoStats;

constexpr const char *kUser = "demo";
constexpr const char *kPassword = "flavour-pass";
constexpr const char *kApiKey = "abcdef0123456789abcdef0123456789";
constexpr const char *kPasswordVar = "KJ_FLAVOUR_PASSWORD";
constexpr const char *kApiKeyVar = "KJ_FLAVOUR_API_KEY";

const char *str_of(yyjson_val *obj, const char *name) {
    return yyjson_get_str(yyjson_obj_get(obj, name));
}

enum class Mode { api_key, login };

class FlavourTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        for (const DemoFlavour f : {DemoFlavour::jellyfin, DemoFlavour::emby}) {
            DemoOptions o;
            o.user = kUser;
            o.password = kPassword;
            o.api_key = kApiKey;
            o.flavour = f;
            DemoServer *&server = f == DemoFlavour::emby ? emby_ : jellyfin_;
            server = new DemoServer(o);
            std::string error;
            ASSERT_TRUE(server->start(error)) << error;
        }
    }
    static void TearDownTestSuite() {
        delete jellyfin_;
        delete emby_;
        jellyfin_ = emby_ = nullptr;
    }

    static DemoServer &server(DemoFlavour f) {
        return f == DemoFlavour::emby ? *emby_ : *jellyfin_;
    }

    // The tool's arguments for a server and a credential mode, then the command.
    static std::vector<std::string> args(DemoFlavour f, Mode mode, std::vector<std::string> rest) {
        std::vector<std::string> a = {"--server", server(f).url()};
        if (mode == Mode::api_key) {
            a.insert(a.end(), {"--api-key-env", kApiKeyVar});
        } else {
            a.insert(a.end(), {"--user", kUser, "--password-env", kPasswordVar});
        }
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    static e2e::Env secrets() { return {{kPasswordVar, kPassword}, {kApiKeyVar, kApiKey}}; }

    static DemoServer *jellyfin_;
    static DemoServer *emby_;
};

DemoServer *FlavourTest::jellyfin_ = nullptr;
DemoServer *FlavourTest::emby_ = nullptr;

std::string trace_name(DemoFlavour f, Mode mode) {
    return std::string(kojelly::cli::flavour_name(f)) +
           (mode == Mode::api_key ? ", API key" : ", login");
}

TEST_F(FlavourTest, RootListingShowsTheLibrariesInEveryFlavourAndMode) {
    // What the server sees of one `kojelly ls`: each run is a new process, so a login comes
    // first in login mode; the root is one /UserViews, then the fallback after a 400 or 404.
    struct Case {
        DemoFlavour flavour;
        Mode mode;
        int requests;
        int views;          // pages of /UserViews or /Users/{id}/Views
        int media_folders;  // pages of /Library/MediaFolders
    };
    const std::vector<Case> cases = {
        {DemoFlavour::jellyfin, Mode::api_key, 2, 0, 1},  // /UserViews 400, media folders
        {DemoFlavour::jellyfin, Mode::login, 2, 1, 0},    // login, /UserViews
        {DemoFlavour::emby, Mode::api_key, 2, 0, 1},      // /UserViews 404, media folders
        {DemoFlavour::emby, Mode::login, 3, 1, 0},        // login, /UserViews 404, user views
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(trace_name(c.flavour, c.mode));
        DemoServer &s = server(c.flavour);
        const DemoStats before = s.stats();
        const auto r = kojelly(args(c.flavour, c.mode, {"ls"}), secrets());
        ASSERT_EQ(r.status, 0) << show(r);
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 4u) << r.out;
        EXPECT_EQ(lines[1].rfind("Movies/", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find(s.library().movies().id), std::string::npos) << lines[1];
        EXPECT_EQ(lines[2].rfind("Shows/", 0), 0u) << lines[2];
        EXPECT_NE(lines[2].find(s.library().shows().id), std::string::npos) << lines[2];
        EXPECT_EQ(lines[3], "2 items");

        const DemoStats after = s.stats();
        EXPECT_EQ(after.requests - before.requests, c.requests);
        EXPECT_EQ(after.views - before.views, c.views);
        EXPECT_EQ(after.media_folders - before.media_folders, c.media_folders);
        EXPECT_EQ(after.unauthorized, before.unauthorized);
    }
}

// validate, ls of the root, ls of the library found there, stream --probe of a movie found in
// it: each step works from what the one before printed, as a user would go.
TEST_F(FlavourTest, BrowseAndStreamSessionInEveryFlavourAndMode) {
    for (const DemoFlavour f : {DemoFlavour::jellyfin, DemoFlavour::emby}) {
        for (const Mode mode : {Mode::api_key, Mode::login}) {
            SCOPED_TRACE(trace_name(f, mode));
            DemoServer &s = server(f);
            const auto &lib = s.library();
            const DemoStats before = s.stats();

            const auto valid = kojelly(args(f, mode, {"validate"}), secrets());
            ASSERT_EQ(valid.status, 0) << show(valid);
            EXPECT_NE(valid.out.find("ID             " + lib.server_id()), std::string::npos)
                << valid.out;

            const auto root = kojelly(args(f, mode, {"ls", "--json"}), secrets());
            ASSERT_EQ(root.status, 0) << show(root);
            const Doc root_doc = parse(root.out);
            yyjson_val *views = yyjson_obj_get(yyjson_doc_get_root(root_doc.get()), "items");
            ASSERT_EQ(yyjson_arr_size(views), 2u) << root.out;
            yyjson_val *movies_entry = yyjson_arr_get_first(views);
            ASSERT_STREQ(str_of(movies_entry, "name"), "Movies");
            const std::string movies = str_of(movies_entry, "id");
            EXPECT_EQ(movies, lib.movies().id);

            const auto library = kojelly(args(f, mode, {"ls", movies, "--json"}), secrets());
            ASSERT_EQ(library.status, 0) << show(library);
            const Doc library_doc = parse(library.out);
            yyjson_val *films = yyjson_obj_get(yyjson_doc_get_root(library_doc.get()), "items");
            ASSERT_EQ(yyjson_arr_size(films), lib.movies().children.size());
            yyjson_val *film = yyjson_arr_get(films, 7);
            ASSERT_FALSE(yyjson_get_bool(yyjson_obj_get(film, "folder")));
            const std::string id = str_of(film, "id");
            const std::int64_t size = yyjson_get_sint(yyjson_obj_get(film, "size"));
            EXPECT_EQ(id, lib.items()[lib.movies().children[7]].id);

            // The URL names the token as api_key, which the jellyfin flavour ignores: the
            // stream opens there only because the probe sends the Authorization header.
            const auto stream = kojelly(args(f, mode, {"stream", id, "--probe"}), secrets());
            ASSERT_EQ(stream.status, 0) << show(stream);
            EXPECT_NE(stream.out.find("/videos/" + id + "/stream?static=true"), std::string::npos)
                << stream.out;
            EXPECT_NE(stream.out.find("probe      HTTP 206, Content-Range: bytes 0-65535/" +
                                      std::to_string(size) + ", 65536 bytes received"),
                      std::string::npos)
                << stream.out;

            const DemoStats after = s.stats();
            EXPECT_EQ(after.streams - before.streams, 1);
            EXPECT_EQ(after.unauthorized, before.unauthorized) << "a request was refused";
        }
    }
}

TEST(FlavourDemoTest, DemoSucceedsInEachFlavour) {
    for (const std::string flavour : {"jellyfin", "emby"}) {
        SCOPED_TRACE(flavour);
        const auto r = kojelly({"demo", "--flavour", flavour});
        ASSERT_EQ(r.status, 0) << show(r);
        for (const std::string &text :
             {"(" + flavour + " flavour)", std::string("in 3 pages of at most 500"),
              std::string("probe      HTTP 206, Content-Range: bytes 0-65535/"),
              std::string("Every step succeeded.")}) {
            EXPECT_NE(r.out.find(text), std::string::npos) << text;
        }
    }
}

TEST(FlavourDemoTest, ServeRunsTheChosenFlavourUntilStopped) {
    e2e::RunRequest run;
    run.program = KOJELLY_CLI_PATH;
    run.args = {"demo", "--serve", "--flavour", "emby"};
    run.terminate_after = "Ctrl-C stops it.";
    run.deadline = std::chrono::milliseconds(20000);
    const auto r = e2e::run_child(run);
    ASSERT_FALSE(r.timed_out) << show(r);
    EXPECT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(r.out.rfind("demo server (emby flavour) listening on http://127.0.0.1:", 0), 0u)
        << r.out;
    EXPECT_NE(r.out.find("demo server stopped after 0 requests"), std::string::npos) << r.out;
}

}  // namespace
