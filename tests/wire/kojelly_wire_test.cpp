// The small server answers, entry ids, status mapping and the shared member readers.
#include "wire/kojelly_wire.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <string_view>

#include "kojelly.h"
#include "support/alloc_fail.hpp"
#include "wire/kojelly_items.hpp"

namespace {

constexpr char kNoMemory[] = "out of memory";

using Text = kojelly::Malloced<char>;

// Body and length of a test answer; a null body stands for a transport that gave none.
struct Body {
    const char *text;
    uint64_t len() const { return text ? std::strlen(text) : 0; }
};

// ---- Documents and member readers ----------------------------------------------------------

TEST(WireDocument, ParsesExactlyTheGivenBytesStrictly) {
    EXPECT_TRUE(kojelly::JsonDoc::read("{}trailing", 2).root());
    EXPECT_FALSE(kojelly::JsonDoc::read("{}trailing", 10).root());
    EXPECT_FALSE(kojelly::JsonDoc::read(nullptr, 0).root());
    struct Case {
        const char *text;
        bool parses;
    } cases[] = {
        {" {\"a\":[[[[[[]]]]]]} ", true},
        {"{\"a\":1,}", false},      // trailing comma
        {"{/*c*/}", false},         // comment
        {"[NaN]", false},           // NaN literal
        {"[1e400]", false},         // overflows to infinity
        {"[\"\xC3\x28\"]", false},  // invalid UTF-8
        {"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(static_cast<bool>(kojelly::JsonDoc::read(c.text, std::strlen(c.text)).root()),
                  c.parses);
    }
}

TEST(WireMembers, ReadersFollowTheirTypeRules) {
    constexpr int64_t kDefault = -7;
    struct Case {
        const char *json;
        const char *str;  // str_of "k"
        const char *id;   // id_of "k"
        int64_t num;      // num_of "k" with kDefault
    } cases[] = {
        {R"({"k":"abc"})", "abc", "abc", kDefault},
        {R"({"k":""})", nullptr, nullptr, kDefault},
        {R"({"k":12345})", nullptr, "12345", 12345},
        {R"({"k":-5})", nullptr, "-5", -5},
        {R"({"k":9223372036854775807})", nullptr, "9223372036854775807", INT64_MAX},
        // An unsigned integer above the signed range comes out negative.
        {R"({"k":18446744073709551615})", nullptr, "-1", -1},
        {R"({"k":18446744073709551616})", nullptr, nullptr, kDefault},  // read as a real
        {R"({"k":42.9})", nullptr, nullptr, 42},
        {R"({"k":0.5})", nullptr, nullptr, 0},
        {R"({"k":-0.5})", nullptr, nullptr, kDefault},
        {R"({"k":9.1e18})", nullptr, nullptr, 9100000000000000000},
        {R"({"k":9.2e18})", nullptr, nullptr, kDefault},
        {R"({"k":true})", nullptr, nullptr, kDefault},
        {R"({"k":null})", nullptr, nullptr, kDefault},
        {R"({"k":[1]})", nullptr, nullptr, kDefault},
        {R"({"k":{"k":1}})", nullptr, nullptr, kDefault},
        {R"({"k":"12"})", "12", "12", kDefault},  // a numeric string is no number
        {R"({"K":"x","kk":"y"})", nullptr, nullptr, kDefault},
        {R"({"k":"first","k":"second"})", "first", "first", kDefault},
        {R"({"k":3,"k":"second"})", nullptr, "3", 3},
        {R"(["k"])", nullptr, nullptr, kDefault},
        {R"("k")", nullptr, nullptr, kDefault},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.json);
        const kojelly::JsonDoc doc = kojelly::JsonDoc::read(c.json, std::strlen(c.json));
        ASSERT_TRUE(doc.root());
        yyjson_val *root = doc.root();
        const Text str(kojelly::str_of(root, "k"));
        const Text id(kojelly::id_of(root, "k"));
        EXPECT_STREQ(str.get(), c.str);
        EXPECT_STREQ(id.get(), c.id);
        EXPECT_EQ(kojelly::num_of(root, "k", kDefault), c.num);
    }
    EXPECT_EQ(kojelly::str_of(nullptr, "k"), nullptr);
    EXPECT_EQ(kojelly::num_of(nullptr, "k", kDefault), kDefault);
}

