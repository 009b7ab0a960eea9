// The kojelly tool as a user runs it: a separate process, loading the plug-in from beside the
// binary, talking HTTP over loopback to the demo server that this test process runs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <yyjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "cli_run.hpp"
#include "demo_server.hpp"
#include "text.hpp"

namespace {

using e2e::Doc;
using e2e::parse;
using e2e::closed_port;
using e2e::kojelly;
using e2e::lines_of;
using e2e::show;
using kojelly::cli::DemoFault;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;
using kojelly::cli::DemoStats;

constexpr const char *kUser = "demo";
constexpr const char *kPassword = "s3cret-pass";
constexpr const char *kApiKey = "0123456789abcdef0123456789abcdef";
constexpr const char *kPasswordVar = "KJ_TEST_PASSWORD";
constexpr const char *kApiKeyVar = "KJ_TEST_API_KEY";

using namespace e2e::exits;

DemoOptions server_options() {
    DemoOptions o;
    o.user = kUser;
    o.password = kPassword;
    o.api_key = kApiKey;
    return o;
}

class CliTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        server_ = new DemoServer(server_options());
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
    }
    static void TearDownTestSuite() {
        delete server_;
        server_ = nullptr;
    }

    static std::string url() { return server_->url(); }
    static const kojelly::cli::DemoLibrary &lib() { return server_->library(); }

    // Arguments and environment of the two credential modes.
    static std::vector<std::string> login(std::vector<std::string> rest) {
        std::vector<std::string> a = {"--server",       url(),       "--user", kUser,
                                      "--password-env", kPasswordVar};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    static std::vector<std::string> keyed(std::vector<std::string> rest) {
        std::vector<std::string> a = {"--server", url(), "--api-key-env", kApiKeyVar};
        a.insert(a.end(), rest.begin(), rest.end());
        return a;
    }
    static std::vector<std::pair<std::string, std::string>> secrets() {
        return {{kPasswordVar, kPassword}, {kApiKeyVar, kApiKey}};
    }

    static DemoServer *server_;
};

DemoServer *CliTest::server_ = nullptr;

TEST_F(CliTest, ValidatesWithEachWayOfGivingCredentials) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string input;
    };
    const std::vector<Case> cases = {
        {"password from a variable", login({"validate"}), ""},
        {"password from stdin",
         {"--server", url(), "--user", kUser, "--password-stdin", "validate"},
         std::string(kPassword) + "\n"},
        {"API key from a variable", keyed({"validate"}), ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = kojelly(c.args, secrets(), c.input);
        ASSERT_EQ(r.status, 0) << show(r);
        EXPECT_NE(r.out.find("FullUrl        " + url()), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("ID             " + lib().server_id()), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("ServerVersion  10.10.3"), std::string::npos) << r.out;
    }
}

TEST_F(CliTest, RootListingShowsTheLibrariesInBothModes) {
    for (const auto &args : {login({"ls"}), keyed({"ls"})}) {
        SCOPED_TRACE(args[2]);
        const auto r = kojelly(args, secrets());
        ASSERT_EQ(r.status, 0) << show(r);
        const auto lines = lines_of(r.out);
        ASSERT_EQ(lines.size(), 4u) << r.out;
        EXPECT_EQ(lines[0].rfind("NAME", 0), 0u);
        EXPECT_EQ(lines[1].rfind("Movies/", 0), 0u) << lines[1];
        EXPECT_NE(lines[1].find(lib().movies().id), std::string::npos);
        EXPECT_EQ(lines[2].rfind("Shows/", 0), 0u) << lines[2];
        EXPECT_EQ(lines[3], "2 items");
    }
}

TEST_F(CliTest, PagedListingHoldsEveryMovieOnceInServerOrder) {
    const int pages_before = server_->stats().item_pages;
    const auto r = kojelly(keyed({"ls", lib().movies().id, "--json"}), secrets());
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_EQ(server_->stats().item_pages - pages_before, 3) << "1200 items in pages of 500";

    const Doc doc = parse(r.out);
    yyjson_val *items = yyjson_obj_get(yyjson_doc_get_root(doc.get()), "items");
    ASSERT_TRUE(yyjson_is_arr(items)) << r.out.substr(0, 200);
    const auto &children = lib().movies().children;
    ASSERT_EQ(yyjson_arr_size(items), children.size());
    std::size_t i = 0;
    std::size_t max = 0;
    yyjson_val *item = nullptr;
    yyjson_arr_foreach(items, i, max, item) {
        EXPECT_STREQ(yyjson_get_str(yyjson_obj_get(item, "id")),
                     lib().items()[children[i]].id.c_str())
            << "entry " << i;
    }
}

