#include "util/kojelly_msg.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"

namespace kojelly {
namespace {

void vsay(char *msg, size_t size, const char *fmt, va_list ap) {
    if (!msg || size == 0) return;
    const int full = std::vsnprintf(msg, size, fmt, ap);
    // A message cut to the buffer ends on a whole character.
    if (full >= 0 && static_cast<size_t>(full) >= size)
        msg[kojelly_utf8_prefix(msg, size - 1)] = '\0';
}

}  // namespace

void say(char *msg, size_t size, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(msg, size, fmt, ap);
    va_end(ap);
}

int32_t Error::fail(int32_t status, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsay(msg, sizeof msg, fmt, ap);
    va_end(ap);
    code = status;
    return status;
}

int32_t Error::out_of_memory() {
    return fail(KOJELLY_EFAIL, "%s", kOutOfMemory);
}

int32_t Error::take(const Error &other) {
    if (this != &other) std::memcpy(msg, other.msg, sizeof msg);
    code = other.code;
    return code;
}

int32_t out_of_memory(char *msg, size_t size) {
    say(msg, size, "%s", kOutOfMemory);
    return KOJELLY_EFAIL;
}

}  // namespace kojelly