TEST(WireMembers, IdUsableRejectsAnEmbeddedNul) {
    using namespace std::string_view_literals;
    EXPECT_TRUE(kojelly::id_usable("12345"sv));
    EXPECT_TRUE(kojelly::id_usable("0f8fad5b-d9cb-469f-a165-70867728950e"sv));
    EXPECT_FALSE(
        kojelly::id_usable("12\0"
                           "3"sv));
    EXPECT_FALSE(kojelly::id_usable("12\0"sv));
    EXPECT_FALSE(kojelly::id_usable(""sv));
    EXPECT_FALSE(kojelly::id_usable("0f8fad5b-d9cb-469f-a165-70867728950e0"sv));
}

// ---- Login answer --------------------------------------------------------------------------

TEST(WireAuth, AcceptsTokenAndUserId) {
    struct Case {
        const char *body;
        const char *token;
        const char *user_id;
    } cases[] = {
        {R"({"AccessToken":"abcDEF123","User":{"Id":9223372036854775807}})", "abcDEF123",
         "9223372036854775807"},
        {R"({"AccessToken":"t","User":{"Id":0}})", "t", "0"},
        {R"({"User":{"Name":"bob","Id":"0f8fad5b-d9cb-469f-a165-70867728950e"},"AccessToken":"a-b.c_d"})",
         "a-b.c_d", "0f8fad5b-d9cb-469f-a165-70867728950e"},
        {R"({"AccessToken":"x","User":{"Id":"0123456789abcdefABCDEF0123456789"}})", "x",
         "0123456789abcdefABCDEF0123456789"},
        // Only the first member of a name is read.
        {R"({"AccessToken":"one","AccessToken":"t+o","User":{"Id":"1"},"User":5})", "one", "1"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        char *token = nullptr, *user_id = nullptr;
        kojelly::Error err{0, "untouched"};
        ASSERT_EQ(kojelly_parse_auth(c.body, std::strlen(c.body), &token, &user_id, err),
                  KOJELLY_OK);
        const Text t(token), u(user_id);
        EXPECT_STREQ(t.get(), c.token);
        EXPECT_STREQ(u.get(), c.user_id);
        EXPECT_STREQ(err.msg, "untouched");
    }
}

TEST(WireAuth, RejectsUnusableAnswers) {
    constexpr char kNotObject[] = "AuthenticateByName answered something that is not a JSON object";
    constexpr char kMissing[] = "AuthenticateByName answer has no AccessToken / User.Id";
    constexpr char kMalformed[] = "AuthenticateByName returned a malformed AccessToken";
    struct Case {
        Body body;
        const char *msg;
    } cases[] = {
        {{nullptr}, kNotObject},
        {{"[]"}, kNotObject},
        {{"not json"}, kNotObject},
        {{R"({"AccessToken":"a","User":{"Id":1},})"}, kNotObject},
        {{R"({"AccessToken":"abc"})"}, kMissing},
        {{R"({"AccessToken":"abc","User":{"Id":"abc"}})"}, kMissing},
        {{R"({"AccessToken":"abc","User":{"Id":-5}})"}, kMissing},
        {{R"({"AccessToken":"abc","User":{"Id":1.5}})"}, kMissing},
        {{R"({"AccessToken":"abc","User":"12"})"}, kMissing},
        {{R"({"AccessToken":"abc","User":null})"}, kMissing},
        {{R"({"AccessToken":"abc","User":{"Id":"12\u00003"}})"}, kMissing},
        {{R"({"AccessToken":"","User":{"Id":12}})"}, kMissing},  // empty is missing
        {{R"({"AccessToken":5,"User":{"Id":12}})"}, kMissing},
        {{R"({"User":{"Id":12}})"}, kMissing},
        {{R"({"AccessToken":"a+b","User":{"Id":12}})"}, kMalformed},
        {{R"({"AccessToken":"a/b","User":{"Id":12}})"}, kMalformed},
        {{R"({"AccessToken":"ab==","User":{"Id":12}})"}, kMalformed},
        {{R"({"AccessToken":"a b","User":{"Id":12}})"}, kMalformed},
        {{R"({"AccessToken":"a~b","User":{"Id":12}})"}, kMalformed},
        {{R"({"AccessToken":"a\r\nX-Evil: 1","User":{"Id":12}})"}, kMalformed},
        {{"{\"AccessToken\":\"caf\xC3\xA9\",\"User\":{\"Id\":12}}"}, kMalformed},
        // A NUL inside the token would cut it short where it is used.
        {{R"({"AccessToken":"ab\u0000cd","User":{"Id":12}})"}, kMalformed},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body.text ? c.body.text : "(null)");
        char *token = reinterpret_cast<char *>(1), *user_id = reinterpret_cast<char *>(1);
        kojelly::Error err;
        EXPECT_EQ(kojelly_parse_auth(c.body.text, c.body.len(), &token, &user_id, err),
                  KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, c.msg);
        EXPECT_EQ(token, nullptr);
        EXPECT_EQ(user_id, nullptr);
    }
}

