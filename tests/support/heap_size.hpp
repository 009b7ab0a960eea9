// The usable size of a block from malloc: the C library's own query, which each system names
// differently.
#pragma once

#include <malloc.h>

#include <cstddef>

namespace alloc_fail {

inline std::size_t usable_size(void *block) {
#if defined(_WIN32)
    return _msize(block);
#else
    return malloc_usable_size(block);
#endif
}

}  // namespace alloc_fail
