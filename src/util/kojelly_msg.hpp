// Failures: every operation of the library reports one the same way, as a status code of
// kojelly.h with a one-line message, recorded in an Error that the caller owns and returned as
// the code. The message is formatted with snprintf semantics and cut on a whole UTF-8 character.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kojelly {

// The message of every failure to allocate (status -5).
inline constexpr char kOutOfMemory[] = "out of memory";

// Room for one failure message, its NUL included.
inline constexpr size_t kMsgSize = 768;

// Formats into msg; nothing happens when msg is NULL or size is 0.
__attribute__((format(printf, 3, 4))) void say(char *msg, size_t size, const char *fmt, ...);

// The failure of one operation: its status code (0 while nothing failed) and its message.
// An operation that fails records both with fail() and returns what fail() returns, so that
// a caller may pass the code on as it is: `if (int32_t code = step(err)) return code;`.
struct Error {
    int32_t code = 0;
    char msg[kMsgSize] = {};

    // Records code with the formatted message; returns code.
    __attribute__((format(printf, 3, 4))) int32_t fail(int32_t status, const char *fmt, ...);
    // Records -5 with "out of memory"; returns -5.
    int32_t out_of_memory();
    // Records another operation's failure as this one's; returns its code.
    int32_t take(const Error &other);
};

// Says "out of memory" into msg and returns its status code, -5.
[[nodiscard]] int32_t out_of_memory(char *msg, size_t size);

}  // namespace kojelly
