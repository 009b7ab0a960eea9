// Folder lookup and listing through the fake io: root views and their fallback, paging,
// duplicates, the page budget and the item limit, folder checks and the list handler.
#include "client/kojelly_list.hpp"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <string>
#include <vector>

#include "client_fixture.hpp"
#include "plugin/kojelly_handlers.hpp"
#include "support/alloc_fail.hpp"
#include "wire/kojelly_items.hpp"

namespace {

using namespace client_test;

constexpr char kUserViews[] = "http://srv:8096/UserViews";
constexpr char kMediaFolders[] = "http://srv:8096/Library/MediaFolders";
constexpr char kEmbyViews[] = "http://srv:8096/Users/42/Views";

std::string get(const std::string &url) {
    return "GET " + url;
}

// n file items with the ids first, first + 1, ...
std::vector<std::string> files(long long first, long long n) {
    std::vector<std::string> v;
    for (long long i = 0; i < n; ++i) v.push_back(item(std::to_string(first + i), false));
    return v;
}

struct Listed {
    int32_t code;
    std::string msg;
    std::vector<std::string> ids;
};

class ListTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        base_routes();
    }
    // The login and folder 7 in both lookup forms.
    void base_routes() {
        route("POST", kLoginUrl, 200, login_answer("tok1"));
        route("GET", key_lookup_url("7"), 200, page({item("7", true, "Films")}));
        route("GET", login_lookup_url("7"), 200, item("7", true, "Films"));
    }

    // kojelly_do_list in a session of its own; the ids listed, in order.
    Listed list(const char *settings, const char *folder) {
        TestCall call(rec.handle(), settings);
        Listed out{call.open(), "", {}};
        kojelly::OwnedItems items;
        if (out.code == 0) out.code = kojelly_do_list(call, folder, items.get());
        out.msg = call.err.msg;
        for (uint64_t i = 0; i < items->count; ++i) out.ids.push_back(items->items[i].id);
        return out;
    }

    // The page requests of folder 7 that reached the transport, as start indexes.
    std::vector<long long> page_starts() {
        static constexpr char kIndex[] = "&StartIndex=";
        const std::string prefix = get(std::string(kBase) + "/Items?ParentId=7&");
        std::vector<long long> starts;
        for (const std::string &line : rec.log()) {
            if (line.rfind(prefix, 0) != 0) continue;
            starts.push_back(std::stoll(line.substr(line.find(kIndex) + sizeof kIndex - 1)));
        }
        return starts;
    }

    Recorder rec;
};

// A failure message quotes the redacted URL cut to a fixed size. A server address with
// non-ASCII characters puts that cut on every byte of a character in turn; the error JSON and
// the error slot must stay valid UTF-8 all the same.
TEST_F(ListTest, ErrorsQuotingALongNonAsciiAddressStayValidUtf8) {
    for (const std::string ch : {"\xC3\xA9", "\xE2\x88\x95", "\xF0\x9F\x8E\xAC"}) {
        for (size_t pad = 0; pad < ch.size(); ++pad) {
            std::string path = std::string(pad, 'p');
            while (path.size() < 700) path += ch;
            const std::string base = std::string(kBase) + "/" + path;
            SCOPED_TRACE(testing::Message() << ch.size() << "-byte characters after " << pad);
            route("GET", base + "/UserViews", 500, "boom");
            const std::string settings =
                R"({"FullUrl":")" + base + R"(","APIKey":"key-0123456789"})";
            char out[4096] = {};
            EXPECT_EQ(-4, h_list(rec.io(), settings.c_str(), "", out, sizeof out));
            EXPECT_EQ(1, kojelly_utf8_ok(out, std::strlen(out))) << out;
            const char *error = kojelly_last_error();
            EXPECT_EQ(1, kojelly_utf8_ok(error, std::strlen(error))) << error;
            EXPECT_NE(nullptr, std::strstr(out, "answered HTTP 500")) << out;
        }
    }
}

