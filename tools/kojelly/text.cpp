// Text helpers of the kojelly tool: ASCII folding, JSON strings, terminal-safe text, human units.
#include "text.hpp"

#include <array>
#include <cstdio>

namespace kojelly::cli {
namespace {

constexpr std::size_t kMaxUtf8Len = 4;
constexpr char kCaseBit = 'a' - 'A';
constexpr std::uint32_t kFirstC1 = 0x80;
constexpr std::uint32_t kLastC1 = 0x9F;
// The bidirectional embeddings, overrides and isolates: a name holding one would make the
// terminal show the rest of its line, ids and sizes included, in another order than it is.
constexpr std::uint32_t kFirstBidiEmbedding = 0x202A;  // LEFT-TO-RIGHT EMBEDDING
constexpr std::uint32_t kLastBidiEmbedding = 0x202E;   // RIGHT-TO-LEFT OVERRIDE
constexpr std::uint32_t kFirstBidiIsolate = 0x2066;    // LEFT-TO-RIGHT ISOLATE
constexpr std::uint32_t kLastBidiIsolate = 0x2069;     // POP DIRECTIONAL ISOLATE
constexpr double kUnitStep = 1024.0;
// Rounding to one decimal must not print "1024.0 KiB"; past this the next unit is used.
constexpr double kRoundsUp = 1023.95;

// Length of the well-formed UTF-8 sequence at the start of text and its code point; 0 when the
// bytes there are not one (overlong forms and surrogates included).
std::size_t utf8_seq(std::string_view text, std::uint32_t &cp) {
    const auto b0 = static_cast<unsigned char>(text[0]);
    std::size_t len = 0;
    std::uint32_t min = 0;
    if (b0 < 0x80) {
        cp = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        len = 2, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        len = 3, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        len = 4, cp = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (len > text.size() || len > kMaxUtf8Len) return 0;
    for (std::size_t i = 1; i < len; ++i) {
        const auto b = static_cast<unsigned char>(text[i]);
        if ((b & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
    return len;
}

char fold(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c + kCaseBit) : c;
}

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

}  // namespace

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

std::string lower(std::string_view text) {
    std::string out(text);
    for (char &c : out) c = fold(c);
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

std::vector<std::string> split(std::string_view text, char sep) {
    std::vector<std::string> pieces;
    while (true) {
        const auto at = text.find(sep);
        pieces.emplace_back(text.substr(0, at));
        if (at == std::string_view::npos) break;
        text.remove_prefix(at + 1);
    }
    return pieces;
}

std::string hex128(std::uint64_t hi, std::uint64_t lo) {
    std::array<char, 33> text{};
    std::snprintf(text.data(), text.size(), "%016llx%016llx", static_cast<unsigned long long>(hi),
                  static_cast<unsigned long long>(lo));
    return text.data();
}

void append_json_string(std::string &out, std::string_view text) {
    out += '"';
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (b < 0x20) {
                    std::array<char, 8> esc{};
                    std::snprintf(esc.data(), esc.size(), "\\u%04x", b);
                    out += esc.data();
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

std::string json_string(std::string_view text) {
    std::string out;
    append_json_string(out, text);
    return out;
}

std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        std::uint32_t cp = 0;
        const std::size_t len = utf8_seq(text, cp);
        if (len == 0) {
            out += '?';
            text.remove_prefix(1);
            continue;
        }
        const bool control = cp < 0x20 || cp == 0x7F || (cp >= kFirstC1 && cp <= kLastC1) ||
                             (cp >= kFirstBidiEmbedding && cp <= kLastBidiEmbedding) ||
                             (cp >= kFirstBidiIsolate && cp <= kLastBidiIsolate);
        if (control) {
            out += '?';
        } else {
            out.append(text.substr(0, len));
        }
        text.remove_prefix(len);
    }
    return out;
}

std::size_t display_width(std::string_view text) {
    std::size_t width = 0;
    for (const char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
    }
    return width;
}

std::string fit(std::string_view text, std::size_t width) {
    if (display_width(text) <= width) return std::string(text);
    if (width == 0) return {};
    // Keep width - 1 characters and the ellipsis; cut only at a character boundary.
    std::size_t kept = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const bool starts_char = (static_cast<unsigned char>(text[pos]) & 0xC0) != 0x80;
        if (starts_char && kept == width - 1) break;
        if (starts_char) ++kept;
        ++pos;
    }
    return std::string(text.substr(0, pos)) + "…";
}

std::string human_size(std::int64_t bytes) {
    if (bytes < 0) return "-";
    static constexpr std::array<const char *, 7> kUnits = {"B",   "KiB", "MiB", "GiB",
                                                           "TiB", "PiB", "EiB"};
    std::array<char, 32> text{};
    if (bytes < static_cast<std::int64_t>(kUnitStep)) {
        std::snprintf(text.data(), text.size(), "%lld B", static_cast<long long>(bytes));
        return text.data();
    }
    double value = static_cast<double>(bytes);
    std::size_t unit = 0;
    while (unit + 1 < kUnits.size() && value >= kRoundsUp) {
        value /= kUnitStep;
        ++unit;
    }
    std::snprintf(text.data(), text.size(), "%.1f %s", value, kUnits[unit]);
    return text.data();
}

}  // namespace kojelly::cli