TEST_F(CliTest, ListingTableShowsKindYearHumanSizeAndId) {
    const auto r = kojelly(login({"ls", lib().movies().id}), secrets());
    ASSERT_EQ(r.status, 0) << show(r);
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 1u + 1200u + 1u);
    EXPECT_EQ(lines.back(), "1200 items");
    // One row per movie, in the server's order, ending in its kind, year (or "-"), size in
    // human units (right-aligned) and id.
    for (std::size_t i = 0; i < lib().movies().children.size(); ++i) {
        const auto &m = lib().items()[lib().movies().children[i]];
        const std::string &row = lines[i + 1];
        std::string size = kojelly::cli::human_size(m.size);
        size.insert(0, size.size() < 9 ? 9 - size.size() : 0, ' ');
        const std::string tail =
            "  file  " + (m.year ? std::to_string(m.year) : "-   ") + "  " + size + "  " + m.id;
        ASSERT_GE(row.size(), tail.size());
        EXPECT_EQ(row.substr(row.size() - tail.size()), tail) << row;
    }
    // The slash of a title is shown as the plug-in's path-safe division slash.
    EXPECT_EQ(lines[1].rfind("AC∕DC: Let There Be Rock", 0), 0u) << lines[1];
}

TEST_F(CliTest, TreeWalksNestedFoldersUpToTheDepth) {
    struct Case {
        const char *depth;
        std::vector<std::string> present;
        std::vector<std::string> absent;
    };
    const std::vector<Case> cases = {
        {"1", {"├── Extras/", "Velvet Tide/"}, {"Season 1/", "Trailers/"}},
        {"2", {"Season 1/", "Trailers/", "Empty Folder/"}, {"Episode 1:", "Trailers 1"}},
        {"3", {"Episode 1:", "Trailers 2  [-, ", "Behind the Scenes 3"}, {"error:"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("--depth ") + c.depth);
        const auto r = kojelly(login({"tree", lib().shows().id, "--depth", c.depth}), secrets());
        ASSERT_EQ(r.status, 0) << show(r);
        for (const auto &text : c.present) EXPECT_NE(r.out.find(text), std::string::npos) << text;
        for (const auto &text : c.absent) EXPECT_EQ(r.out.find(text), std::string::npos) << text;
    }
}

TEST_F(CliTest, TreeJsonHasOneListingPerFolder) {
    const auto r = kojelly(keyed({"tree", lib().shows().id, "--depth", "2", "--json"}), secrets());
    ASSERT_EQ(r.status, 0) << show(r);
    std::size_t folders_below = 0;
    for (const std::size_t pos : lib().shows().children) folders_below += lib().items()[pos].folder;
    const auto lines = lines_of(r.out);
    ASSERT_EQ(lines.size(), 1 + folders_below);
    for (const std::string &line : lines) {
        const Doc doc = parse(line);
        yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
        ASSERT_TRUE(yyjson_is_obj(root)) << line;
        EXPECT_TRUE(yyjson_is_arr(yyjson_obj_get(yyjson_obj_get(root, "listing"), "items")));
    }
}

// A server may make up new folders without end. The walk stops at the default depth or the
// entry limit, marks the folders it left unlisted, says so on standard error and, with --json,
// in a last line; a depth the user asked for cuts the tree silently, as it always has.
TEST(CliTreeBounds, AnEndlessTreeIsCutShortAndSaysSo) {
    struct Server {
        int children;  // new folders in each folder
        std::unique_ptr<DemoServer> demo;
    };
    std::vector<Server> servers(2);
    servers[0].children = 1;
    servers[1].children = 20;
    for (Server &server : servers) {
        DemoOptions o = server_options();
        o.endless_folders = server.children;
        server.demo = std::make_unique<DemoServer>(o);
        std::string error;
        ASSERT_TRUE(server.demo->start(error)) << error;
    }
    struct Case {
        const char *name;
        std::size_t server;
        std::vector<std::string> args;
        std::size_t folders;       // folders listed; 0: not known in advance
        const char *notice;        // on standard error; nullptr: none at all
        const char *mark;          // beside each folder left unlisted
        std::int64_t depth;        // "depth" in the --json report; 0: absent
        std::int64_t max_entries;  // "max_entries" in it; 0: absent
    };
    const std::vector<Case> cases = {
        {"one folder in each, the default depth",
         0,
         {},
         32,
         "the walk stopped at the default depth of 32 and left 1 folder unlisted",
         "(not listed: the default depth of 32)",
         32,
         0},
        {"a depth the user asked for", 0, {"--depth", "5"}, 5, nullptr, nullptr, 0, 0},
        {"an entry limit below the depth the user asked for",
         0,
         {"--depth", "1000", "--max-entries", "100"},
         100,
         "the walk stopped at the limit of 100 entries and left 1 folder unlisted",
         "(not listed: the limit of 100 entries)",
         0,
         100},
        {"twenty folders in each, the entry limit",
         1,
         {"--max-entries", "50"},
         0,
         "the walk stopped at the limit of 50 entries and left ",
         "(not listed: the limit of 50 entries)",
         0,
         50},
    };
    const std::string start = "0123456789abcdef0123456789abcdef";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const Server &server = servers[c.server];
        for (const bool json : {false, true}) {
            SCOPED_TRACE(json ? "--json" : "a tree");
            e2e::RunRequest run;
            run.program = KOJELLY_CLI_PATH;
            run.args = {"--server", server.demo->url(), "--api-key-env", kApiKeyVar, "tree", start};
            run.args.insert(run.args.end(), c.args.begin(), c.args.end());
            if (json) run.args.push_back("--json");
            run.env = {{kApiKeyVar, kApiKey}};
            // An unbounded walk would go on until memory or the stack ran out.
            run.deadline = std::chrono::seconds(20);
            const auto r = e2e::run_child(run);
            ASSERT_EQ(r.status, 0) << show(r).substr(0, 2000);
            if (c.notice) {
                EXPECT_NE(r.err.find(c.notice), std::string::npos) << r.err;
            } else {
                EXPECT_TRUE(r.err.empty()) << r.err;
            }
            std::vector<std::string> lines = lines_of(r.out);
            ASSERT_FALSE(lines.empty());
            if (!json) {
                // Every folder left unlisted is marked; every listed one holds the server's
                // number of new folders.
                std::size_t marks = 0;
                for (const std::string &line : lines)
                    marks += c.mark && line.find(c.mark) != std::string::npos;
                const std::string summary = lines.back();
                std::size_t folders = 0;
                std::size_t entries = 0;
                ASSERT_EQ(std::sscanf(summary.c_str(), "%zu folders listed, %zu entries", &folders,
                                      &entries),
                          2)
                    << summary;
                EXPECT_EQ(entries, folders * server.children);
                if (c.folders) {
                    EXPECT_EQ(folders, c.folders);
                }
                if (c.max_entries) {
                    // The listing that reached the limit is the last one.
                    EXPECT_GE(entries, static_cast<std::size_t>(c.max_entries));
                    EXPECT_LT(entries - server.children, static_cast<std::size_t>(c.max_entries));
                }
                if (c.notice) {
                    EXPECT_GT(marks, 0u);
                    EXPECT_NE(r.err.find("left " + std::to_string(marks) + " folder"),
                              std::string::npos)
                        << "the notice counts the marks: " << marks << "\n"
                        << r.err;
                }
                continue;
            }
            const bool reported = c.depth || c.max_entries;
            const Doc last = parse(lines.back());
            yyjson_val *cut = yyjson_obj_get(yyjson_doc_get_root(last.get()), "cut_short");
            EXPECT_EQ(cut != nullptr, reported) << lines.back();
            if (reported) {
                lines.pop_back();
                EXPECT_GT(yyjson_get_sint(yyjson_obj_get(cut, "folders_not_listed")), 0);
                EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(cut, "depth")), c.depth);
                EXPECT_EQ(yyjson_get_sint(yyjson_obj_get(cut, "max_entries")), c.max_entries);
            }
            if (c.folders) {
                EXPECT_EQ(lines.size(), c.folders);
            }
            for (const std::string &line : lines) {
                const Doc doc = parse(line);
                EXPECT_TRUE(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "folder")) << line;
            }
        }
    }
}

