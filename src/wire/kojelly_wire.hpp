// Reading the server's small answers: the login answer, the public server description and the
// playback information, the item id named by the host's entry JSON, and the mapping of an HTTP
// status to a status code. It also owns what every answer parser of the library shares: strict
// parsing into a document that RAII releases on every path, first-member lookup, and the member
// readers. Nothing here performs I/O or keeps state; every string handed out is a heap copy that
// the caller releases with free() or with the record's free operation.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "util/kojelly_json.hpp"
#include "util/kojelly_msg.hpp"

// The public description of one server. Every field is an owned heap text.
struct kojelly_info {
    char *id;           // "Id"; never NULL after a successful parse
    char *server_name;  // "ServerName", or NULL
    char *version;      // "Version"; never NULL after a successful parse
};

// What a stream needs from the first media source of a PlaybackInfo answer.
struct kojelly_playback {
    int32_t sources;  // elements of "MediaSources"; 0 when there is none
    int64_t size;     // "Size" of the first source; -1 when not given
    char *container;  // "Container" of the first source, or NULL
    char *source_id;  // "Id" of the first source (a string), or NULL
};

// The login answer: the token and the user id as owned texts. 0, or -5 with both NULL and err
// recorded. The token holds only ASCII letters, digits, '-', '.' and '_'; the user id passes
// kojelly_id_ok.
[[nodiscard]] int32_t kojelly_parse_auth(const char *body, uint64_t body_len, char **token,
                                         char **user_id, kojelly::Error &err);

// The /System/Info/Public answer. 0, or -5 with the record zeroed and err recorded.
[[nodiscard]] int32_t kojelly_parse_info(const char *body, uint64_t body_len, kojelly_info *info,
                                         kojelly::Error &err);
// Frees the texts and zeroes the record; harmless on a zeroed or freed record.
void kojelly_info_free(kojelly_info *info);

// The PlaybackInfo answer. The record starts as {0, -1, NULL, NULL} on every path. 0, or -5 with
// the record in that initial state and err recorded.
[[nodiscard]] int32_t kojelly_parse_playback(const char *body, uint64_t body_len,
                                             kojelly_playback *pb, kojelly::Error &err);
// Frees the texts and zeroes all four fields; harmless on a zeroed or freed record.
void kojelly_playback_free(kojelly_playback *pb);

// The item id named by an entry: a JSON string holding an id, or an object with a usable "id",
// "path", "Key", "key" or "backend_id" (tried in that order). 0 with an owned copy in *id, -2
// with *id NULL when there is none, -5 when memory runs out; err recorded on failure.
[[nodiscard]] int32_t kojelly_entry_id(const char *entry, char **id, kojelly::Error &err);

// The status code of an HTTP status; missing_code is what 404, 410 and 400 give.
[[nodiscard]] int kojelly_map_status(int status, int missing_code);

namespace kojelly {

using OwnedInfo = Owned<kojelly_info, kojelly_info_free>;
using OwnedPlayback = Owned<kojelly_playback, kojelly_playback_free>;
// The empty playback record: no sources, size unknown.
inline constexpr kojelly_playback kNoPlayback{0, -1, nullptr, nullptr};

// The code of an answer whose document is not an object: -5 with "out of memory" when the
// reader ran out of memory, else -5 with the text not_object.
[[nodiscard]] int32_t not_object(const JsonDoc &doc, const char *not_object, Error &err);

// The value of the first member of obj whose key is exactly key (bytes and length); NULL when
// there is none or obj is not an object.
yyjson_val *first_member(yyjson_val *obj, std::string_view key);

// The bytes of a non-empty JSON string; empty for anything else (an empty string included).
// Inline: the listing reads several strings of every item through it.
inline std::string_view str_view(yyjson_val *v) {
    if (!yyjson_is_str(v)) return {};
    return std::string_view(yyjson_get_str(v), yyjson_get_len(v));
}

// Room for the decimal text of any 64-bit integer and its NUL.
constexpr size_t kIdScratch = 24;
// The text of an id value without copying it: an integer printed as signed 64-bit decimal into
// scratch, a non-empty string as it stands; empty for every other type.
std::string_view id_view(yyjson_val *v, char (&scratch)[kIdScratch]);
// True when the whole text has an item-id form; an embedded NUL byte never passes, so an id can
// never be mistaken for the shorter id in front of that NUL.
bool id_usable(std::string_view id);

// Reals at or above this do not fit a signed 64-bit number once truncated.
inline constexpr double kRealLimit = 9.2e18;

// A number of a value: an integer as signed 64-bit (a large unsigned one wraps negative), a real
// in [0, 9.2e18) truncated toward zero, anything else dflt.
inline int64_t num_val(yyjson_val *v, int64_t dflt) {
    if (yyjson_is_uint(v)) return static_cast<int64_t>(yyjson_get_uint(v));
    if (yyjson_is_sint(v)) return yyjson_get_sint(v);
    if (yyjson_is_real(v)) {
        const double d = yyjson_get_real(v);
        return d >= 0 && d < kRealLimit ? static_cast<int64_t>(d) : dflt;
    }
    return dflt;
}

// Copies str_view(v) / id_view(v) into *out. 0 with *out NULL when the value does not count,
// 0 with an owned copy, or -1 when memory runs out (then *out is NULL).
[[nodiscard]] int copy_str(yyjson_val *v, char **out);
[[nodiscard]] int copy_id(yyjson_val *v, char **out);

// The member readers shared by the answer parsers: an owned copy of a non-empty string member;
// the same, or an integer member as decimal text; a member's number, or dflt. NULL stands for
// missing, of another type, or out of memory alike.
char *str_of(yyjson_val *obj, const char *key);
char *id_of(yyjson_val *obj, const char *key);
int64_t num_of(yyjson_val *obj, const char *key, int64_t dflt);

}  // namespace kojelly