// ---- Server information --------------------------------------------------------------------

TEST(WireInfo, AcceptsAServerDescription) {
    struct Case {
        const char *body;
        const char *id, *name, *version;
    } cases[] = {
        {R"({"Id":"abc","ServerName":"Den","Version":"10.9.1"})", "abc", "Den", "10.9.1"},
        {R"({"Version":"4.8","Id":"x"})", "x", nullptr, "4.8"},
        {R"({"Id":"x","ServerName":"","Version":"4.8"})", "x", nullptr, "4.8"},
        {R"({"Id":"x","ServerName":7,"Version":"4.8"})", "x", nullptr, "4.8"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body);
        kojelly_info info{};
        kojelly::Error err;
        ASSERT_EQ(kojelly_parse_info(c.body, std::strlen(c.body), &info, err), KOJELLY_OK);
        EXPECT_STREQ(info.id, c.id);
        EXPECT_STREQ(info.server_name, c.name);
        EXPECT_STREQ(info.version, c.version);
        kojelly_info_free(&info);
        EXPECT_EQ(info.id, nullptr);
        kojelly_info_free(&info);  // a freed record may be freed again
    }
}

TEST(WireInfo, RejectsAnswersThatDoNotDescribeAServer) {
    constexpr char kNotObject[] = "System/Info/Public answered something that is not a JSON object";
    constexpr char kNotServer[] =
        "System/Info/Public has no Id / Version: not a Jellyfin/Emby server";
    struct Case {
        Body body;
        const char *msg;
    } cases[] = {
        {{nullptr}, kNotObject},
        {{"<html></html>"}, kNotObject},
        {{R"(["Id","Version"])"}, kNotObject},
        {{R"({"Id":12,"Version":"10.9"})"}, kNotServer},  // a numeric Id does not count
        {{R"({"Id":"x","Version":""})"}, kNotServer},
        {{R"({"Id":"x","ServerName":"Den"})"}, kNotServer},
        {{R"({"ServerName":"Den","Version":"1"})"}, kNotServer},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body.text ? c.body.text : "(null)");
        kojelly_info info{};
        kojelly::Error err;
        EXPECT_EQ(kojelly_parse_info(c.body.text, c.body.len(), &info, err), KOJELLY_EFAIL);
        EXPECT_STREQ(err.msg, c.msg);
        EXPECT_EQ(info.id, nullptr);
        EXPECT_EQ(info.server_name, nullptr);
        EXPECT_EQ(info.version, nullptr);
    }
}

// ---- Playback information ------------------------------------------------------------------