TEST_F(CliTest, TreeOfALibraryWithinTheBoundsSaysNothingMore) {
    for (const bool json : {false, true}) {
        SCOPED_TRACE(json ? "--json" : "a tree");
        std::vector<std::string> args = keyed({"tree"});
        if (json) args.push_back("--json");
        const auto r = kojelly(args, secrets());
        ASSERT_EQ(r.status, 0) << show(r).substr(0, 2000);
        EXPECT_TRUE(r.err.empty()) << r.err;
        EXPECT_EQ(r.out.find("not listed"), std::string::npos);
        EXPECT_EQ(r.out.find("cut_short"), std::string::npos);
    }
}

TEST_F(CliTest, StreamProbeFetchesTheFirst64KiB) {
    const auto &movie = lib().items()[lib().movies().children[5]];
    const std::vector<std::string> forms = {
        movie.id,
        "\"" + movie.id + "\"",
        "{\"name\":\"x\",\"path\":\"" + movie.id + "\",\"folder\":false}",
    };
    for (const std::string &item : forms) {
        SCOPED_TRACE(item);
        const int streams_before = server_->stats().streams;
        const auto r = kojelly(login({"stream", item, "--probe"}), secrets());
        ASSERT_EQ(r.status, 0) << show(r);
        EXPECT_NE(r.out.find("/videos/" + movie.id + "/stream?static=true"), std::string::npos);
        EXPECT_NE(r.out.find("header     Authorization: MediaBrowser "), std::string::npos);
        EXPECT_NE(r.out.find("(" + std::to_string(movie.size) + " bytes)"), std::string::npos);
        EXPECT_NE(r.out.find("probe      HTTP 206, Content-Range: bytes 0-65535/" +
                             std::to_string(movie.size) + ", 65536 bytes received"),
                  std::string::npos)
            << r.out;
        EXPECT_EQ(server_->stats().streams - streams_before, 1);
    }
}

