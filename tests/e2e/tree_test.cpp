// `kojelly tree` as a user meets it: the lines come out as the walk goes, so that a walk stopped
// while the server is slow keeps what it printed, and the tree is drawn in the characters the
// user's locale can show.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "child_process.hpp"
#include "cli_run.hpp"
#include "demo_server.hpp"

namespace {

using e2e::show;
using kojelly::cli::DemoItem;
using kojelly::cli::DemoOptions;
using kojelly::cli::DemoServer;

constexpr const char *kUser = "demo";
constexpr const char *kPassword = "tree-pass";
constexpr const char *kPasswordVar = "KJ_TEST_PASSWORD";
constexpr int kStalledMs = 4000;

struct Server {
    explicit Server(DemoOptions o = {}) : demo(complete(std::move(o))) {
        std::string error;
        started = demo.start(error);
        EXPECT_TRUE(started) << error;
    }
    static DemoOptions complete(DemoOptions o) {
        o.user = kUser;
        o.password = kPassword;
        return o;
    }
    const DemoItem &show_at(std::size_t i) const {
        return demo.library().items()[demo.library().shows().children.at(i)];
    }
    e2e::RunRequest tree(std::vector<std::string> more) const {
        e2e::RunRequest run;
        run.program = KOJELLY_CLI_PATH;
        run.args = {"--server", demo.url(), "--user", kUser, "--password-env", kPasswordVar,
                    "tree",     demo.library().shows().id};
        run.args.insert(run.args.end(), more.begin(), more.end());
        run.env = {{kPasswordVar, kPassword}};
        return run;
    }

    DemoServer demo;
    bool started = false;
};

// The second show's folder answers only after a pause. A user who stops the walk meanwhile
// (here: as soon as the first show is on the screen) keeps every line printed before it.
TEST(TreeTest, AWalkStoppedMidwayKeepsWhatItPrinted) {
    DemoOptions o;
    const kojelly::cli::DemoLibrary library;
    const auto &shows = library.shows().children;
    ASSERT_GE(shows.size(), 2u);
    const DemoItem &first = library.items()[shows[0]];
    const DemoItem &stalled = library.items()[shows[1]];
    // The folder is looked up at /Users/{user}/Items/{id} before it is listed.
    o.faults.push_back(
        {"/Users/" + library.user_id() + "/Items/" + stalled.id, 0, "", "", kStalledMs});
    Server server(o);
    ASSERT_TRUE(server.started);
    ASSERT_EQ(server.show_at(1).id, stalled.id) << "the demo library is not the same twice";

    struct Case {
        const char *name;
        std::vector<std::string> args;
        std::string shown;      // printed before the pause
        std::string not_shown;  // the folder that was still being listed
    };
    const std::vector<Case> cases = {
        {"a tree", {}, "── " + first.name + "/", stalled.name + "/"},
        {"--json", {"--json"}, "{\"folder\":\"" + first.id + "\"", "\"" + stalled.id + "\",\"depth\""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::RunRequest run = server.tree(c.args);
        run.terminate_after = c.shown;
        const e2e::RunResult r = e2e::run_child(run);
        EXPECT_EQ(r.status, 128 + SIGTERM) << "the walk was not stopped midway\n" << show(r);
        EXPECT_NE(r.out.find(c.shown), std::string::npos) << show(r);
        EXPECT_EQ(r.out.find(c.not_shown), std::string::npos) << show(r);
    }
}

// Box-drawing characters where the locale's character set is UTF-8, ASCII elsewhere; a locale
// that is not installed counts by its name, as the terminal that asked for it shows it.
TEST(TreeTest, TheDrawingFollowsTheLocale) {
    Server server;
    ASSERT_TRUE(server.started);
    struct Case {
        const char *name;
        e2e::Env locale;
        bool box_drawing;
    };
    const std::vector<Case> cases = {
        {"C", {{"LC_ALL", "C"}}, false},
        {"C.UTF-8", {{"LC_ALL", "C.UTF-8"}}, true},
        {"LC_CTYPE over LANG", {{"LC_ALL", ""}, {"LC_CTYPE", "C.UTF-8"}, {"LANG", "C"}}, true},
        {"an uninstalled UTF-8 locale", {{"LC_ALL", ""}, {"LANG", "xx_YY.utf8"}}, true},
        {"an uninstalled Latin-1 locale", {{"LC_ALL", ""}, {"LANG", "xx_YY.ISO-8859-1"}}, false},
    };
    const std::string first = server.show_at(0).name + "/";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::RunRequest run = server.tree({"--depth", "2"});
        run.env.insert(run.env.end(), c.locale.begin(), c.locale.end());
        const e2e::RunResult r = e2e::run_child(run);
        ASSERT_EQ(r.status, 0) << show(r);
        const std::vector<std::string> lines = e2e::lines_of(r.out);
        ASSERT_GE(lines.size(), 3u) << show(r);
        const std::string expected = c.box_drawing ? "├── " + first : "|-- " + first;
        EXPECT_EQ(lines[1].rfind(expected, 0), 0u) << lines[1];
        const std::string child = c.box_drawing ? "│   ├── " : "|   |-- ";
        EXPECT_EQ(lines[2].rfind(child, 0), 0u) << lines[2];
        if (!c.box_drawing) {
            for (const char byte : r.out)
                ASSERT_EQ(static_cast<unsigned char>(byte) & 0x80, 0) << "not ASCII:\n" << r.out;
        }
    }
}

}  // namespace
