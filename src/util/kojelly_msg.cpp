#include "util/kojelly_msg.hpp"

#include <cstdarg>
#include <cstdio>

namespace kojelly {

void say(char *msg, size_t size, const char *fmt, ...) {
    if (!msg || size == 0) return;
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(msg, size, fmt, ap);
    va_end(ap);
}

}  // namespace kojelly
