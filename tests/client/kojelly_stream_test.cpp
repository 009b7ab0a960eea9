// The stream URL through the fake io: the answer in both credential modes, the PlaybackInfo
// POST fallback, missing facts, and the failures of the item, the playback and the entry.
#include "client/kojelly_stream.hpp"

#include <gtest/gtest.h>
#include <yyjson.h>

#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "client_fixture.hpp"
#include "kojelly.h"
#include "plugin/kojelly_handlers.hpp"
#include "support/alloc_fail.hpp"

namespace {

using namespace client_test;

constexpr char kEntry[] = R"({"id":"501"})";
constexpr char kPlayback[] = "http://srv:8096/Items/501/PlaybackInfo";
constexpr char kSource[] = "0123456789abcdef0123456789abcdef";

std::string film(const std::string &extra = R"(,"Name":"Film","ProductionYear":1999)") {
    return R"({"Id":"501","IsFolder":false)" + extra + "}";
}

std::string playback(const std::string &source) {
    return R"({"MediaSources":[)" + source + "]}";
}

const std::string kGoodSource =
    std::string(R"({"Id":")") + kSource + R"(","Size":1000,"Container":"mkv"})";

struct Answer {
    int32_t code;
    std::string out;
    std::string error;
};

class StreamTest : public ClientTest {
protected:
    void SetUp() override {
        ClientTest::SetUp();
        routes(film());
    }
    // The login, the item in both lookup forms, and a playback answer with one good source.
    void routes(const std::string &item_object) {
        route("POST", kLoginUrl, 200, login_answer("tok1"));
        route("GET", key_lookup_url("501"), 200, page({item_object}));
        route("GET", login_lookup_url("501"), 200, item_object);
        route("GET", kPlayback, 200, playback(kGoodSource));
    }
    Answer stream(const char *settings, const char *entry = kEntry) {
        char out[4096] = {};
        const int32_t code = h_stream_url(rec.io(), settings, entry, out, sizeof out);
        return {code, out, kojelly_last_error()};
    }

    Recorder rec;
};

// A member of an answer object, as the JSON text of its value.
std::string member(const std::string &json, const char *key) {
    yyjson_doc *doc = yyjson_read(json.data(), json.size(), 0);
    if (!doc) return "<not JSON>";
    yyjson_val *v = yyjson_obj_get(yyjson_doc_get_root(doc), key);
    std::string text = "<absent>";
    if (yyjson_is_str(v)) text = yyjson_get_str(v);
    if (yyjson_is_int(v)) text = std::to_string(yyjson_get_sint(v));
    if (yyjson_is_null(v)) text = "null";
    yyjson_doc_free(doc);
    return text;
}

TEST_F(StreamTest, AnswerCarriesTheSessionTokenInBothModes) {
    struct Case {
        const char *settings;
        const char *token;
        std::vector<std::string> log;
    } cases[] = {
        {kApiKeySettings,
         kApiKey,
         {"GET " + key_lookup_url("501"), std::string("GET ") + kPlayback}},
        {kLoginSettings,
         "tok1",
         {std::string("POST ") + kLoginUrl, "GET " + login_lookup_url("501"),
          std::string("GET ") + kPlayback}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        rec.reset();
        const Answer got = stream(c.settings);
        ASSERT_EQ(0, got.code) << got.error;
        const std::string t = c.token;
        EXPECT_EQ(
            R"({"url":"http://srv:8096/videos/501/stream?static=true&MediaSourceId=)" +
                std::string(kSource) + "&api_key=" + t +
                R"(","headers":{"Authorization":"MediaBrowser Client=\"org.kojelly.plugin\", )"
                R"(Device=\"NativeClient\", DeviceId=\"dev-0001\", Version=\"1.0\", Token=\")" +
                t + R"(\""},"size":1000,"container":"mkv","id":"501","name":"Film","year":1999})",
            got.out);
        EXPECT_EQ(c.log, rec.log());
        EXPECT_EQ("", got.error);
    }
}

TEST_F(StreamTest, PlaybackInfoFallsBackToPostOn404Or405) {
    struct Case {
        int get;
        int post;  // 0: no POST may be sent
        int32_t code;
        std::string msg;
    } cases[] = {
        {405, 200, 0, ""},
        {404, 200, 0, ""},
        {404, 404, -5, "playback info: no answer"},
        {405, 405, -5, "playback info: no answer"},
        {405, 500, -4, std::string("playback info: ") + kPlayback + " answered HTTP 500: post"},
        {410, 0, -2, std::string("playback info: ") + kPlayback + " answered HTTP 410: get"},
        {400, 0, -2, std::string("playback info: ") + kPlayback + " answered HTTP 400: get"},
        {401, 0, -1, std::string("playback info: ") + kPlayback + " answered HTTP 401: get"},
        {500, 0, -4, std::string("playback info: ") + kPlayback + " answered HTTP 500: get"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.get) + "/" + std::to_string(c.post));
        kojelly::fake_reset_impl();
        routes(film());
        route("GET", kPlayback, c.get, "get");
        route("POST", kPlayback, c.post ? c.post : 200,
              c.post == 200 ? playback(kGoodSource) : "post");
        const Answer got = stream(kApiKeySettings);
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.error);
        EXPECT_EQ(c.post ? 1 : 0, calls("POST", kPlayback));
        if (c.post) {
            EXPECT_STREQ("{}", kojelly::fake_last_body_impl(kPlayback));
        }
        if (c.code == 0) {
            EXPECT_EQ("1000", member(got.out, "size"));
        }
    }
}

