// Settings: the settings JSON of one call becomes a kojelly_cfg; the server address becomes one
// normalised base URL; the process device id is made here once and shared by every call.
#include "util/kojelly_cfg.hpp"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "http/tessel_http_util.hpp"
#include "util/kojelly_buf.hpp"
#include "util/kojelly_json.hpp"
#include "util/kojelly_msg.hpp"
#include "util/platform.hpp"

static_assert(sizeof(kojelly_cfg) == 6 * sizeof(char *) + 8);

namespace {

using kojelly::kOutOfMemory;

constexpr int kInvalid = -8;
constexpr size_t kMaxSettings = 1048576;
constexpr size_t kMaxBaseUrl = 2048;
constexpr size_t kMaxDeviceId = 64;
constexpr size_t kMaxPortDigits = 5;
constexpr unsigned kMaxPort = 65535;
constexpr std::string_view kDefaultPort = "8096";
constexpr std::string_view kRuntimeType = "JELLYFIN";
constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";
constexpr std::string_view kSchemeMark = "://";
constexpr size_t kDeviceIdSize = 32;

using HeapText = kojelly::Malloced<char>;

// The keys whose text may hold any byte but NUL, and the refusal of one that does.
struct NoNulKey {
    const char *key;
    const char *refusal;
};
constexpr NoNulKey kNoNulKeys[] = {
    {"UserName", "UserName contains a NUL byte"},
    {"Password", "Password contains a NUL byte"},
    {"ID", "ID contains a NUL byte"},
};

// The process device id. call_once publishes the finished text to every caller, so no reader
// can see it half written, and the computation runs at most once.
std::once_flag g_device_id_done;
char g_device_id[kDeviceIdSize];

void fail_msg(char *msg, size_t msg_size, const char *text) {
    kojelly::say(msg, msg_size, "%s", text);
}

bool is_blank(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

bool is_digit(unsigned char c) {
    return c >= '0' && c <= '9';
}

bool is_alnum(unsigned char c) {
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

bool starts_with_nocase(std::string_view s, std::string_view prefix) {
    if (s.size() < prefix.size()) return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        if (tessel::fold(static_cast<unsigned char>(s[i])) != static_cast<unsigned char>(prefix[i]))
            return false;
    }
    return true;
}

bool all_digits(std::string_view s) {
    for (unsigned char c : s)
        if (!is_digit(c)) return false;
    return true;
}

// Bytes that would end the address or smuggle markup into it wherever it is quoted.
bool url_byte_bad(unsigned char c) {
    return c <= 0x20 || c == '"' || c == '<' || c == '>' || c == '\\' || c == 0x7F;
}

bool host_byte_ok(unsigned char c) {
    return is_alnum(c) || c == '-' || c == '.' || c == '_' || c == '~' || c == '%' || c >= 0x80;
}

// Bytes that would break the quoted values of the Authorization header.
bool header_safe(std::string_view s) {
    for (unsigned char c : s)
        if (c < 0x20 || c == '"' || c == ',' || c == '\\' || c == 0x7F) return false;
    return true;
}

// A heap copy of exactly the bytes of s (which may hold NUL bytes); NULL when memory runs out.
char *dup_view(std::string_view s) {
    return kojelly_strndup(s.empty() ? "" : s.data(), s.size());
}

// The member's value as text over its full length (a JSON string may hold NUL bytes); nullopt
// where sval gives NULL.
std::optional<std::string_view> member(yyjson_val *obj, const char *key, char scratch[32]) {
    const char *text = kojelly::sval(obj, key, scratch);
    if (!text) return std::nullopt;
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_str(v)) return std::string_view(text, yyjson_get_len(v));
    return std::string_view(text);
}

// The parts of a normalised URL "scheme://host[:port]path".
struct UrlParts {
    std::string_view head;  // scheme and host
    std::string_view port;  // without its ':'; empty when the URL has none
    std::string_view path;
};

UrlParts split_normalised(std::string_view url) {
    const size_t host = url.find(kSchemeMark) + kSchemeMark.size();
    size_t host_end;
    if (url[host] == '[') {
        host_end = url.find(']', host) + 1;
    } else {
        host_end = url.find_first_of(":/", host);
        if (host_end == std::string_view::npos) host_end = url.size();
    }
    UrlParts parts{url.substr(0, host_end), {}, {}};
    size_t path = host_end;
    if (host_end < url.size() && url[host_end] == ':') {
        path = url.find('/', host_end);
        if (path == std::string_view::npos) path = url.size();
        parts.port = url.substr(host_end + 1, path - host_end - 1);
    }
    parts.path = url.substr(path);
    return parts;
}

// Normalises an address; the text may hold NUL bytes, which count as control bytes. Returns
// NULL with *out set to a heap text, or the failure message with *out NULL.
const char *normalise(std::string_view text, char **out) {
    *out = nullptr;
    const std::string_view t = trim(text);
    if (t.size() > kMaxBaseUrl) return "FullUrl is longer than 2048 bytes";
    for (unsigned char c : t)
        if (url_byte_bad(c)) return "FullUrl contains a space or a control character";

    std::string_view scheme = kHttp, rest = t;
    if (starts_with_nocase(t, kHttp)) {
        rest = t.substr(kHttp.size());
    } else if (starts_with_nocase(t, kHttps)) {
        scheme = kHttps;
        rest = t.substr(kHttps.size());
    } else if (t.find(kSchemeMark) != std::string_view::npos) {
        return "FullUrl scheme is not http or https";
    }

    const size_t auth_end = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view auth = rest.substr(0, auth_end);
    std::string_view path = rest.substr(auth_end);
    if (auth.empty()) return "FullUrl has no host";
    if (const size_t at = auth.rfind('@'); at != std::string_view::npos) {
        auth.remove_prefix(at + 1);  // user information never reaches the base URL
    }
    if (auth.empty() || auth.front() == ':') return "FullUrl has no host";

    std::string_view host, port;
    bool has_port = false;
    if (auth.front() == '[') {
        const size_t close = auth.find(']');
        if (close == std::string_view::npos) return "FullUrl has an unterminated IPv6 literal";
        host = auth.substr(0, close + 1);
        if (close + 1 < auth.size()) {
            if (auth[close + 1] != ':') return "FullUrl host is malformed";
            has_port = true;
            port = auth.substr(close + 2);
        }
    } else {
        const size_t colon = auth.find(':');
        host = auth.substr(0, colon);
        for (unsigned char c : host)
            if (!host_byte_ok(c)) return "FullUrl host contains an invalid character";
        if (colon != std::string_view::npos) {
            has_port = true;
            port = auth.substr(colon + 1);
        }
    }
    if (has_port) {
        if (port.empty() || port.size() > kMaxPortDigits || !all_digits(port)) {
            return "FullUrl port is invalid";
        }
        unsigned value = 0;
        for (unsigned char c : port) value = value * 10 + (c - '0');
        if (value < 1 || value > kMaxPort) return "FullUrl port is out of range";
    }

    if (path.find_first_of("?#") != std::string_view::npos) {
        return "FullUrl must not carry a query or a fragment";
    }
    if (path.find('@') != std::string_view::npos) return "FullUrl path must not contain '@'";
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);

