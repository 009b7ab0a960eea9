// What the fuzz targets share: a check that stops the run with the failed condition and its
// place (libFuzzer then keeps the input as a crash), and the fuzzed bytes as a NUL-terminated
// text, which is how every text of the plug-in's interface arrives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzz {

// The caller's place comes from the compiler builtins, which clang 14 offers while its
// std::source_location does not work with the installed standard library.
inline void check(bool ok, const char *what, const char *file = __builtin_FILE(),
                  int line = __builtin_LINE()) {
    if (ok) return;
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// The bytes as a text; an embedded NUL ends it early, as it would for any C caller.
inline std::string text_of(const uint8_t *data, size_t size) {
    std::string s(reinterpret_cast<const char *>(data), size);
    return s.substr(0, s.find('\0'));
}

}  // namespace fuzz
