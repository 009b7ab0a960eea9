// Everything that depends on the operating system, in one place: the exclusive lock, calendar
// seconds for the device-id seed, the short pause of the fake server's slow bodies, and the
// per-thread texts that the exports hand out (platform.cpp).
//
// On Windows the lock is a slim reader/writer lock taken exclusively: statically initialised,
// so a process-wide one is ready before any constructor runs and needs no destruction, which
// keeps it usable while the DLL is being unloaded. Elsewhere std::mutex serves the same way.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <synchapi.h>
#endif

namespace platform {

#if defined(_WIN32)

class Lock {
public:
    constexpr Lock() noexcept = default;
    Lock(const Lock &) = delete;
    Lock &operator=(const Lock &) = delete;
    // Trivial on purpose: a slim reader/writer lock owns no resource.
    ~Lock() = default;

    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

// The current calendar time in whole seconds.
inline int64_t calendar_seconds() { return static_cast<int64_t>(_time64(nullptr)); }

#else

using Lock = std::mutex;

// The current calendar time in whole seconds.
inline int64_t calendar_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

#endif

// One exclusive lock per set of process-wide records; statically initialised, never destroyed
// while the library is loaded.
using LockGuard = std::lock_guard<Lock>;

// The per-thread texts: each thread has one of each, a heap text from malloc or none, released
// when the thread ends (and on Windows when the DLL is unloaded).
enum class ThreadText : unsigned { result, error, scratch, fake, count };

// The calling thread's text, or null when it has none.
const char *thread_text(ThreadText which) noexcept;
// Makes text (malloc'ed, or null) the calling thread's text, releasing the one before. When the
// thread's record cannot be made, text is released and the slot stays empty.
void set_thread_text(ThreadText which, char *text) noexcept;

// Sleeps the calling thread for the given time.
inline void pause(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

}  // namespace platform