    kojelly::OwnedBuf b;
    if (kojelly_buf_add(b.get(), scheme.data(), scheme.size()) ||
        kojelly_buf_add(b.get(), host.data(), host.size()) ||
        (has_port &&
         (kojelly_buf_adds(b.get(), ":") || kojelly_buf_add(b.get(), port.data(), port.size()))) ||
        kojelly_buf_add(b.get(), path.data(), path.size())) {
        return kOutOfMemory;
    }
    *out = b.release().data;
    return nullptr;
}

// Puts `port` in place of the port of a normalised URL and normalises the result again.
const char *with_port(std::string_view url, std::string_view port, char **out) {
    *out = nullptr;
    const UrlParts parts = split_normalised(url);
    kojelly::OwnedBuf b;
    if (kojelly_buf_add(b.get(), parts.head.data(), parts.head.size()) ||
        kojelly_buf_adds(b.get(), ":") || kojelly_buf_add(b.get(), port.data(), port.size()) ||
        kojelly_buf_add(b.get(), parts.path.data(), parts.path.size())) {
        return kOutOfMemory;
    }
    return normalise(std::string_view(b->data, b->len), out);
}

bool selects_https(std::optional<std::string_view> v) {
    return v && (*v == "true" || *v == "True" || *v == "TRUE" || *v == "1");
}

