#include "util/kojelly_msg.hpp"

#include <cstdarg>
#include <cstdio>

#include "kojelly.h"

namespace kojelly {

void say(char *msg, size_t size, const char *fmt, ...) {
    if (!msg || size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, size, fmt, ap);
    va_end(ap);
}

int32_t out_of_memory(char *msg, size_t size) {
    say(msg, size, "%s", kOutOfMemory);
    return KOJELLY_EFAIL;
}

}  // namespace kojelly
