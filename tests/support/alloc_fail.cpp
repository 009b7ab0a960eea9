#include "support/alloc_fail.hpp"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>

extern "C" {
void *__real_malloc(size_t n);
void *__real_calloc(size_t n, size_t size);
void *__real_realloc(void *p, size_t n);
}

namespace {

// Plain thread-locals: no constructors, so reading them never allocates.
thread_local bool t_armed = false;
thread_local bool t_all_after = false;
thread_local bool t_fired = false;
thread_local uint64_t t_left = 0;   // allocations to let through before failing
thread_local uint64_t t_seen = 0;   // allocations seen while counting
thread_local bool t_counting = false;

// A countdown that reaches the whole process. g_left goes below zero once the failing
// allocation has been reached.
std::atomic<bool> g_armed{false};
std::atomic<bool> g_all_after{false};
std::atomic<bool> g_fired{false};
std::atomic<int64_t> g_left{0};
std::atomic<bool> g_counting{false};
std::atomic<uint64_t> g_seen{0};

// Process-wide tallies; constant-initialised, so reading or bumping them never allocates.
std::atomic<uint64_t> g_failures{0};
std::atomic<uint64_t> g_blocks{0};

template <typename T>
T *made(T *block) {
    if (block) g_blocks.fetch_add(1, std::memory_order_relaxed);
    return block;
}

bool fail_process_wide() {
    if (g_counting.load(std::memory_order_relaxed)) g_seen.fetch_add(1);
    if (!g_armed.load(std::memory_order_relaxed)) return false;
    const int64_t left = g_left.fetch_sub(1);
    if (left > 0) return false;
    if (left < 0 && !g_all_after.load()) return false;
    g_fired = true;
    g_failures.fetch_add(1, std::memory_order_relaxed);
    return true;
}

bool fail_now() {
    if (fail_process_wide()) return true;
    if (t_counting) ++t_seen;
    if (!t_armed) return false;
    if (t_left > 0) {
        --t_left;
        return false;
    }
    t_fired = true;
    if (!t_all_after) t_armed = false;
    g_failures.fetch_add(1, std::memory_order_relaxed);
    return true;
}

}  // namespace

extern "C" {

void *__wrap_malloc(size_t n) { return fail_now() ? nullptr : made(__real_malloc(n)); }
void *__wrap_calloc(size_t n, size_t size) {
    return fail_now() ? nullptr : made(__real_calloc(n, size));
}
void *__wrap_realloc(void *p, size_t n) {
    if (fail_now()) return nullptr;
    void *q = __real_realloc(p, n);
    return p ? q : made(q);
}
// Windows' C library has no strdup and strndup of its own, so only POSIX builds wrap them.
#if !defined(_WIN32)
char *__real_strdup(const char *s);
char *__real_strndup(const char *s, size_t n);
char *__wrap_strdup(const char *s) { return fail_now() ? nullptr : made(__real_strdup(s)); }
char *__wrap_strndup(const char *s, size_t n) {
    return fail_now() ? nullptr : made(__real_strndup(s, n));
}
#endif

}  // extern "C"

namespace alloc_fail {

Countdown::Countdown(uint64_t k, bool all_after, Reach reach) : process_(reach == Reach::process) {
    if (process_) {
        g_left = static_cast<int64_t>(k > 0 ? k - 1 : 0);
        g_all_after = all_after;
        g_fired = false;
        g_armed = true;
        return;
    }
    t_left = k > 0 ? k - 1 : 0;
    t_all_after = all_after;
    t_fired = false;
    t_armed = true;
}

Countdown::~Countdown() {
    if (process_) {
        g_armed = false;
        g_all_after = false;
        return;
    }
    t_armed = false;
    t_all_after = false;
}

bool Countdown::fired() const { return process_ ? g_fired.load() : t_fired; }

uint64_t count(const std::function<void()> &fn, Reach reach) {
    if (reach == Reach::process) {
        g_seen = 0;
        g_counting = true;
        fn();
        g_counting = false;
        return g_seen.load();
    }
    t_seen = 0;
    t_counting = true;
    fn();
    t_counting = false;
    return t_seen;
}

uint64_t sweep(const std::function<void()> &fn, bool all_after) {
    const uint64_t n = count(fn);
    for (uint64_t k = 1; k <= n; ++k) {
        Countdown countdown(k, all_after);
        fn();
    }
    return n;
}

uint64_t failures() { return g_failures.load(std::memory_order_relaxed); }

uint64_t blocks_made() { return g_blocks.load(std::memory_order_relaxed); }

}  // namespace alloc_fail
