// The growable byte buffer: growth, reservation and appends, and the public tessel_buf_*
// functions on them (see tessel_buf.hpp).
#include "http/tessel_buf.hpp"

#include <cstddef>
#include <cstdlib>
#include <cstring>

static_assert(sizeof(tessel_buf) == 24 && offsetof(tessel_buf, data) == 0 &&
              offsetof(tessel_buf, len) == 8 && offsetof(tessel_buf, cap) == 16);

namespace tessel {

int buf_room(tessel_buf *b, uint64_t n, uint64_t first) {
    if (b == nullptr || n > UINT64_MAX - 1 - b->len) return -1;
    const uint64_t need = b->len + n + 1;
    if (need <= b->cap) return 0;
    uint64_t cap = b->cap != 0 ? b->cap : first;
    while (cap < need) {
        if (cap > kBufMaxCap / 2) return -1;
        cap *= 2;
    }
    void *grown = std::realloc(b->data, cap);
    if (grown == nullptr) return -1;
    b->data = static_cast<char *>(grown);
    b->cap = cap;
    return 0;
}

int buf_add(tessel_buf *b, const void *bytes, uint64_t n, uint64_t first) {
    if (bytes == nullptr && n > 0) return -1;
    if (buf_room(b, n, first) != 0) return -1;
    if (n > 0) std::memcpy(b->data + b->len, bytes, n);
    b->len += n;
    b->data[b->len] = '\0';
    return 0;
}

int buf_reserve(tessel_buf *b, uint64_t n) {
    if (b == nullptr || n > kBufMaxCap || b->len > kBufMaxCap - n) return -1;
    const uint64_t need = b->len + n + 1;
    if (need <= b->cap) return 0;
    void *grown = std::realloc(b->data, need);
    if (grown == nullptr) return -1;
    b->data = static_cast<char *>(grown);
    if (b->cap == 0) b->data[0] = '\0';
    b->cap = need;
    return 0;
}

}  // namespace tessel

int tessel_buf_add(tessel_buf *b, const void *bytes, uint64_t count) {
    return tessel::buf_add(b, bytes, count, tessel::kBufFirstCap);
}

int tessel_buf_addc(tessel_buf *b, int32_t c) {
    const unsigned char byte = static_cast<unsigned char>(c & 0xFF);
    return tessel_buf_add(b, &byte, 1);
}

int tessel_buf_adds(tessel_buf *b, const char *text) {
    if (text == nullptr) return -1;
    return tessel_buf_add(b, text, std::strlen(text));
}

void tessel_buf_free(tessel_buf *b) {
    if (b == nullptr) return;
    std::free(b->data);
    *b = tessel_buf{};
}
