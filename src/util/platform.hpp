// Everything that depends on the operating system, in one place: the exclusive lock, calendar
// seconds for the device-id seed, and the short pause of the fake server's slow bodies.
// Per-thread slots use the language's thread_local on both systems.
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

// Sleeps the calling thread for the given time.
inline void pause(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

}  // namespace platform
