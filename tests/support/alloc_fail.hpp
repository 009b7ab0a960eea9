// The countdown allocator of the test binaries. Every test binary is linked with --wrap for
// malloc, calloc, realloc, strdup and strndup, so the calls that the library's code makes go
// through here. A Countdown on the calling thread fails the k-th of them (and, in the
// every-one-after mode, all later ones too); other threads are never affected, unless the
// countdown reaches the whole process: then the k-th allocation made on any thread fails, which
// is how the threads that the library starts for a call are reached.
#pragma once

#include <cstdint>
#include <functional>

namespace alloc_fail {

// Which allocations a countdown counts: the calling thread's, or those of every thread.
enum class Reach { thread, process };

class Countdown {
public:
    // Fails the k-th allocation (1-based) from now on this thread (or, reaching the process, on
    // any thread); with all_after, every allocation from the k-th on.
    explicit Countdown(uint64_t k, bool all_after = false, Reach reach = Reach::thread);
    Countdown(const Countdown &) = delete;
    Countdown &operator=(const Countdown &) = delete;
    ~Countdown();
    // True once an allocation was made to fail.
    bool fired() const;

private:
    bool process_;
};

// The number of wrapped allocations that fn makes on the calling thread (or, reaching the
// process, on every thread while it runs).
uint64_t count(const std::function<void()> &fn, Reach reach = Reach::thread);

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