// A server can make the listing many times larger than what it sends: every control byte of a
// name is written as six. Two full pages that each stay under the answer limit but together pass
// 256 MiB of listing end the listing there, with nothing of it left behind.
TEST_F(ListTest, AListingPastItsLimitFailsWithoutAPartialAnswer) {
    std::vector<std::string> items;
    items.push_back(R"({"Id":"100","Name":")" + std::string(28u << 20, '\x7f') + R"("})");
    for (int i = 1; i < 500; ++i) items.push_back("{}");
    route("GET", page_url("7", 0), 200, page(items, 2000));
    items[0].replace(7, 3, "101");
    route("GET", page_url("7", 500), 200, page(items, 2000));
    const OpResult got = run_op(rec.handle(), kApiKeySettings, kojelly::op_list, "7");
    EXPECT_EQ(-5, got.code);
    EXPECT_EQ("listing is larger than 256 MiB", got.msg);
    EXPECT_EQ("", got.answer);
    EXPECT_EQ(1, calls("GET", page_url("7", 500)));
}

TEST_F(ListTest, RootIsOneViewsRequestInBothModes) {
    struct Case {
        const char *settings;
        std::vector<std::string> log;
    } cases[] = {
        {kApiKeySettings, {get(kUserViews)}},
        {kLoginSettings, {std::string("POST ") + kLoginUrl, get(kUserViews)}},
    };
    route("GET", kUserViews, 200, page({item("11", true, "Movies"), item("12", true, "Shows")}, 2));
    for (const Case &c : cases) {
        for (const char *root : {static_cast<const char *>(nullptr), ""}) {
            SCOPED_TRACE(std::string(c.settings) + (root ? " \"\"" : " NULL"));
            kojelly_cache_clear();
            rec.reset();
            const Listed got = list(c.settings, root);
            EXPECT_EQ(0, got.code) << got.msg;
            EXPECT_EQ((std::vector<std::string>{"11", "12"}), got.ids);
            EXPECT_EQ(c.log, rec.log());
        }
    }
}

TEST_F(ListTest, RootFallsBackOnlyAfter400Or404) {
    struct Case {
        const char *what;
        const char *settings;
        int first;             // status of /UserViews
        const char *fallback;  // the second request, or NULL when none may follow
        int second;            // its status
        int32_t code;
        const char *msg;
    } cases[] = {
        {"API key, 400", kApiKeySettings, 400, kMediaFolders, 200, 0, ""},
        {"API key, 404", kApiKeySettings, 404, kMediaFolders, 200, 0, ""},
        {"login, 404", kLoginSettings, 404, kEmbyViews, 200, 0, ""},
        {"login, 400", kLoginSettings, 400, kEmbyViews, 200, 0, ""},
        {"refused is never fixed", kApiKeySettings, 401, nullptr, 0, -1,
         "views: http://srv:8096/UserViews answered HTTP 401: no"},
        {"forbidden is never fixed", kLoginSettings, 403, nullptr, 0, -1,
         "views: http://srv:8096/UserViews answered HTTP 403: no"},
        {"server failure", kApiKeySettings, 500, nullptr, 0, -4,
         "views: http://srv:8096/UserViews answered HTTP 500: no"},
        {"other 4xx", kApiKeySettings, 410, nullptr, 0, -5,
         "views: http://srv:8096/UserViews answered HTTP 410: no"},
        {"fallback missing too", kApiKeySettings, 400, kMediaFolders, 404, -5,
         "views: http://srv:8096/Library/MediaFolders answered HTTP 404: no"},
        {"fallback refused", kLoginSettings, 404, kEmbyViews, 403, -1,
         "views: http://srv:8096/Users/42/Views answered HTTP 403: no"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly_cache_clear();
        rec.reset();
        route("GET", kUserViews, c.first, c.first == 200 ? page({}) : "no");
        route("GET", kMediaFolders, c.second ? c.second : 200,
              c.second == 200 ? page({item("11", true)}) : "no");
        route("GET", kEmbyViews, c.second ? c.second : 200,
              c.second == 200 ? page({item("11", true)}) : "no");
        const Listed got = list(c.settings, "");
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.msg);
        if (c.code == 0) {
            EXPECT_EQ(std::vector<std::string>{"11"}, got.ids);
        }
        std::vector<std::string> want;
        if (c.settings == kLoginSettings) want.push_back(std::string("POST ") + kLoginUrl);
        want.push_back(get(kUserViews));
        if (c.fallback) want.push_back(get(c.fallback));
        EXPECT_EQ(want, rec.log());
    }
}

