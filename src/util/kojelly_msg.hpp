// The one-line messages with which operations report failure: formatted with snprintf
// semantics into the caller's message buffer (truncated, always NUL-terminated).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kojelly {

// The message of every failure to allocate (status -5).
inline constexpr char kOutOfMemory[] = "out of memory";

// Formats into msg; nothing happens when msg is NULL or size is 0.
__attribute__((format(printf, 3, 4))) void say(char *msg, size_t size, const char *fmt, ...);

// Says "out of memory" into msg and returns its status code, -5.
[[nodiscard]] int32_t out_of_memory(char *msg, size_t size);

}  // namespace kojelly