// The address rules: "FullUrl" alone, or "ServerUrl"/"HostName" with scheme, "ServerPort" and
// the default port.
const char *base_url(yyjson_val *root, char **out) {
    *out = nullptr;
    char s_full[32], s_host[32], s_port[32], s_https[32];
    if (auto full = member(root, "FullUrl", s_full)) return normalise(*full, out);

    auto host = member(root, "ServerUrl", s_host);
    if (!host) host = member(root, "HostName", s_host);
    if (!host) return "FullUrl (or ServerUrl / HostName) is required";
    const std::string_view host_text = trim(*host);
    std::optional<std::string_view> port = member(root, "ServerPort", s_port);
    if (port) port = trim(*port);

    kojelly::OwnedBuf candidate;
    if (host_text.find(kSchemeMark) == std::string_view::npos) {
        const std::string_view scheme =
            selects_https(member(root, "UseHttps", s_https)) ? kHttps : kHttp;
        if (kojelly_buf_add(candidate.get(), scheme.data(), scheme.size())) return kOutOfMemory;
    }
    if (kojelly_buf_add(candidate.get(), host_text.data(), host_text.size())) return kOutOfMemory;

    char *first = nullptr;
    if (const char *why = normalise(std::string_view(candidate->data, candidate->len), &first)) {
        return why;
    }
    HeapText url(first);
    if (port) {
        // Only digits may stand where the port goes: anything else ("@host", "80/x") would be
        // read as part of the authority or path and silently change the server address.
        if (port->empty() || !all_digits(*port)) return "FullUrl port is invalid";
        return with_port(url.get(), *port, out);
    }
    if (split_normalised(url.get()).port.empty()) return with_port(url.get(), kDefaultPort, out);
    *out = url.release();
    return nullptr;
}

// "ParallelPages": a whole number from 1 to 16 after trimming; absent is 1.
bool take_parallel(std::optional<std::string_view> v, int32_t *lanes) {
    *lanes = 1;
    if (!v) return true;
    const std::string_view text = trim(*v);
    if (text.empty() || !all_digits(text)) return false;
    int32_t n = 0;
    for (const char c : text) {
        n = n * 10 + (c - '0');
        if (n > kojelly::kMaxParallelPages) return false;
    }
    if (n < 1 || n > kojelly::kMaxParallelPages) return false;
    *lanes = n;
    return true;
}

// Takes a trimmed optional text into *field; false when memory runs out.
bool take_trimmed(std::optional<std::string_view> v, char **field) {
    if (!v) return true;
    *field = dup_view(trim(*v));
    return *field != nullptr;
}

const char *parse(const char *settings, int need_credentials, kojelly_cfg *cfg) {
    if (!settings) return "settings are NULL";
    const size_t len = strnlen(settings, kMaxSettings + 1);
    if (len > kMaxSettings) return "settings are larger than 1 MiB";
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(settings, len);
    yyjson_val *root = doc.object();
    if (!root) return doc.out_of_memory() ? kOutOfMemory : "settings are not a JSON object";

    char scratch[32];
    if (auto rt = member(root, "RuntimeType", scratch); rt && !rt->empty() && *rt != kRuntimeType) {
        return "RuntimeType is not JELLYFIN";
    }

    if (const char *why = base_url(root, &cfg->base_url)) return why;

    // Every consumer reads these texts in C, up to the first NUL byte: a text holding one would
    // quietly become a shorter user name, password or id (and be trimmed wrongly), so it is
    // refused. The other keys refuse a NUL byte with their own checks.
    for (const auto &[key, refusal] : kNoNulKeys) {
        if (auto v = member(root, key, scratch); v && v->find('\0') != std::string_view::npos)
            return refusal;
    }

    if (!take_trimmed(member(root, "UserName", scratch), &cfg->user_name)) return kOutOfMemory;
    const auto password = member(root, "Password", scratch);
    cfg->password = dup_view(password ? *password : std::string_view());
    if (!cfg->password) return kOutOfMemory;
    // The key travels unescaped in the Authorization header and in stream URLs.
    const auto api_key = member(root, "APIKey", scratch);
    if (api_key && !header_safe(trim(*api_key))) return "APIKey carries a forbidden byte";
    if (!take_trimmed(api_key, &cfg->api_key)) return kOutOfMemory;
    if (!take_trimmed(member(root, "ID", scratch), &cfg->server_id)) return kOutOfMemory;

    const auto device_id = member(root, "DeviceId", scratch);
    if (device_id && !device_id->empty()) {
        if (device_id->size() > kMaxDeviceId) return "DeviceId is longer than 64 bytes";
        if (!header_safe(*device_id)) return "DeviceId carries a forbidden byte";
        cfg->device_id = dup_view(*device_id);
    } else {
        cfg->device_id = kojelly_strdup(kojelly_self_device_id());
    }
    if (!cfg->device_id) return kOutOfMemory;

    if (!take_parallel(member(root, "ParallelPages", scratch), &cfg->parallel_pages)) {
        return "ParallelPages is not a whole number from 1 to 16";
    }

    if (need_credentials && !cfg->api_key && !cfg->user_name) {
        return kojelly::kNoCredentials;
    }
    return nullptr;
}

