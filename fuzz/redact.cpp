// Redaction. The input is split at its first four line feeds: four secrets (password, API key,
// device id, session token), then the text. Three properties are held:
//  - URL redaction: behind every "?" or "&" that starts a credential parameter the output holds
//    "***" and nothing more of the value; in a text without "@", a value made of letters and
//    digits that occurs only as such a value never reaches the output; a text that starts with
//    a scheme keeps no user information in its authority.
//  - Scrubbing: no secret of 4 bytes or more is left in a message (secrets that themselves hold
//    "*" are left out of this check: masking one secret may spell another that holds "***"), and
//    the message never grows.
//  - Body line: at most 160 printable ASCII bytes, a prefix of the first line of the body with
//    every other byte turned into a space.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.hpp"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_redact.hpp"

namespace {

constexpr std::string_view kKeys[] = {
    "api_key=", "x-emby-token=", "apikey=", "accesstoken=", "pw=", "password="};
constexpr size_t kMessageSize = 768;
constexpr size_t kMaxLine = 160;
constexpr size_t kMinSecret = 4;

bool starts_nocase(std::string_view text, size_t at, std::string_view key) {
    if (text.size() - at < key.size()) return false;
    for (size_t i = 0; i < key.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(text[at + i])) != key[i]) return false;
    }
    return true;
}

// The key that starts at `at`, or "".
std::string_view key_at(std::string_view text, size_t at) {
    for (std::string_view k : kKeys) {
        if (starts_nocase(text, at, k)) return k;
    }
    return {};
}

// The spans of credential values in a text, as the redaction walk finds them: a key right
// behind "?" or "&", its value running to the next "&" or "#".
struct Span {
    size_t start;
    size_t end;
};
std::vector<Span> value_spans(std::string_view text) {
    std::vector<Span> spans;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '?' && text[i] != '&') continue;
        const std::string_view k = key_at(text, i + 1);
        if (k.empty()) continue;
        const size_t start = i + 1 + k.size();
        const size_t end = std::min(text.find_first_of("&#", start), text.size());
        spans.push_back({start, end});
        i = end - 1;
    }
    return spans;
}

bool alnum_only(std::string_view v) {
    return std::all_of(v.begin(), v.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

// True when every occurrence of v in text lies inside one of the spans.
bool only_in_spans(std::string_view text, std::string_view v, const std::vector<Span> &spans) {
    for (size_t at = text.find(v); at != std::string_view::npos; at = text.find(v, at + 1)) {
        const bool inside = std::any_of(spans.begin(), spans.end(), [&](const Span &s) {
            return at >= s.start && at + v.size() <= s.end;
        });
        if (!inside) return false;
    }
    return true;
}

void check_redaction(std::string_view text) {
    const std::string input(text);
    std::string out(2 * input.size() + 16, '\0');
    kojelly_redact_into(input.c_str(), out.data(), out.size());
    const std::string_view red = out.c_str();

    // Every credential key behind "?" or "&" in the output carries "***" and nothing else.
    for (size_t i = 0; i < red.size(); ++i) {
        if (red[i] != '?' && red[i] != '&') continue;
        const std::string_view k = key_at(red, i + 1);
        if (k.empty()) continue;
        const size_t v = i + 1 + k.size();
        fuzz::check(red.substr(v, 3) == "***", "a credential value is masked");
        fuzz::check(v + 3 == red.size() || red[v + 3] == '&' || red[v + 3] == '#',
                    "nothing of the value follows the mask");
    }

    // Without an "@" no user information is skipped anywhere, so the spans above are exactly
    // the parameters the redaction walk sees.
    const std::vector<Span> spans =
        text.find('@') == std::string_view::npos ? value_spans(text) : std::vector<Span>();
    for (const Span &s : spans) {
        const std::string_view v = text.substr(s.start, s.end - s.start);
        if (v.size() < kMinSecret || !alnum_only(v) || !only_in_spans(text, v, spans)) continue;
        fuzz::check(red.find(v) == std::string_view::npos, "a credential value never leaks");
    }

    // A text that starts with a scheme loses the user information of its authority: the scheme
    // is followed at once by what follows the authority's last "@", copied as it stands up to
    // the first parameter or the next URL.
    const size_t sep = text.find("://");
    const bool scheme =
        sep != std::string_view::npos && sep > 0 &&
        std::isalpha(static_cast<unsigned char>(text[0])) &&
        std::all_of(text.begin(), text.begin() + sep, [](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
        });
    if (scheme) {
        const size_t auth_start = sep + 3;
        const size_t auth_end = std::min(text.find_first_of("/?#", auth_start), text.size());
        const size_t at = text.substr(0, auth_end).rfind('@');
        const size_t host = at == std::string_view::npos || at < auth_start ? auth_start : at + 1;
        // A further "://" starts a URL of its own, redacted by the same rule.
        const size_t kept_end = std::min(text.find_first_of("?&", host), text.find("://", host));
        const std::string_view kept = text.substr(host, kept_end - host);
        fuzz::check(red.substr(0, auth_start) == text.substr(0, auth_start) &&
                        red.substr(auth_start, kept.size()) == kept,
                    "the scheme, then the host: no user information");
    }
}

void check_scrub(const std::vector<std::string> &secrets, std::string_view text) {
    std::string msg(text.substr(0, kMessageSize - 1));
    const size_t before = msg.size();
    std::vector<char> buf(msg.begin(), msg.end());
    buf.push_back('\0');
    kojelly_cfg cfg{};
    cfg.password = const_cast<char *>(secrets[0].c_str());
    cfg.api_key = const_cast<char *>(secrets[1].c_str());
    cfg.device_id = const_cast<char *>(secrets[2].c_str());
    kojelly_scrub(buf.data(), &cfg, secrets[3].c_str());
    const std::string_view after = buf.data();
    fuzz::check(after.size() <= before, "a message never grows");
    for (const std::string &s : secrets) {
        if (s.size() < kMinSecret || s.find('*') != std::string::npos) continue;
        fuzz::check(after.find(s) == std::string_view::npos, "no secret is left in a message");
    }
}

void check_body_line(std::string_view text) {
    const std::string body(text);
    char line[200];
    kojelly_body_line(body.c_str(), line, sizeof line);
    const std::string_view got = line;
    fuzz::check(got.size() <= kMaxLine, "at most 160 bytes");
    const size_t first = body.find_first_not_of("\r\n");
    const std::string_view rest = first == std::string::npos ? "" : text.substr(first);
    const size_t line_len = std::min(rest.find_first_of("\r\n"), rest.size());
    fuzz::check(got.size() == std::min(line_len, kMaxLine), "the first line, cut at 160 bytes");
    for (size_t i = 0; i < got.size(); ++i) {
        const auto b = static_cast<unsigned char>(rest[i]);
        fuzz::check(rest[i] != '\r' && rest[i] != '\n', "only the first line");
        const char want = b < 0x20 || b >= 0x7F ? ' ' : rest[i];
        fuzz::check(got[i] == want, "printable bytes kept, every other byte a space");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string input = fuzz::text_of(data, size);
    std::vector<std::string> secrets;
    size_t at = 0;
    while (secrets.size() < 4) {
        const size_t nl = input.find('\n', at);
        if (nl == std::string::npos) break;
        secrets.push_back(input.substr(at, nl - at));
        at = nl + 1;
    }
    const bool split = secrets.size() == 4;
    secrets.resize(4);
    const std::string_view text = std::string_view(input).substr(split ? at : 0);

    check_redaction(input);
    check_redaction(text);
    check_scrub(secrets, text);
    check_body_line(text);
    return 0;
}
