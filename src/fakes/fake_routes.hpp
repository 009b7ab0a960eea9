// The route table that both fakes keep: a heap array grown by doubling, each route owning copies
// of its method and URL. Header-only, because the two fakes live in different libraries.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "util/kojelly_owned.hpp"

namespace kojelly::fake {

// A heap copy of text, or NULL when memory runs out.
inline char *copy_text(const char *text) {
    const size_t n = std::strlen(text) + 1;
    char *copy = static_cast<char *>(std::malloc(n));
    if (copy) std::memcpy(copy, text, n);
    return copy;
}

// Appends a value-initialised route that owns copies of method and url, growing the table from
// first slots by doubling; NULL when memory runs out, the table then unchanged. Route needs
// members `method` and `url`. The pointer is valid until the table next grows.
template <typename Route>
Route *append_route(Route *&table, size_t &count, size_t &cap, size_t first, const char *method,
                    const char *url) {
    if (count == cap) {
        const size_t grown = cap ? cap * 2 : first;
        if (grown > SIZE_MAX / sizeof(Route)) return nullptr;
        void *p = std::realloc(table, grown * sizeof(Route));
        if (!p) return nullptr;
        table = static_cast<Route *>(p);
        cap = grown;
    }
    Malloced<char> m(copy_text(method));
    Malloced<char> u(copy_text(url));
    if (!m || !u) return nullptr;
    Route &r = table[count++];
    r = Route{};
    r.method = m.release();
    r.url = u.release();
    return &r;
}

}  // namespace kojelly::fake