TEST(WirePlayback, ReadsTheFirstMediaSource) {
    constexpr char kNotObject[] = "PlaybackInfo answered something that is not a JSON object";
    constexpr char kNotArray[] = "PlaybackInfo MediaSources is not an array";
    struct Case {
        Body body;
        int rc;
        int32_t sources;
        int64_t size;
        const char *container, *source_id, *msg;
    } cases[] = {
        {{"{}"}, KOJELLY_OK, 0, -1, nullptr, nullptr, ""},
        {{R"({"MediaSources":[]})"}, KOJELLY_OK, 0, -1, nullptr, nullptr, ""},
        {{R"({"MediaSources":[{"Size":1.5e9,"Container":"mkv","Id":"abc"}]})"},
         KOJELLY_OK,
         1,
         1500000000,
         "mkv",
         "abc",
         ""},
        {{R"({"MediaSources":[{"Size":0}]})"}, KOJELLY_OK, 1, 0, nullptr, nullptr, ""},
        {{R"({"MediaSources":[{"Size":-1}]})"}, KOJELLY_OK, 1, -1, nullptr, nullptr, ""},
        {{R"({"MediaSources":[{"Size":-7}]})"}, KOJELLY_OK, 1, -1, nullptr, nullptr, ""},
        {{R"({"MediaSources":[{"Size":"10"}]})"}, KOJELLY_OK, 1, -1, nullptr, nullptr, ""},
        {{R"({"MediaSources":[5,{"Size":10}]})"}, KOJELLY_OK, 2, -1, nullptr, nullptr, ""},
        {{R"({"MediaSources":[{"Id":123,"Container":""}]})"},
         KOJELLY_OK,
         1,
         -1,
         nullptr,
         nullptr,
         ""},
        {{R"({"MediaSources":[{"Size":5,"Id":"a"},{"Size":9,"Id":"b"},{}]})"},
         KOJELLY_OK,
         3,
         5,
         nullptr,
         "a",
         ""},
        {{R"({"MediaSources":null})"}, KOJELLY_EFAIL, 0, -1, nullptr, nullptr, kNotArray},
        {{R"({"MediaSources":{"Size":5}})"}, KOJELLY_EFAIL, 0, -1, nullptr, nullptr, kNotArray},
        {{nullptr}, KOJELLY_EFAIL, 0, -1, nullptr, nullptr, kNotObject},
        {{"[]"}, KOJELLY_EFAIL, 0, -1, nullptr, nullptr, kNotObject},
        {{R"({"MediaSources":[})"}, KOJELLY_EFAIL, 0, -1, nullptr, nullptr, kNotObject},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.body.text ? c.body.text : "(null)");
        kojelly_playback pb{7, 7, nullptr, nullptr};
        kojelly::Error err;
        EXPECT_EQ(kojelly_parse_playback(c.body.text, c.body.len(), &pb, err), c.rc);
        EXPECT_EQ(pb.sources, c.sources);
        EXPECT_EQ(pb.size, c.size);
        EXPECT_STREQ(pb.container, c.container);
        EXPECT_STREQ(pb.source_id, c.source_id);
        EXPECT_STREQ(err.msg, c.msg);
        kojelly_playback_free(&pb);
        EXPECT_EQ(pb.size, 0);
        EXPECT_EQ(pb.container, nullptr);
        kojelly_playback_free(&pb);
    }
}

// ---- Entry id ------------------------------------------------------------------------------

