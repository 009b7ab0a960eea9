// The byte ranges a file server answers (tessel_range_slice): the Range value is read, strictly
// as HTTP writes it or loosely, into what it asks for, and that is held against the file's size
// under the caller's rules.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "tessel_http.h"

namespace {

constexpr char kBytesUnit[] = "bytes=";
constexpr size_t kBytesUnitLen = sizeof kBytesUnit - 1;

// What a Range value asks for.
struct Ask {
    bool read = false;     // false: the value is ignored and the whole file is served
    bool several = false;  // more than one range
    bool suffix = false;   // the last `last` bytes
    bool open = true;      // from first to the end of the file; else first to last
    int64_t first = 0;
    int64_t last = 0;
};

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// The blanks that strtoimax skips.
bool is_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

const char *skip_blanks(const char *p) {
    while (is_blank(*p)) ++p;
    return p;
}

// Decimal digits at p, at least one, as a number that stops growing at INT64_MAX (a position
// that large lies past any file); p moves past them.
[[nodiscard]] bool read_digits(const char *&p, int64_t &value) {
    if (!is_digit(*p)) return false;
    value = 0;
    for (; is_digit(*p); ++p) {
        const int digit = *p - '0';
        value = value > (INT64_MAX - digit) / 10 ? INT64_MAX : value * 10 + digit;
    }
    return true;
}

// One range as HTTP writes it, "F-L", "F-" or "-N", at p; p moves past it.
[[nodiscard]] bool read_strict_range(const char *&p, Ask &ask) {
    if (*p == '-') {
        ++p;
        ask.suffix = true;
        return read_digits(p, ask.last);
    }
    if (!read_digits(p, ask.first) || *p != '-') return false;
    ++p;
    ask.open = !read_digits(p, ask.last);
    return true;
}

// A list of ranges separated by commas, blanks allowed around them; the first one is kept.
Ask read_strict(const char *ranges) {
    Ask ask;
    Ask later;
    const char *p = skip_blanks(ranges);
    if (!read_strict_range(p, ask)) return Ask{};
    for (p = skip_blanks(p); *p == ',';) {
        p = skip_blanks(p + 1);
        if (!read_strict_range(p, later)) return Ask{};
        p = skip_blanks(p);
        ask.several = true;
    }
    if (*p != '\0') return Ask{};
    ask.read = true;
    return ask;
}

// The first range, numbers read as strtoimax reads them; what follows it is passed over.
Ask read_loose(const char *ranges) {
    Ask ask;
    ask.read = true;
    ask.several = std::strchr(ranges, ',') != nullptr;
    const char *q = ranges;
    while (is_space(*q)) ++q;
    if (q[0] == '-' && is_digit(q[1])) {
        ask.suffix = true;
        ask.last = std::strtoimax(q + 1, nullptr, 10);
        return ask;
    }
    char *stop = nullptr;
    ask.first = std::strtoimax(ranges, &stop, 10);
    // Defensive: a negative number took the suffix path above.
    if (ask.first < 0) return Ask{};
    if (stop[0] == '-' && stop[1] != '\0') {
        ask.open = false;
        ask.last = std::strtoimax(stop + 1, nullptr, 10);
    }
    return ask;
}

}  // namespace

int32_t tessel_range_slice(const char *value, uint64_t size, uint32_t rules, uint64_t *first,
                           uint64_t *count) {
    auto answer = [&](int32_t status, uint64_t from, uint64_t n) {
        if (first != nullptr) *first = from;
        if (count != nullptr) *count = n;
        return status;
    };
    auto whole = [&] { return answer(200, 0, size); };
    auto none = [&] { return answer(416, 0, 0); };
    auto part = [&](int64_t from, int64_t last) {
        return answer(206, static_cast<uint64_t>(from), static_cast<uint64_t>(last - from + 1));
    };

    if (value == nullptr || std::strncmp(value, kBytesUnit, kBytesUnitLen) != 0) return whole();
    const char *ranges = value + kBytesUnitLen;
    const Ask ask = (rules & TESSEL_RANGE_LOOSE) != 0 ? read_loose(ranges) : read_strict(ranges);
    if (!ask.read || (ask.several && (rules & TESSEL_RANGE_FIRST_ONLY) == 0)) return whole();

    const auto s = static_cast<int64_t>(size);
    if (ask.suffix) {
        if (ask.last == 0) return (rules & TESSEL_RANGE_EMPTY_REFUSED) != 0 ? none() : whole();
        if (size == 0) return none();
        const int64_t take = ask.last < s ? ask.last : s;
        return part(s - take, s - 1);
    }
    // A range that ends before it starts is no range: the value is ignored.
    if (!ask.open && ask.last < ask.first) return whole();
    if (ask.first >= s) return none();
    if (ask.open) return part(ask.first, s - 1);
    if (ask.last >= s && (rules & TESSEL_RANGE_END_INSIDE) != 0) return none();
    return part(ask.first, ask.last < s ? ask.last : s - 1);
}
