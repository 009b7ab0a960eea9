// Ownership of C resources in the tool's scopes: unique_ptr aliases for a heap object released by
// its own C function (yyjson documents, curl handles, Windows handles) and for a block released
// by free(). A record that lives in a scope and owns blocks (a tessel_collect) is held by a Handle
// to it, whose release function frees what the record owns.
#pragma once

#include <cstdlib>
#include <memory>

namespace kojelly::cli {

// Calls a C release function as a unique_ptr deleter.
template <auto release_fn>
struct ReleaseWith {
    template <typename P>
    void operator()(P *p) const noexcept {
        release_fn(p);
    }
};

// A heap object released by its own C function with external linkage.
template <typename T, auto release_fn>
using Handle = std::unique_ptr<T, ReleaseWith<release_fn>>;

inline void free_block(void *p) noexcept {
    std::free(p);
}

// A block from malloc/calloc/realloc/strdup, released with free().
template <typename T = char>
using Malloced = Handle<T, free_block>;

}  // namespace kojelly::cli
