// Settings: the settings JSON of one call becomes a kojelly_cfg; the server address becomes one
// normalised base URL; the process device id is made here once and shared by every call.
#include "request/kojelly_cfg.hpp"

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
#include "util/kojelly_redact.hpp"
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

// Every failure of the settings is -8 with its one message.
int32_t invalid(kojelly::Error &err, const char *why) {
    return err.fail(kInvalid, "%s", why);
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

// Normalises an address; the text may hold NUL bytes, which count as control bytes. 0 with
// *out set to a heap text, or -8 with *out NULL and err recorded.
int32_t normalise(std::string_view text, char **out, kojelly::Error &err) {
    *out = nullptr;
    const std::string_view t = trim(text);
    if (t.size() > kMaxBaseUrl) return invalid(err, "FullUrl is longer than 2048 bytes");
    for (unsigned char c : t)
        if (url_byte_bad(c)) return invalid(err, "FullUrl contains a space or a control character");

    std::string_view scheme = kHttp, rest = t;
    if (tessel::fold_starts(t, kHttp)) {
        rest = t.substr(kHttp.size());
    } else if (tessel::fold_starts(t, kHttps)) {
        scheme = kHttps;
        rest = t.substr(kHttps.size());
    } else if (t.find(kSchemeMark) != std::string_view::npos) {
        return invalid(err, "FullUrl scheme is not http or https");
    }

    const size_t auth_end = std::min(rest.find_first_of("/?#"), rest.size());
    std::string_view auth = rest.substr(0, auth_end);
    std::string_view path = rest.substr(auth_end);
    if (auth.empty()) return invalid(err, "FullUrl has no host");
    if (const size_t at = auth.rfind('@'); at != std::string_view::npos) {
        auth.remove_prefix(at + 1);  // user information never reaches the base URL
    }
    if (auth.empty() || auth.front() == ':') return invalid(err, "FullUrl has no host");

    std::string_view host, port;
    bool has_port = false;
    if (auth.front() == '[') {
        const size_t close = auth.find(']');
        if (close == std::string_view::npos)
            return invalid(err, "FullUrl has an unterminated IPv6 literal");
        host = auth.substr(0, close + 1);
        if (close + 1 < auth.size()) {
            if (auth[close + 1] != ':') return invalid(err, "FullUrl host is malformed");
            has_port = true;
            port = auth.substr(close + 2);
        }
    } else {
        const size_t colon = auth.find(':');
        host = auth.substr(0, colon);
        for (unsigned char c : host)
            if (!host_byte_ok(c)) return invalid(err, "FullUrl host contains an invalid character");
        if (colon != std::string_view::npos) {
            has_port = true;
            port = auth.substr(colon + 1);
        }
    }
    if (has_port) {
        if (port.empty() || port.size() > kMaxPortDigits || !all_digits(port)) {
            return invalid(err, "FullUrl port is invalid");
        }
        unsigned value = 0;
        for (unsigned char c : port) value = value * 10 + (c - '0');
        if (value < 1 || value > kMaxPort) return invalid(err, "FullUrl port is out of range");
    }

    if (path.find_first_of("?#") != std::string_view::npos) {
        return invalid(err, "FullUrl must not carry a query or a fragment");
    }
    if (path.find('@') != std::string_view::npos)
        return invalid(err, "FullUrl path must not contain '@'");
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);

    kojelly::OwnedBuf b;
    if (kojelly_buf_add(b.get(), scheme.data(), scheme.size()) ||
        kojelly_buf_add(b.get(), host.data(), host.size()) ||
        (has_port &&
         (kojelly_buf_adds(b.get(), ":") || kojelly_buf_add(b.get(), port.data(), port.size()))) ||
        kojelly_buf_add(b.get(), path.data(), path.size())) {
        return invalid(err, kOutOfMemory);
    }
    *out = b.release().data;
    return 0;
}

// Puts `port` in place of the port of a normalised URL and normalises the result again.
int32_t with_port(std::string_view url, std::string_view port, char **out, kojelly::Error &err) {
    *out = nullptr;
    const UrlParts parts = split_normalised(url);
    kojelly::OwnedBuf b;
    if (kojelly_buf_add(b.get(), parts.head.data(), parts.head.size()) ||
        kojelly_buf_adds(b.get(), ":") || kojelly_buf_add(b.get(), port.data(), port.size()) ||
        kojelly_buf_add(b.get(), parts.path.data(), parts.path.size())) {
        return invalid(err, kOutOfMemory);
    }
    return normalise(std::string_view(b->data, b->len), out, err);
}

bool selects_https(std::optional<std::string_view> v) {
    return v && (*v == "true" || *v == "True" || *v == "TRUE" || *v == "1");
}

