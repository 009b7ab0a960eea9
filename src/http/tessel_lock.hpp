// The exclusive lock that guards process-wide records, for the support library (the fake
// server's routes) and every layer above it.
//
// On Windows it is a slim reader/writer lock taken exclusively: statically initialised, so a
// process-wide one is ready before any constructor runs and needs no destruction, which keeps it
// usable while the DLL is being unloaded. Elsewhere std::mutex serves the same way.
#pragma once

#include <mutex>

#if defined(_WIN32)
#include <synchapi.h>
#endif

namespace tessel {

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

#else

using Lock = std::mutex;

#endif

// One exclusive lock per set of process-wide records; statically initialised, never destroyed
// while the library is loaded.
using LockGuard = std::lock_guard<Lock>;

}  // namespace tessel
