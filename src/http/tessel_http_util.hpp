// Internal helpers of the HTTP support library, shared by its modules (the header functions and
// the fake server): the HTTP token alphabet and ASCII-only case folding. The public functions of
// the library are declared in tessel_http.h.
#pragma once

#include <cstddef>
#include <string_view>

#include "tessel_http.h"

namespace tessel {

// Longest method name accepted by tessel_method_ok.
inline constexpr size_t kMaxMethod = 32;

// True for the HTTP token characters: digits, ASCII letters and !#$%&'*+-.^_`|~.
bool token_char(unsigned char c);

// ASCII lower case; only A to Z fold, so bytes of 128 and above compare as they are.
constexpr unsigned char fold(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

// True when the first n bytes of text equal name under ASCII case folding; text may be shorter
// (its NUL then mismatches).
bool fold_prefix(const char *text, const char *name, size_t n);
// True when text begins with prefix under ASCII case folding.
inline bool fold_starts(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && fold_prefix(text.data(), prefix.data(), prefix.size());
}

}  // namespace tessel