void make_device_id() {
    const uint64_t t = static_cast<uint64_t>(platform::calendar_seconds());
    // Where the library sits in memory differs from process to process.
    const uint64_t a = reinterpret_cast<uintptr_t>(&g_device_id_done) ^
                       reinterpret_cast<uintptr_t>(&kojelly_self_device_id);
    const uint64_t s = t ^ a;
    uint32_t x = static_cast<uint32_t>(s) ^ static_cast<uint32_t>(s >> 32);
    for (int i = 0; i < 4; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
    }
    std::snprintf(g_device_id, sizeof g_device_id, "kojelly-%08" PRIx32, x);
}

}  // namespace

int kojelly_cfg_parse(const char *settings, int need_credentials, kojelly_cfg *cfg, char *msg,
                      size_t msg_size) {
    *cfg = kojelly_cfg{};
    if (const char *why = parse(settings, need_credentials, cfg)) {
        kojelly_cfg_free(cfg);
        *cfg = kojelly_cfg{};
        fail_msg(msg, msg_size, why);
        return kInvalid;
    }
    return 0;
}

void kojelly_cfg_free(kojelly_cfg *cfg) {
    if (!cfg) return;
    // The password and the API key are secrets: wiped before their memory goes back.
    kojelly_free_secret(cfg->password);
    kojelly_free_secret(cfg->api_key);
    cfg->password = nullptr;
    cfg->api_key = nullptr;
    for (char **field : {&cfg->base_url, &cfg->user_name, &cfg->server_id, &cfg->device_id}) {
        std::free(*field);
        *field = nullptr;
    }
}

char *kojelly_norm_base(const char *address, char *msg, size_t msg_size) {
    if (!address) {
        fail_msg(msg, msg_size, "FullUrl is empty");
        return nullptr;
    }
    char *url = nullptr;
    if (const char *why = normalise(address, &url)) fail_msg(msg, msg_size, why);
    return url;
}

const char *kojelly_self_device_id() {
    std::call_once(g_device_id_done, make_device_id);
    return g_device_id;
}

namespace kojelly {

char *trimdup(const char *text) {
    return text ? dup_view(trim(text)) : nullptr;
}

const char *sval(yyjson_val *obj, const char *key, char scratch[32]) {
    if (!yyjson_is_obj(obj) || yyjson_obj_size(obj) == 0) return nullptr;
    yyjson_val *v = yyjson_obj_get(obj, key);
    if (yyjson_is_str(v)) return yyjson_get_str(v);
    if (yyjson_is_sint(v)) {
        std::snprintf(scratch, 32, "%" PRId64, yyjson_get_sint(v));
        return scratch;
    }
    if (yyjson_is_uint(v)) {
        std::snprintf(scratch, 32, "%" PRIu64, yyjson_get_uint(v));
        return scratch;
    }
    if (yyjson_is_bool(v)) return yyjson_get_bool(v) ? "true" : "false";
    return nullptr;
}

}  // namespace kojelly