// The address rules: "FullUrl" alone, or "ServerUrl"/"HostName" with scheme, "ServerPort" and
// the default port.
int32_t base_url(yyjson_val *root, char **out, kojelly::Error &err) {
    *out = nullptr;
    char s_full[32], s_host[32], s_port[32], s_https[32];
    if (auto full = member(root, "FullUrl", s_full)) return normalise(*full, out, err);

    auto host = member(root, "ServerUrl", s_host);
    if (!host) host = member(root, "HostName", s_host);
    if (!host) return invalid(err, "FullUrl (or ServerUrl / HostName) is required");
    const std::string_view host_text = trim(*host);
    std::optional<std::string_view> port = member(root, "ServerPort", s_port);
    if (port) port = trim(*port);

    kojelly::OwnedBuf candidate;
    if (host_text.find(kSchemeMark) == std::string_view::npos) {
        const std::string_view scheme =
            selects_https(member(root, "UseHttps", s_https)) ? kHttps : kHttp;
        if (kojelly_buf_add(candidate.get(), scheme.data(), scheme.size()))
            return invalid(err, kOutOfMemory);
    }
    if (kojelly_buf_add(candidate.get(), host_text.data(), host_text.size()))
        return invalid(err, kOutOfMemory);

    char *first = nullptr;
    if (const int32_t code =
            normalise(std::string_view(candidate->data, candidate->len), &first, err))
        return code;
    HeapText url(first);
    if (port) {
        // Only digits may stand where the port goes: anything else ("@host", "80/x") would be
        // read as part of the authority or path and silently change the server address.
        if (port->empty() || !all_digits(*port)) return invalid(err, "FullUrl port is invalid");
        return with_port(url.get(), *port, out, err);
    }
    if (split_normalised(url.get()).port.empty())
        return with_port(url.get(), kDefaultPort, out, err);
    *out = url.release();
    return 0;
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

int32_t parse(const char *settings, int need_credentials, kojelly_cfg *cfg, kojelly::Error &err) {
    if (!settings) return invalid(err, "settings are NULL");
    const size_t len = strnlen(settings, kMaxSettings + 1);
    if (len > kMaxSettings) return invalid(err, "settings are larger than 1 MiB");
    const kojelly::JsonDoc doc = kojelly::JsonDoc::read(settings, len);
    yyjson_val *root = doc.object();
    if (!root)
        return invalid(err, doc.out_of_memory() ? kOutOfMemory : "settings are not a JSON object");

    char scratch[32];
    if (auto rt = member(root, "RuntimeType", scratch); rt && !rt->empty() && *rt != kRuntimeType) {
        return invalid(err, "RuntimeType is not JELLYFIN");
    }

    if (const int32_t code = base_url(root, &cfg->base_url, err)) return code;

    // Every consumer reads these texts in C, up to the first NUL byte: a text holding one would
    // quietly become a shorter user name, password or id (and be trimmed wrongly), so it is
    // refused. The other keys refuse a NUL byte with their own checks.
    for (const auto &[key, refusal] : kNoNulKeys) {
        if (auto v = member(root, key, scratch); v && v->find('\0') != std::string_view::npos)
            return invalid(err, refusal);
    }

    if (!take_trimmed(member(root, "UserName", scratch), &cfg->user_name))
        return invalid(err, kOutOfMemory);
    const auto password = member(root, "Password", scratch);
    cfg->password = dup_view(password ? *password : std::string_view());
    if (!cfg->password) return invalid(err, kOutOfMemory);
    // The key travels unescaped in the Authorization header and in stream URLs.
    const auto api_key = member(root, "APIKey", scratch);
    if (api_key && !header_safe(trim(*api_key)))
        return invalid(err, "APIKey carries a forbidden byte");
    if (!take_trimmed(api_key, &cfg->api_key)) return invalid(err, kOutOfMemory);
    if (!take_trimmed(member(root, "ID", scratch), &cfg->server_id))
        return invalid(err, kOutOfMemory);

    const auto device_id = member(root, "DeviceId", scratch);
    if (device_id && !device_id->empty()) {
        if (device_id->size() > kMaxDeviceId)
            return invalid(err, "DeviceId is longer than 64 bytes");
        if (!header_safe(*device_id)) return invalid(err, "DeviceId carries a forbidden byte");
        cfg->device_id = dup_view(*device_id);
    } else {
        cfg->device_id = kojelly_strdup(kojelly_self_device_id());
    }
    if (!cfg->device_id) return invalid(err, kOutOfMemory);

    if (!take_parallel(member(root, "ParallelPages", scratch), &cfg->parallel_pages)) {
        return invalid(err, "ParallelPages is not a whole number from 1 to 16");
    }

    if (need_credentials && !cfg->api_key && !cfg->user_name) {
        return invalid(err, kojelly::kNoCredentials);
    }
    return 0;
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

int32_t kojelly_cfg_parse(const char *settings, int need_credentials, kojelly_cfg *cfg,
                          kojelly::Error &err) {
    *cfg = kojelly_cfg{};
    if (const int32_t code = parse(settings, need_credentials, cfg, err)) {
        kojelly_cfg_free(cfg);
        *cfg = kojelly_cfg{};
        return code;
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

char *kojelly_norm_base(const char *address, kojelly::Error &err) {
    if (!address) {
        invalid(err, "FullUrl is empty");
        return nullptr;
    }
    char *url = nullptr;
    (void)normalise(address, &url, err);
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

void kojelly_scrub(char *msg, const kojelly_cfg *cfg, const char *token) {
    // The order is fixed: where one secret holds another, the one masked first decides what
    // is left of the other.
    if (cfg) {
        kojelly::mask(msg, cfg->password);
        kojelly::mask(msg, cfg->api_key);
        kojelly::mask(msg, cfg->device_id);
    }
    kojelly::mask(msg, token);
}