TEST_F(CliTest, PluginFailuresExitWithTheStatusOfTheirCode) {
    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::vector<std::pair<std::string, std::string>> env;
        int exit;
        std::string message;
    };
    const std::string folder = lib().shows().id;
    const std::string down = "http://127.0.0.1:" + std::to_string(closed_port());
    const std::vector<Case> cases = {
        {"wrong password",
         login({"validate"}),
         {{kPasswordVar, "not-the-password"}},
         kExitAuth,
         "login: "},
        {"wrong API key",
         keyed({"ls"}),
         {{kApiKeyVar, "ffffffffffffffffffffffffffffffff"}},
         kExitAuth,
         "HTTP 401"},
        {"no such folder", login({"ls", "00000000000000000000000000000000"}), secrets(),
         kExitNotFound, "does not exist"},
        {"not an item id", login({"ls", "abc"}), secrets(), kExitNotFound,
         "not a Jellyfin item id"},
        {"stream of a folder", login({"stream", folder}), secrets(), kExitNotFound,
         "is a folder, not a playable file"},
        {"server down",
         {"--server", down, "--api-key-env", kApiKeyVar, "validate"},
         secrets(),
         kExitTransport,
         "127.0.0.1"},
        // The plug-in judges the address itself once there is one.
        {"a port out of range",
         {"--server", "http://127.0.0.1:99999", "--api-key-env", kApiKeyVar, "ls"},
         secrets(),
         kExitInvalid,
         "port is out of range"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const auto r = kojelly(c.args, c.env);
        EXPECT_EQ(r.status, c.exit) << show(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("not-the-password"), std::string::npos) << "a secret in a message";
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
}

TEST(CliFaultTest, MisbehavingServerExitsWithTheMappedStatus) {
    struct Case {
        const char *name;
        DemoFault fault;
        std::vector<std::string> command;
        int exit;
        std::string message;
    };
    const std::string html = "<html><body>Service Unavailable</body></html>";
    const std::vector<Case> cases = {
        {"server info fails",
         {"/System/Info/Public", 500, "boom", "text/plain", 0},
         {"validate"},
         kExitTransport,
         "server info: "},
        {"server info is not JSON",
         {"/System/Info/Public", 200, html, "text/html", 0},
         {"validate"},
         kExitFail,
         "not a JSON object"},
        {"a page fails",
         {"/Items", 503, "", "text/plain", 0},
         {"ls", "MOVIES"},
         kExitTransport,
         "HTTP 503"},
        {"a page is not JSON",
         {"/Items", 200, html, "text/html", 0},
         {"ls", "MOVIES"},
         kExitFail,
         "not a JSON object"},
        {"login is not JSON",
         {"/Users/AuthenticateByName", 200, html, "text/html", 0},
         {"ls"},
         kExitFail,
         "AuthenticateByName"},
        {"throttled",
         {"/UserViews", 429, "slow down", "text/plain", 0},
         {"ls"},
         kExitThrottled,
         "HTTP 429"},
        {"too slow",
         {"/System/Info/Public", 0, "", "", 2000},
         {"validate", "--timeout", "1"},
         kExitTransport,
         "imed out"},
        {"the stream is missing",
         {"/videos", 404, "gone", "text/plain", 0},
         {"stream", "MOVIE", "--probe"},
         kExitProbe,
         "api_key=*** failed: HTTP 404"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DemoOptions o = server_options();
        o.faults.push_back(c.fault);
        DemoServer server(o);
        std::string error;
        ASSERT_TRUE(server.start(error)) << error;
        std::vector<std::string> args = {"--server", server.url(),     "--user",
                                         kUser,      "--password-env", kPasswordVar};
        const auto &lib = server.library();
        for (const std::string &a : c.command) {
            if (a == "MOVIES")
                args.push_back(lib.movies().id);
            else if (a == "MOVIE")
                args.push_back(lib.items()[lib.movies().children[0]].id);
            else
                args.push_back(a);
        }
        const auto r = kojelly(args, {{kPasswordVar, kPassword}});
        EXPECT_EQ(r.status, c.exit) << show(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// A folder of several pages on a server that takes its time over every /Items request, so that
// pages asked for at once overlap there and show up in DemoStats::items_at_once.
class CliParallelTest : public ::testing::Test {
protected:
    static constexpr int kMovies = 3500;  // 7 pages of 500
    static constexpr int kDelayMs = 100;

    void start(int movies, int delay_ms) {
        DemoOptions o = server_options();
        o.movies = movies;
        o.faults.push_back({"/Items", 0, "", "", delay_ms});
        server_ = std::make_unique<DemoServer>(o);
        std::string error;
        ASSERT_TRUE(server_->start(error)) << error;
    }

    e2e::RunResult ls(const std::vector<std::string> &options) const {
        std::vector<std::string> args = {
            "--server", server_->url(), "--api-key-env",
            kApiKeyVar, "ls",           server_->library().movies().id};
        args.insert(args.end(), options.begin(), options.end());
        return kojelly(args, {{kApiKeyVar, kApiKey}});
    }

    std::unique_ptr<DemoServer> server_;
};

// The tool's own default, the flag and a settings file decide how many pages the plug-in asks
// for at once; the server sees no more than that, and more than one whenever more are allowed.
// Under ThreadSanitizer this runs the instrumented tool, the plug-in's threads calling its
// transport.
TEST_F(CliParallelTest, ConcurrentPageRequestsFollowTheParallelSetting) {
    struct Case {
        const char *name;
        std::vector<std::string> options;
        const char *file;  // a settings file's text; nullptr: none
        int most;          // pages allowed at once
    };
    const std::vector<Case> cases = {
        {"the tool's default", {}, nullptr, 4},
        {"--parallel 1", {"--parallel", "1"}, nullptr, 1},
        {"--parallel 3", {"--parallel", "3"}, nullptr, 3},
        {"a settings file's 1", {}, R"({"ParallelPages":1})", 1},
        {"--parallel over the settings file", {"--parallel", "2"}, R"({"ParallelPages":1})", 2},
    };
    const std::string path =
        ::testing::TempDir() + "kojelly_pages_" + std::to_string(getpid()) + ".json";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        start(2500, kDelayMs);  // 5 pages
        std::vector<std::string> options = c.options;
        if (c.file) {
            std::ofstream(path) << c.file;
            options.insert(options.end(), {"--settings", path});
        }
        const auto r = ls(options);
        ASSERT_EQ(r.status, 0) << show(r).substr(0, 2000);
        EXPECT_EQ(lines_of(r.out).back(), "2500 items");
        const DemoStats st = server_->stats();
        EXPECT_EQ(st.item_pages, 5);
        EXPECT_LE(st.items_at_once, c.most);
        if (c.most == 1) {
            EXPECT_EQ(st.items_at_once, 1);
        } else {
            EXPECT_GE(st.items_at_once, 2) << "pages allowed at once were fetched one by one";
        }
    }
    std::remove(path.c_str());
}

// With a round trip of 100 ms on every /Items request, fetching four pages at once takes well
// under three quarters of the time of one after another, and the plug-in's answer is the same
// byte for byte. Each way runs twice, in turn, and its faster run counts, so that a moment of load
// on the machine does not decide the comparison.
TEST_F(CliParallelTest, ParallelListingIsFasterWithTheSameAnswer) {
    start(kMovies, kDelayMs);
    struct Way {
        const char *parallel;
        double best_ms = 0;
        std::string answer;
    };
    std::vector<Way> ways = {{"1", 0, {}}, {"4", 0, {}}};
    for (int round = 0; round < 2; ++round) {
        for (Way &way : ways) {
            SCOPED_TRACE(std::string("--parallel ") + way.parallel);
            const auto started = std::chrono::steady_clock::now();
            const auto r = ls({"--parallel", way.parallel, "--json"});
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - started)
                                  .count();
            ASSERT_EQ(r.status, 0) << show(r).substr(0, 2000);
            if (way.answer.empty()) {
                way.answer = r.out;
            } else {
                EXPECT_TRUE(r.out == way.answer) << "the same command answered differently";
            }
            way.best_ms = round == 0 ? ms : std::min(way.best_ms, ms);
        }
    }
    const Doc doc = parse(ways[0].answer);
    EXPECT_EQ(yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(doc.get()), "items")),
              static_cast<std::size_t>(kMovies));
    EXPECT_TRUE(ways[0].answer == ways[1].answer) << "the answers differ";
    // Seven pages one after another take at least 700 ms.
    EXPECT_GE(ways[0].best_ms, kMovies / 500 * kDelayMs);
    EXPECT_LT(ways[1].best_ms, 0.75 * ways[0].best_ms)
        << "--parallel 4: " << ways[1].best_ms << " ms, --parallel 1: " << ways[0].best_ms << " ms";
}

TEST_F(CliTest, UsageErrorsExitWith2) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const std::vector<Case> cases = {
        {{"frobnicate"}, "unknown command frobnicate"},
        {{}, "no command given"},
        {{"ls", "--password", "x"}, "a secret on the command line"},
        {{"ls", "--api-key", "x"}, "a secret on the command line"},
        {{"stream"}, "wrong number of arguments for stream"},
        {{"ls", "a", "b"}, "wrong number of arguments for ls"},
        {{"ls", "--depth", "2"}, "--depth does not apply to ls"},
        {{"tree", "--depth", "0"}, "--depth wants"},
        {{"demo", "--json"}, "--json does not apply to demo"},
        {{"play", "a", "--json"}, "--json does not apply to play"},
        {{"demo", "--flavour", "nope"}, "--flavour wants jellyfin or emby"},
        {{"ls", "--flavour", "emby"}, "--flavour does not apply to ls"},
        {{"ls", "--parallel", "0"}, "--parallel wants a whole number from 1 to 16"},
        {{"ls", "--parallel", "17"}, "--parallel wants a whole number from 1 to 16"},
        {{"demo", "--parallel=four"}, "--parallel wants a whole number from 1 to 16"},
        {{"demo", "--media", "clip.mp4"}, "--media and --stream-auth apply to demo --serve only"},
        {{"demo", "--stream-auth"}, "--media and --stream-auth apply to demo --serve only"},
        {{"ls", "--media", "clip.mp4"}, "--media does not apply to ls"},
        {{"play"}, "wrong number of arguments for play"},
        {{"play", "a", "b"}, "wrong number of arguments for play"},
        {{"stream", "a", "--player", "mpv"}, "--player does not apply to stream"},
        {{"ls", "--print"}, "--print does not apply to ls"},
        {{"play", "a", "--player="}, "--player wants a program"},
        {{"play", "a", "--player-arg"}, "--player-arg wants a value"},
        {{"--server", url(), "--user", kUser, "--password-env", "KJ_TEST_UNSET_VARIABLE",
          "validate"},
         "KJ_TEST_UNSET_VARIABLE is not set"},
        {{"--server", url(), "--user", kUser, "--password-stdin", "validate"},
         "standard input holds no password"},
        {{"--api-key-env", kApiKeyVar, "ls"}, "--server URL is required"},
        {{"--server", url(), "ls"}, "credentials are required"},
        {{"--server", " ", "ls"}, "--server wants the server's address"},
        {{"demo", "--api-key-env", kApiKeyVar}, "apply to demo with --serve only"},
        {{"demo", "--password-env", kPasswordVar}, "apply to demo with --serve only"},
        {{"demo", "--serve", "--api-key-env", "KJ_TEST_UNSET_VARIABLE"},
         "--api-key-env: the environment variable KJ_TEST_UNSET_VARIABLE is not set"},
        {{"demo", "--serve", "--password-env", "KJ_TEST_UNSET_VARIABLE"},
         "--password-env: the environment variable KJ_TEST_UNSET_VARIABLE is not set"},
        {{"demo", "--serve", "--user", kUser}, "--user does not apply to demo"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.message);
        const auto r = kojelly(c.args);
        EXPECT_EQ(r.status, kExitUsage) << show(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// Every help line fits a terminal of 80 columns, and every default or bound that a help text
// takes from the option table ("{--depth}") has been filled in.
void expect_readable_help(const std::string &help) {
    for (const std::string &line : lines_of(help)) {
        EXPECT_LE(kojelly::cli::display_width(line), 80u) << line;
        EXPECT_EQ(line.find("{--"), std::string::npos) << line;
    }
}

TEST_F(CliTest, EveryCommandHasHelp) {
    for (const std::string command : {"validate", "ls", "tree", "stream", "play", "demo"}) {
        SCOPED_TRACE(command);
        for (const auto &args : {std::vector<std::string>{command, "--help"},
                                 std::vector<std::string>{"help", command}}) {
            const auto r = kojelly(args);
            EXPECT_EQ(r.status, 0) << show(r);
            EXPECT_EQ(r.out.rfind("Usage: kojelly " + command, 0), 0u) << r.out;
            expect_readable_help(r.out);
        }
    }
    const auto r = kojelly({"--help"});
    EXPECT_EQ(r.status, 0);
    expect_readable_help(r.out);
    for (const int status : {1, 2, 3, 4, 5, 11, 12, 13, 14, 15, 16, 18, 19, 20}) {
        EXPECT_NE(r.out.find("\n  " + std::to_string(status) + " "), std::string::npos) << status;
    }
}

TEST_F(CliTest, PluginThatCannotBeLoadedExitsWith1) {
    const auto r = kojelly({"--plugin", "/nonexistent/libkojelly.so", "validate"});
    EXPECT_EQ(r.status, kExitTool) << show(r);
    EXPECT_NE(r.err.find("cannot load the plug-in"), std::string::npos) << r.err;
}

TEST_F(CliTest, SettingsFileIsReadAndFlagsOverrideIt) {
    const std::string path =
        ::testing::TempDir() + "kojelly_settings_" + std::to_string(getpid()) + ".json";
    {
        std::ofstream f(path);
        f << "{\"FullUrl\":\"" << url() << "\",\"UserName\":\"" << kUser
          << "\",\"Password\":\"stale-password\",\"Unknown\":[1,{\"a\":null}]}";
    }
    chmod(path.c_str(), 0600);
    const auto with_file = kojelly({"--settings", path, "ls"});
    EXPECT_EQ(with_file.status, kExitAuth) << show(with_file);
    EXPECT_TRUE(with_file.err.find("readable by others") == std::string::npos) << with_file.err;

    const auto overridden = kojelly({"--settings", path, "--password-env", kPasswordVar, "ls"},
                                    {{kPasswordVar, kPassword}});
    EXPECT_EQ(overridden.status, 0) << show(overridden);

    chmod(path.c_str(), 0644);
    const auto exposed = kojelly({"--settings", path, "--password-env", kPasswordVar, "ls"},
                                 {{kPasswordVar, kPassword}});
    EXPECT_NE(exposed.err.find("readable by others"), std::string::npos) << exposed.err;

    {
        std::ofstream f(path);
        f << "[\"not an object\"]";
    }
    const auto broken = kojelly({"--settings", path, "ls"});
    EXPECT_EQ(broken.status, kExitTool) << show(broken);
    std::remove(path.c_str());
}

// A user and password in the address would be readable by every user of the machine on a
// command line, and the plug-in drops them without a word; the refusal says where they go and
// never repeats them.
TEST_F(CliTest, AddressesNamingAUserAreRefused) {
    const std::string secret = "Hunter2-secret";
    const std::string host = url().substr(std::string("http://").size());
    struct Case {
        const char *name;
        std::string server;    // --server, if not empty
        std::string settings;  // a settings file's text, if not empty
        int exit;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"user and password", "http://demo:" + secret + "@" + host, "", kExitUsage,
         "--password-stdin or --password-env, an API key with --api-key-env"},
        {"no scheme", "demo:" + secret + "@" + host, "", kExitUsage, "--user"},
        {"scheme in capitals, a path", "HTTP://demo:" + secret + "@" + host + "/jf", "", kExitUsage,
         "--user"},
        {"a user alone", "http://" + secret + "@" + host, "", kExitUsage, "--user"},
        {"in the file's FullUrl", "", "{\"FullUrl\":\"http://demo:" + secret + "@" + host + "\"}",
         kExitTool, "FullUrl must not name a user or password"},
        {"in the file's ServerUrl", "",
         "{\"ServerUrl\":\"demo:" + secret + "@127.0.0.1\",\"ServerPort\":8096}", kExitTool,
         "ServerUrl must not name a user or password"},
        // Not user information: the plug-in judges these itself.
        {"'@' in the path", "http://" + host + "/" + secret + "@x", "", kExitInvalid,
         "path must not contain '@'"},
        {"'@' in the query", "http://" + host + "?" + secret + "@x", "", kExitInvalid,
         "must not carry a query"},
    };
    const std::string path =
        ::testing::TempDir() + "kojelly_userinfo_" + std::to_string(getpid()) + ".json";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args = {"--api-key-env", kApiKeyVar, "validate"};
        if (!c.server.empty()) args.insert(args.begin(), {"--server", c.server});
        if (!c.settings.empty()) {
            std::ofstream(path) << c.settings;
            chmod(path.c_str(), 0600);
            args.insert(args.begin(), {"--settings", path});
        }
        const auto r = kojelly(args, secrets());
        EXPECT_EQ(r.status, c.exit) << show(r);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find(secret), std::string::npos) << "the secret was repeated: " << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    // Refused before the password is asked for: no input is read.
    const auto r = kojelly({"--server", "http://demo:" + secret + "@" + host, "--user", kUser,
                            "--password-stdin", "validate"});
    EXPECT_EQ(r.status, kExitUsage) << show(r);
    EXPECT_NE(r.err.find("--server must not name a user"), std::string::npos) << r.err;
    std::remove(path.c_str());
}

// A settings file may nest as deep as its megabyte allows. Reading it must not recurse once a
// level, in the tool or in the plug-in that receives the members: half a million levels would
// take far more stack than a thread has.
TEST_F(CliTest, DeeplyNestedSettingsFilesAreReadWithoutRecursion) {
    constexpr std::size_t kArrayLevels = 490000;   // 2 bytes a level
    constexpr std::size_t kObjectLevels = 160000;  // 6 bytes a level
    const std::string head = "{\"FullUrl\":\"" + url() + "\",\"Deep\":";
    std::string objects;
    for (std::size_t i = 0; i < kObjectLevels; ++i) objects += "{\"a\":";
    objects += "1";
    objects.append(kObjectLevels, '}');
    struct Case {
        const char *name;
        std::string text;
        int exit;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"arrays never closed", std::string(kArrayLevels * 2, '['), kExitTool,
         "is not valid JSON at line 1, column 980001: unexpected end of data"},
        {"arrays in a member",
         head + std::string(kArrayLevels, '[') + std::string(kArrayLevels, ']') + "}", 0, ""},
        {"objects in a member", head + objects + "}", 0, ""},
    };
    const std::string path =
        ::testing::TempDir() + "kojelly_deep_" + std::to_string(getpid()) + ".json";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_LE(c.text.size(), 1048576u) << "the tool reads at most 1 MiB";
        std::ofstream(path) << c.text;
        const auto r =
            kojelly({"--settings", path, "--api-key-env", kApiKeyVar, "validate"}, secrets());
        EXPECT_EQ(r.status, c.exit) << show(r).substr(0, 2000);
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    std::remove(path.c_str());
}

