// The shape every normalised base URL has, checked by the settings and URL-normaliser targets:
// an http or https scheme in lower case, a host, no user information, query or fragment, no
// byte that the normaliser refuses, no trailing slash, and normalising it again changes nothing.
#pragma once

#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_check.hpp"
#include "request/kojelly_cfg.hpp"
#include "util/kojelly_msg.hpp"

namespace fuzz {

inline constexpr size_t kMaxBaseUrl = 2048;
inline constexpr std::string_view kHttps = "https://";

inline void check_base_url(std::string_view url) {
    const bool https = url.rfind("https://", 0) == 0;
    check(https || url.rfind("http://", 0) == 0, "the scheme is http:// or https://");
    const std::string_view rest = url.substr(https ? 8 : 7);
    check(!rest.empty() && rest[0] != '/' && rest[0] != ':', "there is a host");
    // The limit holds for the address as given; the scheme that the normaliser puts in front of
    // an address without one comes on top.
    check(url.size() <= kMaxBaseUrl + kHttps.size(), "at most 2048 bytes and a scheme");
    for (const char c : rest) {
        const auto b = static_cast<unsigned char>(c);
        check(b > 0x20 && b != 0x7F && c != '"' && c != '<' && c != '>' && c != '\\',
              "no space, control byte or quoting character");
        check(c != '?' && c != '#' && c != '@', "no query, fragment or user information");
    }
    check(url.back() != '/', "no trailing slash");

    if (url.size() > kMaxBaseUrl) return;  // too long to be given as an address again
    kojelly::Error err;
    char *again = kojelly_norm_base(std::string(url).c_str(), err);
    check(again != nullptr, "a normalised URL normalises again");
    check(again && url == again, "normalising twice changes nothing");
    std::free(again);
}

}  // namespace fuzz
