// The countdown allocator of the test binaries. Every test binary is linked with --wrap for
// malloc, calloc, realloc, strdup and strndup, so the calls that the library's code makes go
// through here. A Countdown on the calling thread fails the k-th of them (and, in the
// every-one-after mode, all later ones too); other threads are never affected.
#pragma once

#include <cstdint>
#include <functional>

namespace alloc_fail {

class Countdown {
public:
    // Fails the k-th allocation (1-based) from now on this thread; with all_after, every
    // allocation from the k-th on.
    explicit Countdown(uint64_t k, bool all_after = false);
    Countdown(const Countdown &) = delete;
    Countdown &operator=(const Countdown &) = delete;
    ~Countdown();
    // True once an allocation was made to fail.
    bool fired() const;
};

// The number of wrapped allocations that fn makes on the calling thread.
uint64_t count(const std::function<void()> &fn);

// Runs fn once per k = 1..N, where N is the allocation count of a clean run, failing the k-th
// allocation (and with all_after every later one too). fn also runs once clean to count, so
// its checks must accept both outcomes: success, or the documented failure. Returns N.
uint64_t sweep(const std::function<void()> &fn, bool all_after = false);

// Allocations made to fail so far in the process, on every thread.
uint64_t failures();

// Heap blocks handed out by the wrapped allocators so far in the process, on every thread (a
// realloc that resizes an existing block hands out none). A binary that also wraps free can
// subtract the blocks it has seen released to learn how many are live.
uint64_t blocks_made();

}  // namespace alloc_fail