TEST_F(StreamTest, MissingFactsHaveTheirDefaults) {
    struct Case {
        const char *what;
        std::string item;
        std::string source;
        const char *member;
        std::string value;
    } cases[] = {
        {"source without Id", film(), R"({"Size":5})", "url",
         "http://srv:8096/videos/501/stream?static=true&MediaSourceId=501&api_key=key-0123456789"},
        {"source Id failing the id check", film(), R"({"Id":"abc"})", "url",
         "http://srv:8096/videos/501/stream?static=true&MediaSourceId=501&api_key=key-0123456789"},
        {"numeric source Id", film(), R"({"Id":77})", "url",
         "http://srv:8096/videos/501/stream?static=true&MediaSourceId=501&api_key=key-0123456789"},
        {"no Size", film(), R"({"Container":"mp4"})", "size", "-1"},
        {"no Container", film(), R"({"Size":5})", "container", "null"},
        {"no production year", film(R"(,"Name":"Film")"), kGoodSource, "year", "null"},
        {"year out of range", film(R"(,"Name":"Film","ProductionYear":1200)"), kGoodSource, "year",
         "null"},
        {"no Name: the cleaned name", film(R"(,"ProductionYear":1999)"), kGoodSource, "name",
         "501"},
        {"Name as the server sent it", film(R"(,"Name":"AC/DC \"Live\"")"), kGoodSource, "name",
         "AC/DC \"Live\""},
        {"only the first source counts", film(),
         kGoodSource + R"(,{"Id":"fedcba9876543210fedcba9876543210","Size":9})", "size", "1000"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly::fake_reset_impl();
        routes(c.item);
        route("GET", kPlayback, 200, playback(c.source));
        const Answer got = stream(kApiKeySettings);
        ASSERT_EQ(0, got.code) << got.error;
        EXPECT_EQ(c.value, member(got.out, c.member)) << got.out;
    }
}

// Percent-decodes a query value.
std::string query_decoded(std::string_view v) {
    std::string out;
    for (size_t i = 0; i < v.size(); ++i) {
        if (v[i] == '%' && i + 2 < v.size()) {
            out += static_cast<char>(std::stoi(std::string(v.substr(i + 1, 2)), nullptr, 16));
            i += 2;
        } else {
            out += v[i];
        }
    }
    return out;
}

TEST_F(StreamTest, ApiKeyIsOneQueryValueWhateverItHolds) {
    // Keys that the settings accept may carry bytes with a meaning in URLs or JSON. In the URL
    // the key is one percent-encoded value: it adds no parameter, it reads back exactly, and
    // redaction hides all of it. A key of unreserved bytes, as servers issue, stays as it is.
    const std::string prefix =
        std::string("http://srv:8096/videos/501/stream?static=true&MediaSourceId=") + kSource;
    struct Case {
        const char *key;
        const char *encoded;
    } cases[] = {
        {"abcXYZ09-._~", "abcXYZ09-._~"},
        {"abcd&MediaSourceId=x", "abcd%26MediaSourceId%3Dx"},
        {"k#1", "k%231"},
        {"k?e", "k%3Fe"},
        {"k=e", "k%3De"},
        {"100%", "100%25"},
        {"a+b", "a%2Bb"},
        {"a b", "a%20b"},
        {"k/e'<y>", "k%2Fe%27%3Cy%3E"},
        {"ключ-ü", "%D0%BA%D0%BB%D1%8E%D1%87-%C3%BC"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.key);
        const std::string settings = std::string(R"({"FullUrl":"http://srv:8096","APIKey":")") +
                                     c.key + R"(","DeviceId":"dev-0001"})";
        const Answer got = stream(settings.c_str());
        ASSERT_EQ(0, got.code) << got.error;
        const std::string url = member(got.out, "url");
        EXPECT_EQ(prefix + "&api_key=" + c.encoded, url);
        const std::string_view query = std::string_view(url).substr(url.find('?') + 1);
        EXPECT_EQ(std::count(query.begin(), query.end(), '&'), 2) << url;
        EXPECT_EQ(query_decoded(query.substr(query.rfind("&api_key=") + 9)), c.key);
        EXPECT_EQ(prefix + "&api_key=***", std::string(kojelly_redact(url.c_str())));
    }
}