TEST_F(ListTest, FolderPagesFollowTheCountAndTheTotal) {
    struct Case {
        const char *what;
        std::vector<std::string> pages;  // page i answers StartIndex 500 * i
        std::vector<long long> starts;
        size_t listed;
    } cases[] = {
        {"three pages by the total",
         {page(files(1000, 500), 1020), page(files(1500, 500), 1020), page(files(2000, 20), 1020)},
         {0, 500, 1000},
         1020},
        {"full page, total reached", {page(files(1000, 500), 500)}, {0}, 500},
        {"full page without a total asks once more",
         {page(files(1000, 500)), page({})},
         {0, 500},
         500},
        {"short page ends paging despite the total", {page(files(1000, 20), 5000)}, {0}, 20},
        {"duplicates across pages are listed once",
         {page(files(1000, 500), 600), page(files(1450, 100), 600)},
         {0, 500},
         550},
        {"elements without a usable id still count toward a full page",
         {page([] {
              auto v = files(1000, 498);
              v.push_back("{}");
              v.push_back(R"({"Id":"not an id"})");
              return v;
          }()),
          page({})},
         {0, 500},
         498},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        for (size_t i = 0; i < c.pages.size(); ++i) {
            route("GET", page_url("7", 500 * static_cast<long long>(i)), 200, c.pages[i]);
        }
        const Listed got = list(kApiKeySettings, "7");
        EXPECT_EQ(0, got.code) << got.msg;
        EXPECT_EQ(c.starts, page_starts());
        ASSERT_EQ(c.listed, got.ids.size());
        // The server's order, page after page.
        EXPECT_EQ("1000", got.ids.front());
        for (size_t i = 1; i < got.ids.size(); ++i) {
            ASSERT_LT(std::stoll(got.ids[i - 1]), std::stoll(got.ids[i])) << i;
        }
        kojelly::fake_reset_impl();
        base_routes();
    }
}

TEST_F(ListTest, LoginModeLooksTheFolderUpUnderTheUser) {
    route("GET", page_url("7", 0), 200, page(files(1, 3), 3));
    const Listed got = list(kLoginSettings, "7");
    EXPECT_EQ(0, got.code) << got.msg;
    EXPECT_EQ((std::vector<std::string>{std::string("POST ") + kLoginUrl,
                                        get(login_lookup_url("7")), get(page_url("7", 0))}),
              rec.log());
    EXPECT_EQ(3u, got.ids.size());
}

TEST_F(ListTest, ApiKeyModeLooksTheFolderUpByIds) {
    route("GET", page_url("7", 0), 200, page(files(1, 3), 3));
    const Listed got = list(kApiKeySettings, "7");
    EXPECT_EQ(0, got.code) << got.msg;
    EXPECT_EQ((std::vector<std::string>{get(key_lookup_url("7")), get(page_url("7", 0))}),
              rec.log());
}

TEST_F(ListTest, PageBudgetStopsAtOneThousandPages) {
    std::vector<std::string> blanks(500, "{}");
    const std::string full = page(blanks);
    for (long long i = 0; i < 1000; ++i) route("GET", page_url("7", 500 * i), 200, full);
    Listed got = list(kApiKeySettings, "7");
    EXPECT_EQ(-5, got.code);
    EXPECT_EQ("folder needs more than 1000 pages", got.msg);
    EXPECT_EQ(1000u, page_starts().size());

    // The same folder whose thousandth page is short fits the budget exactly.
    rec.reset();
    route("GET", page_url("7", 500 * 999), 200, page({}));
    got = list(kApiKeySettings, "7");
    EXPECT_EQ(0, got.code) << got.msg;
    EXPECT_EQ(1000u, page_starts().size());
}

