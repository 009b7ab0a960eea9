// The small server answers, entry ids, status mapping and the shared member readers.
#include "wire/kojelly_wire.hpp"

#include <algorithm>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_msg.hpp"

static_assert(sizeof(kojelly_info) == 24);
static_assert(sizeof(kojelly_playback) == 32);
static_assert(offsetof(kojelly_playback, size) == 8);
static_assert(offsetof(kojelly_playback, container) == 16);
static_assert(offsetof(kojelly_playback, source_id) == 24);

namespace {

using kojelly::kOutOfMemory;

constexpr const char kAuthNotObject[] =
    "AuthenticateByName answered something that is not a JSON object";
constexpr const char kAuthMissing[] = "AuthenticateByName answer has no AccessToken / User.Id";
constexpr const char kAuthMalformed[] = "AuthenticateByName returned a malformed AccessToken";
constexpr const char kInfoNotObject[] =
    "System/Info/Public answered something that is not a JSON object";
constexpr const char kInfoMissing[] =
    "System/Info/Public has no Id / Version: not a Jellyfin/Emby server";
constexpr const char kPlaybackNotObject[] =
    "PlaybackInfo answered something that is not a JSON object";
constexpr const char kSourcesNotArray[] = "PlaybackInfo MediaSources is not an array";
constexpr const char kEntryNull[] = "entry is NULL";
constexpr const char kEntryNoId[] = "entry has no Emby item id (\"id\", \"path\" or \"Key\")";

// Entry members that may name the item, in the order they are tried.
constexpr std::string_view keys[] = {"id", "path", "Key", "key", "backend_id"};

using Text = kojelly::Malloced<char>;

bool token_byte(char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

Text dup(std::string_view s) {
    return Text(kojelly_strndup(s.data(), s.size()));
}

}  // namespace

namespace kojelly {

int32_t not_object(const JsonDoc &doc, const char *not_object, Error &err) {
    return err.fail(KOJELLY_EFAIL, "%s", doc.out_of_memory() ? kOutOfMemory : not_object);
}

yyjson_val *first_member(yyjson_val *obj, std::string_view key) {
    // yyjson_obj_getn scans from the first member and stops at the first exact match.
    return yyjson_obj_getn(obj, key.data(), key.size());
}

std::string_view id_view(yyjson_val *v, char (&scratch)[kIdScratch]) {
    long long n;
    if (yyjson_is_sint(v))
        n = yyjson_get_sint(v);
    else if (yyjson_is_uint(v))
        n = static_cast<int64_t>(yyjson_get_uint(v));
    else
        return str_view(v);
    const int len = std::snprintf(scratch, kIdScratch, "%lld", n);
    return std::string_view(scratch, static_cast<size_t>(len));
}

bool id_usable(std::string_view id) {
    // A NUL byte is none of the forms' characters.
    return id_form(id);
}

int copy_str(yyjson_val *v, char **out) {
    // Texts are read up to their first NUL: a string that an embedded NUL cuts to nothing is
    // as good as missing, rather than a present but empty text.
    std::string_view s = str_view(v);
    s = s.substr(0, s.find('\0'));
    *out = s.empty() ? nullptr : kojelly_strndup(s.data(), s.size());
    return s.empty() || *out ? 0 : -1;
}

int copy_id(yyjson_val *v, char **out) {
    char scratch[kIdScratch];
    const std::string_view s = id_view(v, scratch);
    *out = s.empty() ? nullptr : kojelly_strndup(s.data(), s.size());
    return s.empty() || *out ? 0 : -1;
}

char *str_of(yyjson_val *obj, const char *key) {
    char *out;
    return copy_str(first_member(obj, key), &out) ? nullptr : out;
}

char *id_of(yyjson_val *obj, const char *key) {
    char *out;
    return copy_id(first_member(obj, key), &out) ? nullptr : out;
}

int64_t num_of(yyjson_val *obj, const char *key, int64_t dflt) {
    return num_val(first_member(obj, key), dflt);
}

}  // namespace kojelly

using kojelly::first_member;

// A copy that fails is reported as "out of memory" rather than as a missing member: telling the
// host that a server is not a Jellyfin/Emby server, or that a login answer lacks its token, when
// only memory ran short would send it looking for the wrong fault.
int32_t kojelly_parse_auth(const char *body, uint64_t body_len, char **token, char **user_id,
                           kojelly::Error &err) {
    *token = nullptr;
    *user_id = nullptr;
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body, body_len);
    yyjson_val *root = doc.object();
    if (!root) return kojelly::not_object(doc, kAuthNotObject, err);
    const std::string_view tok = kojelly::str_view(first_member(root, "AccessToken"));
    char scratch[kojelly::kIdScratch];
    const std::string_view uid =
        kojelly::id_view(first_member(first_member(root, "User"), "Id"), scratch);
    if (tok.empty() || !kojelly::id_usable(uid)) {
        return err.fail(KOJELLY_EFAIL, "%s", kAuthMissing);
    }
    // The token goes unescaped into headers and URLs, so only a plain alphabet is let through;
    // the walk covers every byte, an embedded NUL included.
    if (!std::all_of(tok.begin(), tok.end(), token_byte)) {
        return err.fail(KOJELLY_EFAIL, "%s", kAuthMalformed);
    }
    Text t = dup(tok);
    Text u = dup(uid);
    if (!t || !u) return err.out_of_memory();
    *token = t.release();
    *user_id = u.release();
    return KOJELLY_OK;
}

