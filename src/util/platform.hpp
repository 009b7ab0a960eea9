// Everything that depends on the operating system, in one place. The library uses the standard
// C++ library for each of these, so a port changes this header at most: the exclusive lock
// (std::mutex; a slim reader/writer lock taken exclusively serves as well), calendar seconds for
// the device-id seed, and the short pause of the fake server's slow bodies. Per-thread slots
// use the language's thread_local.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <mutex>
#include <thread>

namespace platform {

// One exclusive lock per set of process-wide records; statically initialised, never destroyed
// while the library is loaded.
using Lock = std::mutex;
using LockGuard = std::lock_guard<Lock>;

// The current calendar time in whole seconds.
inline int64_t calendar_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

// Sleeps the calling thread for the given time.
inline void pause(std::chrono::milliseconds ms) { std::this_thread::sleep_for(ms); }

}  // namespace platform