TEST_F(ListTest, ItemLimitCountsOnlyNewItems) {
    const long long pages = static_cast<long long>(kojelly::kMaxItems) / 500;
    for (long long p = 0; p < pages; ++p) {
        route("GET", page_url("7", 500 * p), 200, page(files(1 + 500 * p, 500), -1));
    }
    struct Case {
        const char *what;
        std::string last_page;
        int32_t code;
        const char *msg;
    } cases[] = {
        {"one more distinct item", page(files(1 + 500 * pages, 1)), -5,
         "folder has more than 100000 items"},
        {"a page repeating held items", page(files(1, 3)), 0, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        route("GET", page_url("7", 500 * pages), 200, c.last_page);
        OpResult got = run_op(rec.handle(), kApiKeySettings, kojelly::op_list, "7");
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.msg);
        if (c.code != 0) continue;
        // The listing of a full folder is one JSON document with every item.
        yyjson_doc *doc = yyjson_read(got.answer.data(), got.answer.size(), 0);
        ASSERT_NE(nullptr, doc);
        EXPECT_EQ(kojelly::kMaxItems,
                  yyjson_arr_size(yyjson_obj_get(yyjson_doc_get_root(doc), "items")));
        yyjson_doc_free(doc);
    }
}

TEST_F(ListTest, FolderFailuresNameTheirCause) {
    const std::string lookup_url = key_lookup_url("7");
    const std::string page0 = page_url("7", 0);
    struct Case {
        const char *what;
        const char *folder;
        std::string lookup;  // body of a 200 lookup, or "" to use lookup_status
        int lookup_status;
        int page_status;
        std::string page_body;
        int32_t code;
        std::string msg;
    } cases[] = {
        {"not an id", "abc", "", 0, 0, "", -2, "folder id is not a Jellyfin item id"},
        {"lookup 404", "7", "", 404, 0, "", -2, "folder 7 does not exist"},
        {"lookup without the item", "7", page({item("8", true)}), 0, 0, "", -2,
         "folder 7 does not exist"},
        {"lookup 410", "7", "", 410, 0, "", -2,
         "lookup: " + lookup_url + " answered HTTP 410: gone"},
        {"lookup 500", "7", "", 500, 0, "", -4,
         "lookup: " + lookup_url + " answered HTTP 500: gone"},
        {"lookup not JSON", "7", "<html>", 0, 0, "", -5,
         "/Items answered something that is not a JSON object"},
        {"a file", "7", page({item("7", false)}), 0, 0, "", -2, "7 is a file, not a folder"},
        {"page 404", "7", page({item("7", true)}), 0, 404, "Not Found", -2,
         "list: " + page0 + " answered HTTP 404: Not Found"},
        {"page 429", "7", page({item("7", true)}), 0, 429, "", -3,
         "list: " + page0 + " answered HTTP 429"},
        {"page 302", "7", page({item("7", true)}), 0, 302, "", -5,
         "list: " + page0 + " answered HTTP 302"},
        {"page without Items", "7", page({item("7", true)}), 0, 200, "{}", -5,
         "/Items answer has no Items array"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly::fake_reset_impl();
        rec.reset();
        if (c.lookup_status) route("GET", lookup_url, c.lookup_status, "gone");
        if (!c.lookup.empty()) route("GET", lookup_url, 200, c.lookup);
        if (c.page_status) route("GET", page0, c.page_status, c.page_body);
        const Listed got = list(kApiKeySettings, c.folder);
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.msg);
        if (std::string(c.folder) == "abc") {
            EXPECT_TRUE(rec.log().empty());
        }
    }
}

TEST_F(ListTest, RequestThatDoesNotCompleteIsATransportFailure) {
    ASSERT_EQ(0, kojelly::fake_fail_impl("GET", key_lookup_url("7").c_str(), "refused"));
    const Listed got = list(kApiKeySettings, "7");
    EXPECT_EQ(-4, got.code);
    EXPECT_EQ("GET " + key_lookup_url("7") + ": refused", got.msg);
}