TEST(WireEntry, FindsTheItemId) {
    constexpr char kNoId[] = R"(entry has no Emby item id ("id", "path" or "Key"))";
    constexpr char kGuid[] = "0f8fad5b-d9cb-469f-a165-70867728950e";
    struct Case {
        const char *entry;
        int rc;
        const char *id;
        const char *msg;
    } cases[] = {
        {R"("12345")", KOJELLY_OK, "12345", ""},
        {R"("0f8fad5b-d9cb-469f-a165-70867728950e")", KOJELLY_OK, kGuid, ""},
        {R"({"id":"bad","path":"0123456789abcdef0123456789abcdef"})", KOJELLY_OK,
         "0123456789abcdef0123456789abcdef", ""},
        {R"({"id":123})", KOJELLY_OK, "123", ""},
        {R"({"backend_id":"42"})", KOJELLY_OK, "42", ""},
        {R"({"key":"8","Key":"7"})", KOJELLY_OK, "7", ""},  // "Key" is tried before "key"
        {R"({"path":"9","id":"10"})", KOJELLY_OK, "10", ""},
        {R"({"id":"x","id":"5","path":"6"})", KOJELLY_OK, "6", ""},  // only the first "id"
        {R"({"name":"Film","path":"501","folder":false,"kind":"file","size":1000,"id":"501"})",
         KOJELLY_OK, "501", ""},
        {R"( "77" )", KOJELLY_OK, "77", ""},
        {nullptr, KOJELLY_ENOTFOUND, nullptr, "entry is NULL"},
        {"12345", KOJELLY_ENOTFOUND, nullptr, kNoId},  // a JSON number
        {kGuid, KOJELLY_ENOTFOUND, nullptr, kNoId},    // unquoted, not JSON
        {"", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {"null", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {"true", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"(["42"])", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"({})", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"("abc")", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"({"id":-1})", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"({"id":1.0})", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"({"path":"library/42"})", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"({"ID":"42","Id":"42"})", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"("12\u00003")", KOJELLY_ENOTFOUND, nullptr, kNoId},
        {R"({"id":"42",})", KOJELLY_ENOTFOUND, nullptr, kNoId},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.entry ? c.entry : "(null)");
        char *id = reinterpret_cast<char *>(1);
        kojelly::Error err;
        EXPECT_EQ(kojelly_entry_id(c.entry, &id, err), c.rc);
        const Text owned(id);
        EXPECT_STREQ(id, c.id);
        EXPECT_STREQ(err.msg, c.msg);
    }
}

// ---- Status mapping ------------------------------------------------------------------------

TEST(WireStatus, MapsEveryStatusClass) {
    struct Case {
        int status;
        int rc;
    } cases[] = {
        {200, KOJELLY_OK},
        {204, KOJELLY_OK},
        {299, KOJELLY_OK},
        {401, KOJELLY_EAUTH},
        {403, KOJELLY_EAUTH},
        {429, KOJELLY_ETHROTTLED},
        {408, KOJELLY_ETRANSPORT},
        {500, KOJELLY_ETRANSPORT},
        {503, KOJELLY_ETRANSPORT},
        {600, KOJELLY_ETRANSPORT},
        {INT_MAX, KOJELLY_ETRANSPORT},
        {0, KOJELLY_ETRANSPORT},
        {1, KOJELLY_EFAIL},
        {100, KOJELLY_EFAIL},
        {199, KOJELLY_EFAIL},
        {300, KOJELLY_EFAIL},
        {304, KOJELLY_EFAIL},
        {399, KOJELLY_EFAIL},
        {402, KOJELLY_EFAIL},
        {405, KOJELLY_EFAIL},
        {409, KOJELLY_EFAIL},
        {499, KOJELLY_EFAIL},
        {-1, KOJELLY_EFAIL},
        {INT_MIN, KOJELLY_EFAIL},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_EQ(kojelly_map_status(c.status, KOJELLY_ENOTFOUND), c.rc);
    }
    for (int status : {400, 404, 410}) {
        SCOPED_TRACE(status);
        for (int missing : {KOJELLY_ENOTFOUND, KOJELLY_EFAIL, KOJELLY_ETRANSPORT})
            EXPECT_EQ(kojelly_map_status(status, missing), missing);
    }
}

// ---- Memory shortage -----------------------------------------------------------------------

// One parse of a server answer or an entry, recording its failure in err: it checks what the
// parse handed out, the whole answer after a success and nothing at all after a failure, and
// returns the parse's code.
struct Parse {
    const char *name;
    std::function<int32_t(kojelly::Error &err)> run;
};

const Parse kParses[] = {
    {"items page",
     [](kojelly::Error &err) {
         const std::string page = R"({"Items":[{"Id":"11","Name":"A"}],"TotalRecordCount":1})";
         kojelly::OwnedItems list;
         const int rc =
             kojelly_parse_items_page(page.data(), page.size(), list.get(), nullptr, nullptr, err);
         EXPECT_EQ(list->count, rc == KOJELLY_OK ? 1u : 0u);
         return rc;
     }},
    {"page entries",
     [](kojelly::Error &err) {
         const std::string page = R"({"Items":[{"Id":"11","Name":"A"}],"TotalRecordCount":1})";
         kojelly::OwnedItems list;
         kojelly::OwnedBuf entries;
         const int rc = kojelly_page_entries(page.data(), page.size(), list.get(), entries.get(),
                                             nullptr, nullptr, err);
         EXPECT_EQ(list->count, rc == KOJELLY_OK ? 1u : 0u);
         return rc;
     }},
    {"item",
     [](kojelly::Error &err) {
         const std::string body = R"({"Id":"11","Name":"A"})";
         kojelly::OwnedItem item;
         const int rc = kojelly_parse_item(body.data(), body.size(), item.get(), err);
         EXPECT_EQ(item->name != nullptr, rc == KOJELLY_OK);
         return rc;
     }},
    {"login",
     [](kojelly::Error &err) {
         const std::string auth = R"({"AccessToken":"tok","User":{"Id":"42"}})";
         char *token = nullptr, *user_id = nullptr;
         const int rc = kojelly_parse_auth(auth.data(), auth.size(), &token, &user_id, err);
         const Text t(token), u(user_id);
         EXPECT_STREQ(token, rc == KOJELLY_OK ? "tok" : nullptr);
         EXPECT_STREQ(user_id, rc == KOJELLY_OK ? "42" : nullptr);
         return rc;
     }},
    {"server info",
     [](kojelly::Error &err) {
         const std::string info = R"({"Id":"x","ServerName":"Den","Version":"1"})";
         kojelly::OwnedInfo rec;
         const int rc = kojelly_parse_info(info.data(), info.size(), rec.get(), err);
         const bool ok = rc == KOJELLY_OK;
         EXPECT_STREQ(rec->id, ok ? "x" : nullptr);
         EXPECT_STREQ(rec->server_name, ok ? "Den" : nullptr);
         EXPECT_STREQ(rec->version, ok ? "1" : nullptr);
         return rc;
     }},
    {"playback",
     [](kojelly::Error &err) {
         const std::string pb = R"({"MediaSources":[{"Size":5,"Container":"mkv","Id":"s"}]})";
         kojelly::OwnedPlayback rec;
         const int rc = kojelly_parse_playback(pb.data(), pb.size(), rec.get(), err);
         const bool ok = rc == KOJELLY_OK;
         EXPECT_EQ(rec->sources, ok ? 1 : 0);
         EXPECT_EQ(rec->size, ok ? 5 : -1);
         EXPECT_STREQ(rec->container, ok ? "mkv" : nullptr);
         EXPECT_STREQ(rec->source_id, ok ? "s" : nullptr);
         return rc;
     }},
    // Running out of memory is not "no such item".
    {"entry",
     [](kojelly::Error &err) {
         char *id = nullptr;
         const int rc = kojelly_entry_id(R"({"id":"42"})", &id, err);
         const Text owned(id);
         EXPECT_STREQ(id, rc == KOJELLY_OK ? "42" : nullptr);
         return rc;
     }},
};

// Every allocation a parse makes may fail, the reader's own included: the parse then reports a
// memory shortage with its outputs empty, never a malformed answer, a missing member or a
// success with a member quietly dropped. Each sweep counts the failing runs: every allocation of
// a clean run must end in one.
TEST(WireMemory, EveryFailedAllocationIsOutOfMemory) {
    for (const Parse &p : kParses) {
        for (bool all_after : {false, true}) {
            SCOPED_TRACE(std::string(p.name) +
                         (all_after ? ", every allocation after k" : ", k-th allocation"));
            uint64_t failures = 0;
            const uint64_t n = alloc_fail::sweep(
                [&] {
                    kojelly::Error err;
                    const int rc = p.run(err);
                    if (rc == KOJELLY_OK) return;
                    ++failures;
                    EXPECT_EQ(rc, KOJELLY_EFAIL);
                    EXPECT_STREQ(err.msg, kNoMemory);
                },
                all_after);
            EXPECT_GT(n, 0u);
            EXPECT_EQ(failures, n);
        }
    }
}

}  // namespace
