// The growable byte buffer's one implementation. The support library's tessel_buf_* and the
// plug-in's kojelly_buf_* (a kojelly_buf is a tessel_buf) are both built on these functions and
// differ only in the first capacity they name: every buffer doubles from there, keeps a NUL
// behind its content, and is left unchanged by an append or reservation that fails.
#pragma once

#include <cstdint>

#include "tessel_http.h"

namespace tessel {

// The first capacity of tessel_buf_add.
inline constexpr uint64_t kBufFirstCap = 64;
// No capacity grows past 2^62, so that a doubling stays within signed 64 bits.
inline constexpr uint64_t kBufMaxCap = uint64_t{1} << 62;

// Room for n more bytes and the NUL behind them: an empty buffer's capacity starts at first,
// and a capacity doubles until they fit. 0, or -1 with the buffer unchanged (b NULL, a size past
// kBufMaxCap, or no memory).
[[nodiscard]] int buf_room(tessel_buf *b, uint64_t n, uint64_t first);
// Appends n bytes, growing as buf_room does, and puts a NUL behind them. 0, or -1 with the
// buffer unchanged as for buf_room, and for bytes NULL with n above 0.
[[nodiscard]] int buf_add(tessel_buf *b, const void *bytes, uint64_t n, uint64_t first);
// Room for n more bytes and the NUL behind them in one step, to exactly that capacity when the
// buffer has less; later appends double from there. An empty buffer becomes an empty text. 0, or
// -1 with the buffer unchanged (b NULL, a capacity past kBufMaxCap + 1, or no memory).
[[nodiscard]] int buf_reserve(tessel_buf *b, uint64_t n);

}  // namespace tessel
