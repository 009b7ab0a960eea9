// The MD5 digest of RFC 1321 with an incremental interface (init, update, final) and a one-shot
// call. The state lives entirely in the caller's tessel_md5_ctx; nothing here allocates.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "tessel_http.h"

static_assert(sizeof(tessel_md5_ctx) == 96 && offsetof(tessel_md5_ctx, state) == 0 &&
              offsetof(tessel_md5_ctx, total) == 16 && offsetof(tessel_md5_ctx, block) == 24 &&
              offsetof(tessel_md5_ctx, used) == 88);

namespace {

constexpr size_t kBlock = 64;
constexpr size_t kLengthAt = 56;  // where the bit length goes in the last block
constexpr size_t kDigest = 16;

// Per-step left rotations, four per round.
constexpr unsigned kShift[4][4] = {
    {7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// floor(2^32 * |sin(i + 1)|) for the 64 steps.
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr uint32_t rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

uint32_t load_le(const unsigned char *p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void store_le(unsigned char *p, uint32_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

void compress(uint32_t state[4], const unsigned char *block) {
    uint32_t m[16];
    for (int i = 0; i < 16; ++i) m[i] = load_le(block + 4 * i);
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        const unsigned round = i / 16;
        uint32_t f;
        unsigned g;
        switch (round) {
            case 0:
                f = (b & c) | (~b & d);
                g = i;
                break;
            case 1:
                f = (d & b) | (~d & c);
                g = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                g = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                g = (7 * i) % 16;
                break;
        }
        const uint32_t next = b + rotl(a + f + kSine[i] + m[g], kShift[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void tessel_md5_init(tessel_md5_ctx *c) {
    if (c == nullptr) return;
    *c = tessel_md5_ctx{};
    c->state[0] = 0x67452301;
    c->state[1] = 0xefcdab89;
    c->state[2] = 0x98badcfe;
    c->state[3] = 0x10325476;
}

void tessel_md5_update(tessel_md5_ctx *c, const void *bytes, uint64_t count) {
    if (c == nullptr || bytes == nullptr || count == 0) return;
    const auto *p = static_cast<const unsigned char *>(bytes);
    c->total += count;
    while (count > 0) {
        const uint64_t room = kBlock - c->used;
        const uint64_t take = count < room ? count : room;
        std::memcpy(c->block + c->used, p, take);
        c->used += take;
        p += take;
        count -= take;
        if (c->used == kBlock) {
            compress(c->state, c->block);
            c->used = 0;
        }
    }
}

void tessel_md5_final(tessel_md5_ctx *c, unsigned char out[16]) {
    if (c == nullptr || out == nullptr) return;
    const uint64_t bits = c->total * 8;  // taken before the padding, which update would count
    c->block[c->used++] = 0x80;
    if (c->used > kLengthAt) {
        std::memset(c->block + c->used, 0, kBlock - c->used);
        compress(c->state, c->block);
        c->used = 0;
    }
    std::memset(c->block + c->used, 0, kLengthAt - c->used);
    for (size_t i = 0; i < 8; ++i)
        c->block[kLengthAt + i] = static_cast<unsigned char>(bits >> (8 * i));
    compress(c->state, c->block);
    c->used = 0;
    for (size_t i = 0; i < kDigest / 4; ++i) store_le(out + 4 * i, c->state[i]);
}

void tessel_md5(const void *bytes, uint64_t count, unsigned char out[16]) {
    tessel_md5_ctx c;
    tessel_md5_init(&c);
    tessel_md5_update(&c, bytes, count);
    tessel_md5_final(&c, out);
}