TEST_F(ListTest, EmptyListingIsCheckedAgain) {
    struct Case {
        const char *what;
        std::string second_lookup;  // what the lookup answers once the page was fetched
        int second_status;
        int32_t code;
        const char *msg;
    } cases[] = {
        {"still a folder: empty", page({item("7", true)}), 200, 0, ""},
        {"deleted meanwhile", "", 404, -2, "folder 7 does not exist"},
        {"deleted, lookup answers without it", page({}), 200, -2, "folder 7 does not exist"},
        {"now a file", page({item("7", false)}), 200, -2, "folder 7 does not exist (it is a file)"},
        {"second lookup fails", "", 503, -4, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        route("GET", key_lookup_url("7"), 200, page({item("7", true)}));
        route("GET", page_url("7", 0), 200, page({}, 0));
        const std::string page0 = page_url("7", 0);
        rec.hook([&](const std::string &url) {
            if (url == page0) route("GET", key_lookup_url("7"), c.second_status, c.second_lookup);
        });
        const OpResult got = run_op(rec.handle(), kApiKeySettings, kojelly::op_list, "7");
        rec.hook(nullptr);
        EXPECT_EQ(c.code, got.code);
        if (c.msg) {
            EXPECT_EQ(c.msg, got.msg);
        }
        EXPECT_EQ(c.code == 0 ? R"({"items":[]})" : "", got.answer);
        EXPECT_EQ(2, calls("GET", key_lookup_url("7")));
        EXPECT_EQ(1, calls("GET", page0));
        kojelly::fake_reset_impl();
    }
}

TEST_F(ListTest, HandlerWritesTheListingAndReusesTheLogin) {
    kojelly::fake_reset_impl();
    route("POST", kLoginUrl, 200, login_answer("tok1"));
    route("GET", login_lookup_url("7"), 200, item("7", true, "Films"));
    route(
        "GET", page_url("7", 0), 200,
        page(
            {R"({"Id":"501","Name":"Film","ParentId":"7","Type":"Movie","MediaType":"Video",)"
             R"("Container":"mkv","ProductionYear":1999,"Size":1000,"ProviderIds":{"Tmdb":"603"}})"},
            1));
    const std::string want =
        R"({"items":[{"name":"Film","path":"501","folder":false,"kind":"file","size":1000,)"
        R"("mtime_ms":-1,"id":"501","parent_id":"7","title":"Film","year":1999,"type":"Movie",)"
        R"("media_type":"Video","container":"mkv","imdb":null,"tmdb":"603","available":true}]})";
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        char out[4096];
        EXPECT_EQ(0, h_list(kojelly_io_fake(), kLoginSettings, "7", out, sizeof out));
        EXPECT_EQ(want, std::string(out));
    }
    EXPECT_EQ(1, calls("POST", kLoginUrl));

    char out[256];
    EXPECT_EQ(-2, h_list(kojelly_io_fake(), kLoginSettings, "8", out, sizeof out));
    EXPECT_STREQ(R"({"error":"folder 8 does not exist"})", out);
}

TEST_F(ListTest, OutOfMemoryDuringLoginAndListIsReported) {
    route("GET", page_url("7", 0), 200, page(files(1, 3), 3));
    const OpResult clean = run_op(rec.handle(), kLoginSettings, kojelly::op_list, "7");
    ASSERT_EQ(0, clean.code) << clean.msg;
    const uint64_t n = alloc_fail::sweep([&] {
        kojelly_cache_clear();
        const OpResult got = run_op(rec.handle(), kLoginSettings, kojelly::op_list, "7");
        if (got.code == 0) {
            EXPECT_EQ(clean.answer, got.answer);
            return;
        }
        // Settings, session and listing say "out of memory"; a copy the transport could not
        // make is a request that did not complete; a login answer member that could not be
        // copied reads as missing.
        const bool oom = (got.code == -5 || got.code == -8) && got.msg == "out of memory";
        const bool transport =
            got.code == -4 && (got.msg.find("out of memory") != std::string::npos ||
                               got.msg.find(": oom") != std::string::npos);
        const bool login =
            got.code == -5 && got.msg == "AuthenticateByName answer has no AccessToken / User.Id";
        EXPECT_TRUE(oom || transport || login) << got.code << " " << got.msg;
    });
    EXPECT_GT(n, 20u);
}

}  // namespace
