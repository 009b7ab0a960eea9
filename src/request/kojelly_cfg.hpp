// Settings: turns the settings JSON of one host call into a kojelly_cfg (runtime type check,
// server address composed and normalised into one base URL, credentials, device id), and owns
// the process-wide default device id. Every failure is -8 with one message.
#pragma once

#include <yyjson.h>

#include <cstddef>
#include <cstdint>

#include "util/kojelly_msg.hpp"
#include "util/kojelly_owned.hpp"

// The parsed settings of one call. Each text field is an owned heap text or NULL.
struct kojelly_cfg {
    char *base_url;   // "http(s)://host[:port][/path]" without trailing slashes
    char *user_name;  // "UserName", trimmed
    char *password;   // "Password", untrimmed; "" when absent; never NULL after a parse
    char *api_key;    // "APIKey", trimmed
    char *server_id;  // "ID", trimmed
    char *device_id;  // "DeviceId", or a copy of the process device id; never NULL after a parse
    int32_t parallel_pages;  // "ParallelPages": folder pages fetched at once, 1 to 16; 1 if absent
};

// Parses settings into cfg (not NULL; zeroed first, empty again after a failure). 0, or -8 with
// err recorded. With need_credentials non-zero, settings without "APIKey" and "UserName" are
// refused. Safe on any number of threads.
[[nodiscard]] int32_t kojelly_cfg_parse(const char *settings, int need_credentials,
                                        kojelly_cfg *cfg, kojelly::Error &err);
// Frees the six texts and sets them to NULL; harmless on a zeroed or freed record.
void kojelly_cfg_free(kojelly_cfg *cfg);
// The normalised base URL of an address as a heap text, or NULL with -8 recorded in err.
char *kojelly_norm_base(const char *address, kojelly::Error &err);
// Masks in place, with "***", the settings' password, API key and device id (cfg may be NULL)
// and then the token (may be NULL). Secrets of 3 bytes or fewer are left alone.
void kojelly_scrub(char *msg, const kojelly_cfg *cfg, const char *token);
// The process device id "kojelly-%08x", computed once per process on first use; safe when
// several threads need it first at the same moment. The text lives as long as the process.
const char *kojelly_self_device_id();

namespace kojelly {

// The most folder pages a listing fetches at once ("ParallelPages").
inline constexpr int32_t kMaxParallelPages = 16;

// Why settings that name neither an API key nor a user cannot make a request that needs one.
inline constexpr char kNoCredentials[] = "APIKey or UserName is required";

// A heap copy without leading and trailing tab, LF, CR and space; NULL for NULL or no memory.
char *trimdup(const char *text);
// The member `key` of obj as text (string as is, integer as decimal in scratch, boolean as
// "true"/"false"); NULL for other types, a missing member, or obj not a non-empty object.
const char *sval(yyjson_val *obj, const char *key, char scratch[32]);

// A kojelly_cfg owned by one scope.
using OwnedCfg = Owned<kojelly_cfg, kojelly_cfg_free>;

}  // namespace kojelly
