// Redaction: URL redaction (user information and credential query values), scrubbing of a
// call's secrets out of a finished message, and the one-line reduction of a server answer.
#include "util/kojelly_redact.hpp"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "http/tessel_http_util.hpp"
#include "util/kojelly_buf.hpp"

namespace {

// Query keys whose values are credentials; each carries its '=' so that "pwd=" or "apikeys="
// do not match.
constexpr std::string_view kSecretKeys[] = {
    "api_key=", "x-emby-token=", "apikey=", "accesstoken=", "pw=", "password="};
constexpr std::string_view kMasked = "***";
constexpr std::string_view kSchemeMark = "://";
// Secrets this short would mask ordinary words of a message.
constexpr size_t kMinSecret = 4;
constexpr size_t kMaxBodyLine = 160;

bool is_alpha(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_scheme_byte(unsigned char c) {
    return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The length of the credential key that begins the parameter at s, or 0.
size_t secret_key_at(std::string_view s) {
    for (std::string_view key : kSecretKeys) {
        if (s.size() < key.size()) continue;
        bool same = true;
        for (size_t i = 0; i < key.size() && same; ++i)
            same = tessel::fold(static_cast<unsigned char>(s[i])) == key[i];
        if (same) return key.size();
    }
    return 0;
}

// True when the "://" at p closes a well-formed scheme: the run of scheme bytes before it (which
// starts the text or follows a byte that cannot belong to a scheme) is not empty and begins
// with a letter.
bool scheme_ends_at(std::string_view t, size_t p) {
    if (t.compare(p, kSchemeMark.size(), kSchemeMark) != 0) return false;
    size_t start = p;
    while (start > 0 && is_scheme_byte(t[start - 1])) --start;
    return start < p && is_alpha(t[start]);
}

// Builds the redacted text in b. Stops at the first failed append, so b then holds only text
// that was redacted in full.
void redact(std::string_view t, kojelly_buf *b) {
    size_t run = 0;  // start of the bytes still to be copied as they are
    auto copy_to = [&](size_t end) {
        const bool ok = kojelly_buf_add(b, t.data() + run, end - run) == 0;
        run = end;
        return ok;
    };
    size_t i = 0;
    while (i < t.size()) {
        const char c = t[i];
        if (c == ':' && scheme_ends_at(t, i)) {
            i += kSchemeMark.size();
            const size_t auth_end = std::min(t.find_first_of("/?#", i), t.size());
            const size_t at = t.substr(i, auth_end - i).rfind('@');
            if (at != std::string_view::npos) {
                if (!copy_to(i)) return;
                i = run = i + at + 1;  // user name and password vanish without a trace
            }
            continue;
        }
        ++i;
        if (c != '?' && c != '&') continue;
        if (const size_t key = secret_key_at(t.substr(i))) {
            if (!copy_to(i + key) || kojelly_buf_add(b, kMasked.data(), kMasked.size())) return;
            // A value runs to the next '&' or '#'; a '?' inside it is part of the value.
            i = std::min(t.find_first_of("&#", i + key), t.size());
            run = i;
        }
    }
    copy_to(t.size());
}

}  // namespace

void kojelly_redact_into(const char *text, char *out, uint64_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (!text) return;
    kojelly::OwnedBuf b;
    redact(text, b.get());
    // Only a cut is moved back to a character boundary; a text that fits is copied whole.
    const uint64_t n = b->len < size ? b->len : kojelly_utf8_prefix(b->data, size - 1);
    if (n) std::memcpy(out, b->data, n);
    out[n] = '\0';
}

void kojelly_body_line(const char *body, char *out, size_t size) {
    if (size == 0) return;
    out[0] = '\0';
    if (!body || size == 1) return;
    while (*body == '\r' || *body == '\n') ++body;
    const size_t limit = std::min(kMaxBodyLine, size - 1);
    size_t n = 0;
    for (; n < limit && body[n] && body[n] != '\r' && body[n] != '\n'; ++n) {
        const unsigned char c = body[n];
        out[n] = (c < 0x20 || c >= 0x7F) ? ' ' : static_cast<char>(c);
    }
    out[n] = '\0';
}

namespace kojelly {

void mask(char *msg, const char *secret) {
    if (!msg || !secret) return;
    const size_t len = std::strlen(secret);
    if (len < kMinSecret) return;
    // Each replacement shrinks the message by at least one byte, so the loop ends. The search
    // restarts from the start because "***" may join the text behind it into a new occurrence.
    while (char *hit = std::strstr(msg, secret)) {
        std::memcpy(hit, kMasked.data(), kMasked.size());
        char *tail = hit + len;
        std::memmove(hit + kMasked.size(), tail, std::strlen(tail) + 1);
    }
}

}  // namespace kojelly
