// Whole requests against the fake io: one route (chosen by the first byte, with a status chosen
// by the second) serves the fuzzed body while every other route serves a good answer, or the
// fuzzed text is the entry of a stream request or the folder id of a listing. Every list, stream
// and validate request, with an API key and with a login, must then end in a library code, with
// a valid JSON text in the buffer (the answer, or the error object that the error slot repeats),
// a listing whose entries name their items, a stream answer whose URL and header carry the
// session's token, and no secret of the settings in any message.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "kojelly.h"
#include "listing_check.hpp"
#include "support/json_doc.hpp"

namespace {

constexpr char kKey[] = "key-Fz-2468";
constexpr char kPassword[] = "pw-Fz-1357";
constexpr char kDevice[] = "dev-Fz-9753";
constexpr char kToken[] = "tokFz8642";
constexpr char kKeySettings[] =
    R"({"FullUrl":"http://fz:8096","APIKey":"key-Fz-2468","DeviceId":"dev-Fz-9753"})";
constexpr char kLoginSettings[] =
    R"({"FullUrl":"http://fz:8096","UserName":"ann","Password":"pw-Fz-1357","DeviceId":"dev-Fz-9753"})";
constexpr char kStreamPrefix[] = "http://fz:8096/videos/301/stream?static=true&MediaSourceId=";
constexpr int32_t kOutLen = 1 << 16;
constexpr int32_t kStatuses[] = {200, 200, 200, 201, 204, 206, 302, 400, 401,
                                 403, 404, 405, 408, 410, 429, 500, 503, 599};

struct Route {
    const char *method;
    const char *url;
    const char *good;
};

const Route kRoutes[] = {
    {"GET", "http://fz:8096/UserViews",
     R"({"Items":[{"Id":"100","Name":"Movies","IsFolder":true}],"TotalRecordCount":1})"},
    {"GET", "http://fz:8096/Items?Ids=100&Fields=ParentId%2CSize%2CContainer",
     R"({"Items":[{"Id":"100","IsFolder":true}]})"},
    {"GET",
     "http://fz:8096/Items?ParentId=100&Fields=ParentId%2CProductionYear%2CSize%2CProviderIds"
     "%2CContainer%2CMediaSources&SortBy=SortName&SortOrder=Ascending&StartIndex=0&Limit=500",
     R"({"Items":[{"Id":"301","Name":"Film","ProductionYear":1999},{"Id":"302"}]})"},
    {"POST", "http://fz:8096/Users/AuthenticateByName",
     R"({"AccessToken":"tokFz8642","User":{"Id":"42"}})"},
    {"GET", "http://fz:8096/Users/42/Items/100", R"({"Id":"100","IsFolder":true})"},
    {"GET", "http://fz:8096/Items?Ids=301&Fields=ParentId%2CSize%2CContainer",
     R"({"Items":[{"Id":"301","Name":"Film"}]})"},
    {"GET", "http://fz:8096/Users/42/Items/301", R"({"Id":"301","Name":"Film"})"},
    {"GET", "http://fz:8096/Items/301/PlaybackInfo",
     R"({"MediaSources":[{"Id":"301","Size":7,"Container":"mkv"}]})"},
    {"POST", "http://fz:8096/Items/301/PlaybackInfo",
     R"({"MediaSources":[{"Id":"301","Size":7,"Container":"mkv"}]})"},
    {"GET", "http://fz:8096/System/Info/Public", R"({"Id":"abc","Version":"10.9.0"})"},
    {"GET", "http://fz:8096/System/Info", "{}"},
};
constexpr size_t kRouteCount = sizeof kRoutes / sizeof kRoutes[0];
// Beyond the routes: the fuzzed text as the entry of a stream request, or as a folder id.
constexpr size_t kAsEntry = kRouteCount;
constexpr size_t kAsFolder = kRouteCount + 1;
constexpr size_t kLoginRoute = 3;

enum class Op { kList, kStream, kValidate };

// The secrets a request knows: those of its settings, and its session's token when it has one
// ("" when unknown; validation opens no session).
void check_no_secret(std::string_view text, bool login, std::string_view token) {
    const std::string_view mine[] = {login ? kPassword : kKey, kDevice, token};
    for (std::string_view s : mine)
        fuzz::check(s.empty() || text.find(s) == std::string_view::npos, "no secret in a message");
}

// token: the session's token, or "" when the fuzzed login answer chose it.
void check_stream(yyjson_val *root, const std::string &token) {
    const std::string_view url = fuzz::str_member(root, "url");
    fuzz::check(url.rfind(kStreamPrefix, 0) == 0, "a stream URL of the item");
    const std::string tail = "&api_key=" + token;
    fuzz::check(token.empty() ? url.find("&api_key=") != std::string_view::npos
                              : url.size() > tail.size() &&
                                    url.compare(url.size() - tail.size(), tail.size(), tail) == 0,
                "the URL ends in the session's token");
    yyjson_val *headers = yyjson_obj_get(root, "headers");
    const std::string_view auth = fuzz::str_member(headers, "Authorization");
    fuzz::check(auth.rfind("MediaBrowser ", 0) == 0, "an Authorization header");
    fuzz::check(auth.find("Token=\"" + token) != std::string_view::npos,
                "the header carries the token");
}

void one(Op op, bool login, const char *arg, const std::string &token) {
    const char *settings = login ? kLoginSettings : kKeySettings;
    std::string out(kOutLen, '\0');
    int32_t rc = 0;
    switch (op) {
        case Op::kList:
            rc = kojelly_list(settings, arg, out.data(), kOutLen);
            break;
        case Op::kStream:
            rc = kojelly_stream_url(settings, arg, out.data(), kOutLen);
            break;
        case Op::kValidate:
            rc = kojelly_validate(settings, out.data(), kOutLen);
            break;
    }
    const std::string_view text = out.c_str();
    const std::string_view result = kojelly_result_json();
    const std::string_view error = kojelly_last_error();
    fuzz::check(rc == 0 || rc == -1 || rc == -2 || rc == -3 || rc == -4 || rc == -5 || rc == -6 ||
                    rc == -8 || rc == -9,
                "a library code");
    const std::string_view session = op == Op::kValidate ? std::string_view() : token;
    check_no_secret(error, login, session);
    if (rc == -9) {
        fuzz::check(text.empty() && error == "output buffer too small", "too small");
        return;
    }
    if (rc != 0) {
        check_no_secret(text, login, session);
        const json_doc::Doc doc = json_doc::read(text);
        yyjson_val *e = yyjson_obj_get(doc ? yyjson_doc_get_root(doc.get()) : nullptr, "error");
        fuzz::check(yyjson_is_str(e), "a failure writes the error object");
        fuzz::check(std::string_view(yyjson_get_str(e), yyjson_get_len(e)) == error,
                    "which the error slot repeats");
        fuzz::check(result.empty(), "no result after a failure");
        return;
    }
    fuzz::check(error.empty() && result == text, "a success is in the buffer and the slot");
    const json_doc::Doc doc = json_doc::read(text);
    fuzz::check(doc != nullptr, "an answer is valid JSON");
    yyjson_val *root = doc ? yyjson_doc_get_root(doc.get()) : nullptr;
    if (op == Op::kStream) check_stream(root, token);
    if (op == Op::kList) {
        size_t i;
        size_t n;
        yyjson_val *entry;
        yyjson_val *items = yyjson_obj_get(root, "items");
        fuzz::check(yyjson_is_arr(items), "a listing");
        yyjson_arr_foreach(items, i, n, entry) {
            const std::string_view id = fuzz::str_member(entry, "id");
            fuzz::check(!id.empty() && fuzz::str_member(entry, "path") == id,
                        "an entry names its item");
            fuzz::check(kojelly_id_ok(std::string(id).c_str()), "by an id of an id form");
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 2) return 0;
    const size_t chosen = data[0] % (kRouteCount + 2);
    const int32_t status = kStatuses[data[1] % (sizeof kStatuses / sizeof kStatuses[0])];
    const std::string body = fuzz::text_of(data + 2, size - 2);

    (void)kojelly_use_fake();
    kojelly_fake_reset();
    kojelly_forget_tokens();
    for (size_t i = 0; i < kRouteCount; ++i) {
        const Route &r = kRoutes[i];
        const bool fuzzed = i == chosen;
        fuzz::check(kojelly_fake_set(r.method, r.url, fuzzed ? status : 200,
                                     fuzzed ? body.c_str() : r.good) == 0,
                    "a route");
    }
    const char *entry = chosen == kAsEntry ? body.c_str() : R"({"id":"301"})";
    const char *folder = chosen == kAsFolder ? body.c_str() : "100";
    for (const bool login : {false, true}) {
        const std::string token = !login ? kKey : chosen == kLoginRoute ? "" : kToken;
        one(Op::kValidate, login, nullptr, token);
        one(Op::kList, login, "", token);
        one(Op::kList, login, folder, token);
        one(Op::kStream, login, entry, token);
        one(Op::kStream, login, R"("301")", token);
    }
    return 0;
}
