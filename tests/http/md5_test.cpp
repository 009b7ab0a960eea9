#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "tessel_http.h"

namespace {

std::string hex(const unsigned char digest[16]) {
    std::string out;
    char pair[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        out += pair;
    }
    return out;
}

std::string one_shot(const std::string &input) {
    unsigned char digest[16];
    tessel_md5(input.data(), input.size(), digest);
    return hex(digest);
}

std::string in_pieces(const std::string &input, size_t piece) {
    tessel_md5_ctx c;
    tessel_md5_init(&c);
    for (size_t off = 0; off < input.size(); off += piece) {
        tessel_md5_update(&c, input.data() + off, std::min(piece, input.size() - off));
    }
    unsigned char digest[16];
    tessel_md5_final(&c, digest);
    EXPECT_EQ(c.used, 0u);
    return hex(digest);
}

struct Vector {
    std::string input;
    const char *digest;
};

// The test suite of RFC 1321, appendix A.5, and inputs that put the padding at and around the
// block boundary (55 bytes leave exactly room for the length; 56 to 63 need a second block).
const Vector kVectors[] = {
    {"", "d41d8cd98f00b204e9800998ecf8427e"},
    {"a", "0cc175b9c0f1b6a831c399e269772661"},
    {"abc", "900150983cd24fb0d6963f7d28e17f72"},
    {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
    {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
    {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
     "d174ab98d277d9f5a5611c2c9f419d9f"},
    {[] {
         std::string s;
         for (int i = 0; i < 8; ++i) s += "1234567890";
         return s;
     }(),
     "57edf4a22be3c955ac49da2e2107b67a"},
    {std::string(55, 'a'), "ef1772b6dff9a122358552954ad0df65"},
    {std::string(56, 'a'), "3b0c8ac703f828b04c6c197006d17218"},
    {std::string(63, 'a'), "b06521f39153d618550606be297466d5"},
    {std::string(64, 'a'), "014842d480b571495a4a0363793f7367"},
    {std::string(65, 'a'), "c743a45e0d2e6a95cb859adae0248435"},
    {std::string(128, 'a'), "e510683b3f5ffe4093d021808bc6ff70"},
};

TEST(Md5, KnownDigestsInOneCall) {
    for (const Vector &v : kVectors) {
        SCOPED_TRACE(v.input.size() < 40 ? v.input : std::to_string(v.input.size()) + " bytes");
        EXPECT_EQ(one_shot(v.input), v.digest);
    }
}

TEST(Md5, KnownDigestsFedInPieces) {
    for (const Vector &v : kVectors) {
        for (size_t piece : {1u, 3u, 63u, 64u, 65u}) {
            SCOPED_TRACE(std::to_string(v.input.size()) + " bytes in pieces of " +
                         std::to_string(piece));
            EXPECT_EQ(in_pieces(v.input, piece), v.digest);
        }
    }
}

TEST(Md5, EmptyUpdatesChangeNothing) {
    tessel_md5_ctx c;
    tessel_md5_init(&c);
    tessel_md5_update(&c, "ab", 2);
    tessel_md5_update(&c, nullptr, 0);
    tessel_md5_update(&c, "c", 1);
    EXPECT_EQ(c.total, 3u);
    unsigned char digest[16];
    tessel_md5_final(&c, digest);
    EXPECT_EQ(hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5, ContextIsReusableAfterInit) {
    tessel_md5_ctx c;
    tessel_md5_init(&c);
    tessel_md5_update(&c, "message digest", 14);
    unsigned char digest[16];
    tessel_md5_final(&c, digest);
    tessel_md5_init(&c);
    tessel_md5_update(&c, "abc", 3);
    tessel_md5_final(&c, digest);
    EXPECT_EQ(hex(digest), "900150983cd24fb0d6963f7d28e17f72");
}

}  // namespace