TEST_F(StreamTest, ItemAndPlaybackFailures) {
    struct Case {
        const char *what;
        std::string lookup;  // the API-key lookup answer (200), or "" for none (404)
        std::string playback;
        int32_t code;
        std::string msg;
        int playback_calls;
    } cases[] = {
        {"item unknown", "", playback(kGoodSource), -2, "item 501 does not exist", 0},
        {"lookup answers another item", page({film().replace(7, 3, "502")}), playback(kGoodSource),
         -2, "item 501 does not exist", 0},
        {"a folder", page({item("501", true)}), playback(kGoodSource), -2,
         "item 501 is a folder, not a playable file", 0},
        {"no MediaSources", page({film()}), "{}", -6, "item 501 has no MediaSources to stream", 1},
        {"empty MediaSources", page({film()}), playback(""), -6,
         "item 501 has no MediaSources to stream", 1},
        {"MediaSources not an array", page({film()}), R"({"MediaSources":{}})", -5,
         "PlaybackInfo MediaSources is not an array", 1},
        {"playback not JSON", page({film()}), "<html>", -5,
         "PlaybackInfo answered something that is not a JSON object", 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        kojelly::fake_reset_impl();
        if (!c.lookup.empty()) route("GET", key_lookup_url("501"), 200, c.lookup);
        route("GET", kPlayback, 200, c.playback);
        const Answer got = stream(kApiKeySettings);
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.error);
        EXPECT_EQ(c.playback_calls, calls("GET", kPlayback) + calls("POST", kPlayback));
    }
}

TEST_F(StreamTest, SettingsAreCheckedBeforeTheEntry) {
    struct Case {
        const char *what;
        const char *settings;
        const char *entry;
        int32_t code;
        const char *msg;
    } cases[] = {
        {"bad settings, bad entry", R"({"FullUrl":""})", "12345", -8, "FullUrl has no host"},
        {"bad settings, good entry", R"({"FullUrl":"http://srv"})", kEntry, -8,
         "APIKey or UserName is required"},
        {"NULL entry", kApiKeySettings, nullptr, -2, "entry is NULL"},
        {"bare number", kApiKeySettings, "12345", -2,
         R"(entry has no Emby item id ("id", "path" or "Key"))"},
        {"id not an id", kApiKeySettings, R"({"id":"x y"})", -2,
         R"(entry has no Emby item id ("id", "path" or "Key"))"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        rec.reset();
        const Answer got = stream(c.settings, c.entry);
        EXPECT_EQ(c.code, got.code);
        EXPECT_EQ(c.msg, got.error);
        EXPECT_TRUE(rec.log().empty());
    }
    // An entry naming the item by "path", as a listing entry does, or as a bare JSON string.
    for (const char *entry : {R"({"path":"501"})", R"("501")", R"({"id":"x","Key":501})"}) {
        SCOPED_TRACE(entry);
        EXPECT_EQ(0, stream(kApiKeySettings, entry).code);
    }
}

TEST_F(StreamTest, MessagesAreScrubbedOfTheSessionToken) {
    // A server that quotes the token back in its error answer.
    route("GET", kPlayback, 500, "bad token tok1 for key-0123456789");
    for (const char *settings : {kLoginSettings, kApiKeySettings}) {
        SCOPED_TRACE(settings);
        const Answer got = stream(settings);
        EXPECT_EQ(-4, got.code);
        EXPECT_EQ(std::string("playback info: ") + kPlayback + " answered HTTP 500: bad token " +
                      (settings == kLoginSettings ? "*** for key-0123456789" : "tok1 for ***"),
                  got.error);
    }
}

TEST_F(StreamTest, OutOfMemoryDuringAStreamIsReported) {
    const OpResult clean = run_op(rec.handle(), kApiKeySettings, kojelly_do_stream, "501");
    ASSERT_EQ(0, clean.code) << clean.msg;
    const uint64_t n = alloc_fail::sweep([&] {
        const OpResult got = run_op(rec.handle(), kApiKeySettings, kojelly_do_stream, "501");
        if (got.code == 0) {
            EXPECT_EQ(clean.answer, got.answer);
            return;
        }
        const bool oom = (got.code == -5 || got.code == -8) && got.msg == "out of memory";
        const bool transport =
            got.code == -4 && (got.msg.find("out of memory") != std::string::npos ||
                               got.msg.find(": oom") != std::string::npos);
        EXPECT_TRUE(oom || transport) << got.code << " " << got.msg;
    });
    EXPECT_GT(n, 20u);
}

}  // namespace