TEST_F(CliTest, DeviceIdIsStableUnlessGiven) {
    ASSERT_EQ(kojelly(login({"validate"}), secrets()).status, 0);
    const std::string first = server_->stats().last_device_id;
    ASSERT_EQ(kojelly(login({"validate"}), secrets()).status, 0);
    EXPECT_EQ(server_->stats().last_device_id, first);
    EXPECT_EQ(first.rfind("kojelly-cli-", 0), 0u) << first;

    ASSERT_EQ(kojelly(login({"validate", "--device-id", "living-room-tv"}), secrets()).status, 0);
    EXPECT_EQ(server_->stats().last_device_id, "living-room-tv");
}

TEST_F(CliTest, VerboseLogsEveryExchangeWithCredentialsMasked) {
    const auto &movie = lib().items()[lib().movies().children[0]];
    const auto r = kojelly(keyed({"stream", movie.id, "--probe", "--verbose"}), secrets());
    ASSERT_EQ(r.status, 0) << show(r);
    EXPECT_NE(r.err.find("> GET " + url() + "/Items?Ids=" + movie.id), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/PlaybackInfo -> HTTP 200"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("/stream?static=true"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find(kApiKey), std::string::npos) << "the API key leaked into the log";
}

// Turning certificate checks off is said every time, so that it is never left on unnoticed.
TEST_F(CliTest, InsecureWarnsThatCertificatesAreNotChecked) {
    const std::string warning = "kojelly: warning: --insecure:";
    const auto checked = kojelly(keyed({"validate"}), secrets());
    ASSERT_EQ(checked.status, 0) << show(checked);
    EXPECT_EQ(checked.err.find(warning), std::string::npos) << checked.err;
    const auto unchecked = kojelly(keyed({"--insecure", "validate"}), secrets());
    ASSERT_EQ(unchecked.status, 0) << show(unchecked);
    EXPECT_EQ(unchecked.err.find(warning), 0u) << unchecked.err;
    EXPECT_EQ(unchecked.out, checked.out);
}

TEST_F(CliTest, DemoRunsEveryStepAgainstItsOwnServer) {
    const auto r = kojelly({"demo"});
    ASSERT_EQ(r.status, 0) << show(r);
    for (const char *text :
         {"ServerVersion  10.10.3", "Movies/", "1200 items", "in 3 pages of at most 500",
          "Season 1/", "probe      HTTP 206, Content-Range: bytes 0-65535/",
          "Every step succeeded."}) {
        EXPECT_NE(r.out.find(text), std::string::npos) << text;
    }
}

}  // namespace
