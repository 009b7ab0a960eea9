#include "util/kojelly_msg.hpp"

#include <cstdarg>
#include <cstdio>

#include "kojelly.h"
#include "util/kojelly_buf.hpp"

namespace kojelly {

void say(char *msg, size_t size, const char *fmt, ...) {
    if (!msg || size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    const int full = std::vsnprintf(msg, size, fmt, ap);
    va_end(ap);
    // A message cut to the buffer ends on a whole character.
    if (full >= 0 && static_cast<size_t>(full) >= size)
        msg[kojelly_utf8_prefix(msg, size - 1)] = '\0';
}

int32_t out_of_memory(char *msg, size_t size) {
    say(msg, size, "%s", kOutOfMemory);
    return KOJELLY_EFAIL;
}

}  // namespace kojelly