int32_t kojelly_parse_info(const char *body, uint64_t body_len, kojelly_info *info,
                           kojelly::Error &err) {
    *info = kojelly_info{};
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body, body_len);
    yyjson_val *root = doc.object();
    if (!root) return kojelly::not_object(doc, kInfoNotObject, err);
    yyjson_val *id = first_member(root, "Id");
    yyjson_val *version = first_member(root, "Version");
    if (kojelly::copy_str(id, &info->id) ||
        kojelly::copy_str(first_member(root, "ServerName"), &info->server_name) ||
        kojelly::copy_str(version, &info->version)) {
        kojelly_info_free(info);
        return err.out_of_memory();
    }
    // A missing member, one of another type, and one that reads as empty all copy to NULL.
    if (!info->id || !info->version) {
        kojelly_info_free(info);
        return err.fail(KOJELLY_EFAIL, "%s", kInfoMissing);
    }
    return KOJELLY_OK;
}

void kojelly_info_free(kojelly_info *info) {
    std::free(info->id);
    std::free(info->server_name);
    std::free(info->version);
    *info = kojelly_info{};
}

int32_t kojelly_parse_playback(const char *body, uint64_t body_len, kojelly_playback *pb,
                               kojelly::Error &err) {
    constexpr kojelly_playback initial{0, -1, nullptr, nullptr};
    *pb = initial;
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(body, body_len);
    yyjson_val *root = doc.object();
    if (!root) return kojelly::not_object(doc, kPlaybackNotObject, err);
    yyjson_val *sources = first_member(root, "MediaSources");
    if (!sources) return KOJELLY_OK;
    if (!yyjson_is_arr(sources)) {
        return err.fail(KOJELLY_EFAIL, "%s", kSourcesNotArray);
    }
    pb->sources = static_cast<int32_t>(std::min<size_t>(yyjson_arr_size(sources), INT32_MAX));
    yyjson_val *first = yyjson_arr_get_first(sources);
    if (!yyjson_is_obj(first)) return KOJELLY_OK;
    const int64_t size = kojelly::num_of(first, "Size", -1);
    if (size >= -1) pb->size = size;
    if (kojelly::copy_str(first_member(first, "Container"), &pb->container) ||
        kojelly::copy_str(first_member(first, "Id"), &pb->source_id)) {
        kojelly_playback_free(pb);
        *pb = initial;
        return err.out_of_memory();
    }
    return KOJELLY_OK;
}

void kojelly_playback_free(kojelly_playback *pb) {
    std::free(pb->container);
    std::free(pb->source_id);
    *pb = kojelly_playback{};
}

int32_t kojelly_entry_id(const char *entry, char **id, kojelly::Error &err) {
    *id = nullptr;
    if (!entry) {
        return err.fail(KOJELLY_ENOTFOUND, "%s", kEntryNull);
    }
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(entry, std::strlen(entry));
    if (doc.out_of_memory()) return err.out_of_memory();
    yyjson_val *root = doc.root();
    std::string_view found;
    char scratch[kojelly::kIdScratch];
    if (yyjson_is_str(root)) {
        const std::string_view s = kojelly::str_view(root);
        if (kojelly::id_usable(s)) found = s;
    } else if (yyjson_is_obj(root)) {
        // A member that is present but unusable does not end the search.
        for (std::string_view key : keys) {
            const std::string_view s = kojelly::id_view(first_member(root, key), scratch);
            if (kojelly::id_usable(s)) {
                found = s;
                break;
            }
        }
    }
    if (found.empty()) {
        return err.fail(KOJELLY_ENOTFOUND, "%s", kEntryNoId);
    }
    // Not finding the item is -2; running out of memory is not the item's fault.
    *id = kojelly_strndup(found.data(), found.size());
    if (!*id) return err.out_of_memory();
    return KOJELLY_OK;
}

int kojelly_map_status(int status, int missing_code) {
    if (status >= 200 && status <= 299) return KOJELLY_OK;
    switch (status) {
        case 401:
        case 403:
            return KOJELLY_EAUTH;
        case 400:
        case 404:
        case 410:
            return missing_code;
        case 429:
            return KOJELLY_ETHROTTLED;
        case 408:
            return KOJELLY_ETRANSPORT;
        default:
            break;
    }
    // 0 means no status was received at all.
    if (status == 0 || status >= 500) return KOJELLY_ETRANSPORT;
    return KOJELLY_EFAIL;
}
