// Everything of the plug-in that depends on the operating system, in one place: the exclusive
// lock (the support library's, see http/tessel_lock.hpp), calendar seconds for the device-id
// seed, and the per-thread texts that the exports hand out (platform.cpp).
#pragma once

#include <cstdint>
#include <ctime>

#include "http/tessel_lock.hpp"

namespace platform {

// The exclusive lock of the process-wide records (see http/tessel_lock.hpp).
using Lock = tessel::Lock;
using LockGuard = tessel::LockGuard;

#if defined(_WIN32)

// The current calendar time in whole seconds.
inline int64_t calendar_seconds() { return static_cast<int64_t>(_time64(nullptr)); }

#else

// The current calendar time in whole seconds.
inline int64_t calendar_seconds() { return static_cast<int64_t>(std::time(nullptr)); }

#endif

// The per-thread texts: each thread has one of each, a heap text from malloc or none, released
// when the thread ends (and on Windows when the DLL is unloaded).
enum class ThreadText : unsigned { result, error, scratch, fake, count };

// The calling thread's text, or null when it has none.
const char *thread_text(ThreadText which) noexcept;
// Makes text (malloc'ed, or null) the calling thread's text, releasing the one before. When the
// thread's record cannot be made, text is released and the slot stays empty.
void set_thread_text(ThreadText which, char *text) noexcept;

}  // namespace platform
