// The route table that both fakes keep: a heap array grown by doubling, each route owning copies
// of its method and URL. Header-only, because the two fakes live in different libraries; it uses
// only the support library, which both link.
#pragma once

#include <cstdint>
#include <cstdlib>

#include "http/tessel_owned.hpp"
#include "tessel_http.h"

namespace tessel::fake {

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
    Malloced<char> m(tessel_strdup(method));
    Malloced<char> u(tessel_strdup(url));
    if (!m || !u) return nullptr;
    Route &r = table[count++];
    r = Route{};
    r.method = m.release();
    r.url = u.release();
    return &r;
}

}  // namespace tessel::fake
